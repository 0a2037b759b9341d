#pragma once

#include <array>
#include <cstdint>

#include "correction/correction_map.h"
#include "correction/pixel_bytes.h"
#include "correction/tuning.h"

namespace velmora {

// What a tuning measured, for the user to judge the reference by.
struct TuneSummary {
    std::int32_t widthBytes = 0;
    std::int32_t rows = 0;
    ReferenceGroup reference;
    std::array<std::uint8_t, 3> largestCorrection{};  // per lane, over the picture's area
    double nonZeroShare = 0;    // share of the area's three-byte groups with any correction
    int clippedNearCentre = 0;  // bytes at 255 within kCentreReach groups and rows of the centre
    int smoothRadius = 0;       // the reference was smoothed before tuning when above 0
};

// How far around the reference group a byte at 255 still counts as "near the centre".
inline constexpr std::int32_t kCentreReach = 8;

// `pixels` is the reference as read in (before any smoothing), `reference` the group tuning took
// its bytes from, `map` the map after tuning.
TuneSummary SummarizeTuning(const PixelBytes& pixels, const ReferenceGroup& reference,
                            const CorrectionMap& map);

}  // namespace velmora
