#include "cli/tune_summary.h"

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

QString FormatTuneSummary(const TuneSummary& summary, std::int32_t widthPixels) {
    const ReferenceGroup& ref = summary.reference;
    QString text;
    text += QString("Picture: %1 x %2 pixels (%3 bytes x %4 rows)\n")
                .arg(widthPixels)
                .arg(summary.rows)
                .arg(summary.widthBytes)
                .arg(summary.rows);
    if (summary.smoothRadius > 0) {
        text += QString("Reference smoothed: two box passes of %1 x %1 pixels (--smooth %2)\n")
                    .arg(2 * summary.smoothRadius + 1)
                    .arg(summary.smoothRadius);
    }
    text += QString("Reference bytes (row %1, bytes %2-%3): %4, %5, %6\n")
                .arg(ref.row)
                .arg(ref.bytes[0])
                .arg(ref.bytes[2])
                .arg(ref.values[0])
                .arg(ref.values[1])
                .arg(ref.values[2]);
    text += QString("Largest correction per lane: %1, %2, %3\n")
                .arg(summary.largestCorrection[0])
                .arg(summary.largestCorrection[1])
                .arg(summary.largestCorrection[2]);
    text += QString("Area with a non-zero correction: %1 %\n")
                .arg(summary.nonZeroShare * 100.0, 0, 'f', 1);
    if (summary.clippedNearCentre > 0) {
        text += QString(
                    "Warning: %1 of the bytes near the centre are at 255. A clipped reference "
                    "measures too small a map; take it again with less exposure.\n")
                    .arg(summary.clippedNearCentre);
    }
    return text;
}

}  // namespace velmora
