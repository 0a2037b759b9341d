#include <QFileInfo>
#include <exception>

#include "cli/commands.h"
#include "cli/console.h"
#include "engine/map_sidecar.h"
#include "engine/map_tuning.h"
#include "engine/output_plan.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

// The reference, the map and its sidecar must stay what they are; the preview may replace
// anything else.
QString RefusalFor(const TuneOptions& options) {
    const QString reference = FileIdentity(options.reference);
    const QString map = FileIdentity(options.mapFile);
    const QString sidecarFile = SidecarPathFor(options.mapFile);
    const QString sidecar = FileIdentity(sidecarFile);
    if (map == reference) {
        return "the map file " + Native(options.mapFile) + " is the reference picture.";
    }
    if (sidecar == reference) {
        return "the map's sidecar " + Native(sidecarFile) + " is the reference picture.";
    }
    if (QFileInfo(sidecarFile).isDir()) {
        return "the map's sidecar " + Native(sidecarFile) + " is a folder.";
    }
    if (options.previewFile.isEmpty()) return {};
    const QString preview = FileIdentity(options.previewFile);
    const std::pair<QString, const char*> kept[] = {{reference, "the reference picture"},
                                                    {map, "the map file"},
                                                    {sidecar, "the map's sidecar"}};
    for (const auto& [identity, what] : kept) {
        if (preview == identity)
            return "the preview " + Native(options.previewFile) + " is " + what + ".";
    }
    if (QFileInfo(options.previewFile).isDir()) {
        return "the preview " + Native(options.previewFile) + " is a folder.";
    }
    return {};
}

// The summary as lines for the user; `widthPixels` is the picture's own width.
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

}  // namespace

int RunTuneCommand(const TuneOptions& options) {
    if (const QString refusal = RefusalFor(options); !refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + refusal, "tune");
        return kUsageError;
    }
    try {
        const TunedMap tuned =
            TuneMapFile({options.reference, options.mapFile, options.smoothRadius});
        WriteLine(stdout, FormatTuneSummary(tuned.summary, tuned.widthPixels) +
                              (tuned.found ? "Map updated in " : "Map stored in ") +
                              Native(options.mapFile) + ", its sidecar in " +
                              Native(tuned.sidecarFile));
        if (!options.previewFile.isEmpty()) {
            SaveMapPreview(tuned, options.previewFile);
            WriteLine(stdout, "Preview written to " + Native(options.previewFile));
        }
    } catch (const std::exception& error) {
        ReportProblem(Native(options.reference) + ": " + Explained(error));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace velmora
