#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "correction/atomic_file.h"
#include "correction/image_view.h"
#include "platform/raw_file.h"

namespace velmora {

// A DNG of one raw picture, its samples in the first IFD, uncompressed: every raw converter
// reads it (dcraw among them, which reads no deflated integers) and it is written at the
// disk's speed. It holds what developing it as the original needs: the CFA pattern, black
// (per position) and white levels, colour matrices and illuminants, the as-shot neutral, the
// orientation, the default crop, make, model and the unique camera model; `header` gives them.
// `opcodeList2`, where not empty, is stored as the OpcodeList2 tag (applied to the raw samples
// before demosaicing).
struct DngImage {
    const RawHeader* header = nullptr;
    ImageView<const std::uint16_t> samples;  // header->width x header->height
    std::vector<std::uint8_t> opcodeList2;
};

// Writes `image` to `output` atomically, with the EXIF (without maker notes), IPTC and XMP of
// `metadataFrom` carried by Exiv2. Raises ErrorKind::File naming `output` when it cannot be
// written.
void WriteDng(const DngImage& image, const QString& output, const QString& metadataFrom,
              Durability durability);

// The OpcodeList2 tag's number, which libtiff does not know by name.
inline constexpr std::uint32_t kOpcodeList2Tag = 51009;

// Registers OpcodeList2 with libtiff, once, so that files can be read and written with it.
void RegisterDngTags();

}  // namespace velmora
