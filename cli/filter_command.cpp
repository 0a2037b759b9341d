#include <filesystem>
#include <string>

#include "cli/batch_run.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "correction/error.h"
#include "correction/map_store.h"
#include "engine/frame_calibration.h"
#include "engine/map_round_trip.h"
#include "engine/map_sidecar.h"
#include "engine/output_plan.h"
#include "engine/work_pool.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

QString GainRefusal(const QString& mapFile, bool mapFound, const SidecarCheck& sidecar) {
    const QString map = Native(mapFile);
    QString reason;
    if (!mapFound) {
        reason = "there is no map " + map;
    } else if (sidecar.state == SidecarCheck::State::Missing) {
        reason = Native(SidecarPathFor(mapFile)) + " does not exist";
    } else {
        reason = sidecar.problem;
    }
    return "nothing was done: gain mode needs the map and the centre bytes of the reference it "
           "was measured on, which tune records in " +
           Native(SidecarPathFor(mapFile)) + "; " + reason +
           ". Make both with: velmora-cli tune REFERENCE --map " + map;
}

// Cell (b, r) serves byte b of row r whatever the picture's size, so a picture of another size
// than the reference takes cells measured for other places of the frame.
QString SizeWarning(const QString& input, const PictureSize& size, const MapSidecar& reference) {
    // One arg() call for all: a file name holding "%2" must not take the next value.
    return QString(
               "%1: Warning: the picture is %2 x %3 pixels, but the map was measured on %4 of "
               "%5 x %6 pixels; it is applied to the top-left cells and will not line up.")
        .arg(Native(input), QString::number(size.widthPixels), QString::number(size.heightPixels),
             reference.referenceFileName, QString::number(reference.widthPixels),
             QString::number(reference.heightPixels));
}

}  // namespace

int RunFilterCommand(const FilterOptions& options) {
    if (!options.profilesFolder.isEmpty()) return RunLibraryFilterCommand(options);
    if (!options.profileFile.isEmpty()) {
        // Frames are calibrated by a flat of frames, pictures by a lens profile.
        const bool frameFlat = IsFrameFile(options.profileFile);
        for (const QString& input : options.inputs) {
            if (IsFrameFile(input) != frameFlat) {
                ReportUsageError(
                    "nothing was done: " + Native(input) +
                        (frameFlat ? " is not a frame (FITS, float TIFF), and the flat "
                                   : " is a frame (FITS, float TIFF), and the lens profile ") +
                        Native(options.profileFile) +
                        (frameFlat ? " serves frames only."
                                   : " serves pictures only; tune a "
                                     "flat from frames."),
                    "filter");
                return kUsageError;
            }
        }
        if (frameFlat) return RunFrameFilterCommand(options);
        if (options.darks.size() > 1 || !options.bias.isEmpty() || options.darkScale) {
            ReportUsageError(
                "nothing was done: --bias, --dark-scale and more than one --dark "
                "serve frames (FITS, float TIFF).",
                "filter");
            return kUsageError;
        }
        return RunProfileFilterCommand(options);
    }
    const OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.mapFile);
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }

    // Read once here, then only read by every worker.
    CorrectionMap map;
    bool found = false;
    try {
        found = LoadCorrectionMap(
            map, std::filesystem::path(QFile::encodeName(options.mapFile).constData()));
    } catch (const Error& error) {
        ReportProblem(QString::fromStdString(error.what()));
        return kSomeFailed;
    }
    const SidecarCheck sidecar = CheckMapSidecar(options.mapFile, map, found);
    const bool gain = options.correction == Correction::Gain;
    if (gain && sidecar.state != SidecarCheck::State::Valid) {
        ReportProblem(GainRefusal(options.mapFile, found, sidecar));
        return kSomeFailed;
    }
    if (!found && !options.quiet) {
        ReportProblem("no correction map " + Native(options.mapFile) +
                      "; the map is all zero and the pictures are saved unchanged.");
    }
    const MapSidecar* reference =
        sidecar.state == SidecarCheck::State::Valid ? &sidecar.sidecar : nullptr;

    const std::string strength = options.strength.toStdString();
    WorkPool pool(options.jobs);
    return RunBatch(
        plan, options.jobs, options.quiet, pool,
        [&](const PlannedPicture& picture, ProgressReport& report) {
            const PictureSize size =
                gain ? GainPictureFile(picture.input, picture.output, map, reference->centre,
                                       Durability::FlushLater)
                     : FilterPictureFile(picture.input, picture.output, map, options.mode, strength,
                                         '.', Durability::FlushLater);
            if (reference != nullptr && (size.widthPixels != reference->widthPixels ||
                                         size.heightPixels != reference->heightPixels)) {
                report.Warn(SizeWarning(picture.input, size, *reference));
            }
        });
}

}  // namespace velmora
