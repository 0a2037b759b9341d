#include "cli/tune_command.h"

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
#include "correction/tuning.h"
#include "platform/picture_file.h"

namespace velmora {
namespace {

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// The reference and the map must stay what they are; the preview may replace anything else.
QString RefusalFor(const TuneOptions& options) {
    const QString reference = FileIdentity(options.reference);
    if (FileIdentity(options.mapFile) == reference) {
        return "the map file " + Native(options.mapFile) + " is the reference picture.";
    }
    if (options.previewFile.isEmpty()) return {};
    const QString preview = FileIdentity(options.previewFile);
    if (preview == reference) {
        return "the preview " + Native(options.previewFile) + " is the reference picture.";
    }
    if (preview == FileIdentity(options.mapFile)) {
        return "the preview " + Native(options.previewFile) + " is the map file.";
    }
    if (QFileInfo(options.previewFile).isDir()) {
        return "the preview " + Native(options.previewFile) + " is a folder.";
    }
    return {};
}

}  // namespace

int RunTuneCommand(const TuneOptions& options) {
    if (const QString refusal = RefusalFor(options); !refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + refusal, "tune");
        return kUsageError;
    }
    const std::filesystem::path mapFile(QFile::encodeName(options.mapFile).constData());
    try {
        // Cells outside the reference's area keep what the file held.
        CorrectionMap map;
        const bool found = LoadCorrectionMap(map, mapFile);

        LoadedPicture picture = LoadPictureFile(options.reference);
        PixelBytes pixels;
        const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
        const ReferenceGroup reference = TuneCorrectionMap(pixels, map);
        SaveCorrectionMap(map, mapFile);

        WriteLine(
            stdout,
            FormatTuneSummary(SummarizeTuning(pixels, reference, map), picture.bitmap.width()) +
                (found ? "Map updated in " : "Map stored in ") + Native(options.mapFile));
        if (!options.previewFile.isEmpty()) {
            const std::vector<std::uint8_t> preview =
                MapPreview(map, size.bmWidthBytes, size.bmHeight);
            WritePictureBytes(&picture.bitmap, size, preview.data(), {});
            SavePictureAsBitmapFile(picture.bitmap, options.previewFile);
            WriteLine(stdout, "Preview written to " + Native(options.previewFile));
        }
    } catch (const std::exception& error) {
        ReportProblem(Native(options.reference) + ": " + QString::fromStdString(error.what()));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace velmora
