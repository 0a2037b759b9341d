#include "cli/tune_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <exception>
#include <filesystem>
#include <vector>

#include "cli/console.h"
#include "cli/output_plan.h"
#include "cli/tune_summary.h"
#include "correction/correction_map.h"
#include "correction/error.h"
#include "correction/map_store.h"
#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "correction/smoothing.h"
#include "correction/tuning.h"
#include "engine/map_round_trip.h"
#include "engine/map_sidecar.h"
#include "platform/native_path.h"
#include "platform/picture_file.h"

namespace velmora {
namespace {

// The reference, the map and its sidecar must stay what they are; the preview may replace
// anything else.
QString RefusalFor(const TuneOptions& options) {
    const QString reference = FileIdentity(options.reference);
    if (FileIdentity(options.mapFile) == reference) {
        return "the map file " + Native(options.mapFile) + " is the reference picture.";
    }
    const QString sidecarFile = SidecarPathFor(options.mapFile);
    const QString sidecar = FileIdentity(sidecarFile);
    if (sidecar == reference) {
        return "the map's sidecar " + Native(sidecarFile) + " is the reference picture.";
    }
    if (QFileInfo(sidecarFile).isDir()) {
        return "the map's sidecar " + Native(sidecarFile) + " is a folder.";
    }
    if (options.previewFile.isEmpty()) return {};
    const QString preview = FileIdentity(options.previewFile);
    if (preview == reference) {
        return "the preview " + Native(options.previewFile) + " is the reference picture.";
    }
    if (preview == FileIdentity(options.mapFile)) {
        return "the preview " + Native(options.previewFile) + " is the map file.";
    }
    if (preview == sidecar) {
        return "the preview " + Native(options.previewFile) + " is the map's sidecar.";
    }
    if (QFileInfo(options.previewFile).isDir()) {
        return "the preview " + Native(options.previewFile) + " is a folder.";
    }
    return {};
}

// The map and its sidecar are replaced together or not at all, as far as that can be known
// beforehand: a sidecar that could not be replaced would be left describing an older map.
void CheckSidecarReplaceable(const std::filesystem::path& file) {
    struct stat existing {};
    if (::stat(file.c_str(), &existing) != 0) return;
    if ((existing.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0) {
        throw Error(ErrorKind::File, "cannot save " + file.string() +
                                         ": it is read-only; the map was left as it is.");
    }
}

MapSidecar DescribeTuning(const TuneOptions& options, const LoadedPicture& picture,
                          const BITMAP& size, const ReferenceGroup& reference,
                          const CorrectionMap& map) {
    MapSidecar sidecar;
    sidecar.mapFileName = QFileInfo(options.mapFile).fileName();
    sidecar.mapSha256 = MapSha256(map);
    sidecar.referenceFileName = QFileInfo(options.reference).fileName();
    sidecar.widthPixels = picture.bitmap.width();
    sidecar.heightPixels = picture.bitmap.height();
    sidecar.widthBytes = size.bmWidthBytes;
    sidecar.rows = size.bmHeight;
    sidecar.centreRow = reference.row;
    sidecar.centreByte = reference.bytes[0];
    sidecar.centre = reference.values;
    sidecar.smoothRadius = options.smoothRadius;
    return sidecar;
}

}  // namespace

int RunTuneCommand(const TuneOptions& options) {
    if (const QString refusal = RefusalFor(options); !refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + refusal, "tune");
        return kUsageError;
    }
    const std::filesystem::path mapFile(QFile::encodeName(options.mapFile).constData());
    const QString sidecarFile = SidecarPathFor(options.mapFile);
    const std::filesystem::path sidecarPath(QFile::encodeName(sidecarFile).constData());
    try {
        // Cells outside the reference's area keep what the file held.
        CorrectionMap map;
        const bool found = LoadCorrectionMap(map, mapFile);

        LoadedPicture picture = LoadPictureFile(options.reference);
        PixelBytes pixels;
        const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
        // Tuning measures the smoothed copy; the clipping warning looks at the bytes as read in,
        // where a blown highlight is still at 255.
        PixelBytes smoothed;
        if (options.smoothRadius > 0) {
            smoothed = pixels;
            SmoothPixelBytes(smoothed, options.smoothRadius);
        }
        ReferenceGroup reference;
        MarkMapTooSmall(pixels, [&] {
            reference = TuneCorrectionMap(options.smoothRadius > 0 ? smoothed : pixels, map);
        });
        CheckSidecarReplaceable(sidecarPath);
        SaveCorrectionMap(map, mapFile);

        const QByteArray json =
            SidecarToJson(DescribeTuning(options, picture, size, reference, map));
        try {
            WriteFileAtomically(sidecarPath,
                                reinterpret_cast<const std::uint8_t*>(json.constData()),
                                std::size_t(json.size()), Durability::FlushEachFile);
        } catch (const Error& error) {
            throw Error(error.kind(),
                        error.cause() + " The map was stored in " + mapFile.string() +
                            "; without its sidecar, gain mode and the size check cannot use it.");
        }

        TuneSummary summary = SummarizeTuning(pixels, reference, map);
        summary.smoothRadius = options.smoothRadius;
        WriteLine(stdout, FormatTuneSummary(summary, picture.bitmap.width()) +
                              (found ? "Map updated in " : "Map stored in ") +
                              Native(options.mapFile) + ", its sidecar in " + Native(sidecarFile));
        if (!options.previewFile.isEmpty()) {
            const std::vector<std::uint8_t> preview =
                MapPreview(map, size.bmWidthBytes, size.bmHeight);
            WritePictureBytes(&picture.bitmap, size, preview.data(), {});
            SavePictureAsBitmapFile(picture.bitmap, options.previewFile);
            WriteLine(stdout, "Preview written to " + Native(options.previewFile));
        }
    } catch (const std::exception& error) {
        ReportProblem(Native(options.reference) + ": " + Explained(error));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace velmora
