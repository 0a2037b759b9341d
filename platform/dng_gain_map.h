#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "correction/atomic_file.h"

namespace velmora {

// One DNG GainMap opcode: gains on a grid of points over the samples from (top, left) on,
// every `pitch` rows and columns (one position of a colour filter array), multiplying them
// before demosaicing. Points are spread evenly from the frame's first row and column to its
// last.
struct GainMap {
    std::uint32_t top = 0;
    std::uint32_t left = 0;
    std::uint32_t bottom = 0;  // the frame's height
    std::uint32_t right = 0;   // the frame's width
    std::uint32_t pitch = 2;
    std::uint32_t pointsDown = 0;
    std::uint32_t pointsAcross = 0;
    std::vector<float> gains;  // pointsDown x pointsAcross, row by row
};

// The OpcodeList2 tag's content of `maps` (big-endian, laid out as DNG readers parse it),
// each opcode optional so that a reader that does not know it still opens the file.
std::vector<std::uint8_t> OpcodeListOf(const std::vector<GainMap>& maps);

// What the user should know of a DNG given GainMaps.
struct GainMapNotes {
    int replaced = 0;         // GainMaps of its own (a phone's lens shading) that ours replace
    bool areaOffset = false;  // its ActiveArea does not start at the IFD's first sample
};

// `input`, a DNG whose first IFD is its raw image, copied to `output` byte for byte but for that
// IFD, written again at the end with `opcodes` in its OpcodeList2, followed by the opcodes it had
// there except its own GainMaps, atomically. Raises ErrorKind::Picture naming the input when it
// is not such a DNG, and ErrorKind::File naming `output` when it cannot be written.
GainMapNotes AddOpcodes(const QString& input, const QString& output,
                        const std::vector<std::uint8_t>& opcodes, Durability durability);

}  // namespace velmora
