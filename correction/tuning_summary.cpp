#include "correction/tuning_summary.h"

#include <algorithm>

namespace velmora {

TuneSummary SummarizeTuning(const PixelBytes& pixels, const ReferenceGroup& reference,
                            const CorrectionMap& map) {
    TuneSummary summary;
    summary.widthBytes = pixels.widthBytes();
    summary.rows = pixels.rows();
    summary.reference = reference;

    std::int64_t groups = 0;
    std::int64_t corrected = 0;
    for (std::int32_t r = 0; r < summary.rows; ++r) {
        const std::uint8_t* cells = map.row(r);
        for (std::int32_t j = 0; j + 2 < summary.widthBytes; j += 3) {
            bool any = false;
            for (int k = 0; k < 3; ++k) {
                summary.largestCorrection[k] = std::max(summary.largestCorrection[k], cells[j + k]);
                any = any || cells[j + k] != 0;
            }
            ++groups;
            corrected += any ? 1 : 0;
        }
    }
    summary.nonZeroShare = groups == 0 ? 0.0 : double(corrected) / double(groups);

    const std::int32_t firstRow = std::max(reference.row - kCentreReach, 0);
    const std::int32_t lastRow = std::min(reference.row + kCentreReach, summary.rows - 1);
    const std::int32_t firstByte = std::max(reference.bytes[0] - 3 * kCentreReach, 0);
    const std::int32_t lastByte =
        std::min(reference.bytes[2] + 3 * kCentreReach, summary.widthBytes - 1);
    for (std::int32_t r = firstRow; r <= lastRow; ++r) {
        for (std::int32_t b = firstByte; b <= lastByte; ++b)
            summary.clippedNearCentre += pixels(b, r) == 255 ? 1 : 0;
    }
    return summary;
}

}  // namespace velmora
