#include "correction/tuning.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "correction/checked_math.h"
#include "correction/error.h"

namespace velmora {
namespace {

[[noreturn]] void ThrowOutOfRange(const std::string& cause) {
    throw Error(ErrorKind::SubscriptOutOfRange, cause);
}

// Tuning completes exactly for 1 <= H <= 1200 and W a multiple of 3 from 6 to 4800. The checks
// come in the order in which the byte walk would meet them.
void CheckTuningBounds(const PixelBytes& pixels) {
    const std::int32_t w = pixels.widthBytes();
    const std::int32_t h = pixels.rows();
    CheckRowFitsMap(w);
    if (w % 3 != 0) {
        ThrowOutOfRange("the picture has " + std::to_string(w) +
                        " bytes per row, not a whole number of three-byte groups; its last "
                        "group runs past the end of the row.");
    }
    CheckRowsFitMap(h);
}

}  // namespace

ReferenceGroup FindReferenceGroup(const PixelBytes& pixels) {
    const std::int32_t w = pixels.widthBytes();
    const std::int32_t h = pixels.rows();
    ReferenceGroup group;
    group.row = RoundToInt32(h / 2.0, "the reference row H / 2");
    for (int k = 0; k < 3; ++k) {
        group.bytes[k] = RoundToInt32(w / 2.0 + k, "the reference byte W / 2 + k");
    }
    for (int k = 0; k < 3; ++k) {
        const std::int32_t b = group.bytes[k];
        if (b < 0 || b >= w || group.row < 0 || group.row >= h) {
            ThrowOutOfRange("the picture has " + std::to_string(w) +
                            " bytes per row; tuning takes its reference at byte " +
                            std::to_string(b) + " of row " + std::to_string(group.row) +
                            " and needs at least 6.");
        }
        group.values[k] = pixels(b, group.row);
    }
    return group;
}

ReferenceGroup TuneCorrectionMap(const PixelBytes& pixels, CorrectionMap& map) {
    if (pixels.empty()) ThrowOutOfRange("no picture is loaded.");
    const ReferenceGroup reference = FindReferenceGroup(pixels);
    CheckTuningBounds(pixels);

    // The lanes repeat every three bytes; one row of reference bytes turns the group walk into a
    // plain byte loop that compilers vectorise as a saturating subtraction.
    const std::int32_t w = pixels.widthBytes();
    std::array<std::uint8_t, kMapRowBytes> referenceRow;
    for (std::int32_t b = 0; b < w; ++b)
        referenceRow[b] = reference.values[b % 3];

    for (std::int32_t r = 0; r < pixels.rows(); ++r) {
        const std::uint8_t* picture = pixels.row(r);
        std::uint8_t* cells = map.row(r);
        for (std::int32_t b = 0; b < w; ++b) {
            const std::uint8_t ref = referenceRow[b];
            cells[b] = ref > picture[b] ? std::uint8_t(ref - picture[b]) : std::uint8_t{0};
        }
    }
    return reference;
}

std::vector<std::uint8_t> MapPreview(const CorrectionMap& map, std::int32_t widthBytes,
                                     std::int32_t rows) {
    const std::int32_t w = std::clamp(widthBytes, 0, kMapRowBytes);
    const std::int32_t h = std::clamp(rows, 0, kMapRows);
    std::vector<std::uint8_t> block(std::size_t(w) * std::size_t(h));
    for (std::int32_t r = 0; r < h; ++r) {
        std::memcpy(block.data() + std::size_t(r) * w, map.row(r), std::size_t(w));
    }
    return block;
}

}  // namespace velmora
