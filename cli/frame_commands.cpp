#include <QFileInfo>
#include <QThread>
#include <cmath>
#include <exception>
#include <new>

#include "cli/batch_run.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "engine/frame_calibration.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

double Ev(double level, double corner) {
    return corner > 0 ? std::log2(level / corner) : HUGE_VAL;
}

// What a position of the frame is called: its colour in a mosaic, else its channel.
QString PositionName(const FrameInfo& info, std::size_t p) {
    if (!info.cfa.empty()) {
        const char letters[] = "RGB";
        return QString("%1 (%2)").arg(p + 1).arg(letters[info.cfa.colour[p]]);
    }
    if (info.channels == 1) return "grey";
    const char* names[] = {"red", "green", "blue"};
    return names[p];
}

void PrintFlatSummary(const MeasuredFrameFlat& measured, const QString& file, int references) {
    const FrameFlat& flat = measured.flat;
    const FrameInfo& info = flat.info;
    WriteLine(stdout,
              QString("Measured flat %1 from %2 reference(s) of %3 x %4%5, smoothed with "
                      "radius %6; levels: %7.")
                  .arg(Native(file))
                  .arg(references)
                  .arg(info.width)
                  .arg(info.height)
                  .arg(info.cfa.empty() ? (info.channels > 1 ? " x 3" : "")
                                        : " (" + QString::fromStdString(CfaLetters(info.cfa)) + ")")
                  .arg(flat.smoothRadius)
                  .arg(flat.meanLevel ? "mean" : "centre"));
    FlatField field{std::int32_t(info.width), std::int32_t(info.height), info.channels,
                    std::vector<float>(flat.values.begin(), flat.values.end())};
    std::vector<std::array<double, 4>> corners;
    if (info.cfa.empty()) {
        const auto levels =
            CornerLevels(field, std::max(2, int(std::min(info.width, info.height)) / 100));
        for (int c = 0; c < info.channels; ++c)
            corners.push_back({levels[0][std::size_t(c)], levels[1][std::size_t(c)],
                               levels[2][std::size_t(c)], levels[3][std::size_t(c)]});
    } else {
        const std::int32_t side =
            std::min(PlaneWidth(info.cfa, 0, field.width), PlaneHeight(info.cfa, 0, field.height));
        corners = PlaneCorners(field, info.cfa, std::max(2, side / 100));
    }
    for (std::size_t p = 0; p < flat.level.size(); ++p) {
        const double level = flat.level[p];
        WriteLine(stdout, QString("  %1: level %2; corners darker by %3, %4, %5, %6 EV")
                              .arg(PositionName(info, p), -6)
                              .arg(level, 0, 'g', 7)
                              .arg(Ev(level, corners[p][0]), 0, 'f', 2)
                              .arg(Ev(level, corners[p][1]), 0, 'f', 2)
                              .arg(Ev(level, corners[p][2]), 0, 'f', 2)
                              .arg(Ev(level, corners[p][3]), 0, 'f', 2));
    }
    if (!measured.sensor) return;
    const SensorReport& sensor = *measured.sensor;
    for (std::size_t p = 0; p < sensor.prnu.size(); ++p) {
        QString line = QString("  %1: PRNU %2 % (%3 % with the falloff)")
                           .arg(PositionName(info, p), -6)
                           .arg(sensor.prnuHighPass[p], 0, 'f', 3)
                           .arg(sensor.prnu[p], 0, 'f', 3);
        if (p < sensor.dsnu.size()) {
            line += QString(", DSNU %1%2 DN")
                        .arg(sensor.dsnuBound ? "at most " : "")
                        .arg(sensor.dsnu[p], 0, 'f', 3);
        }
        WriteLine(stdout, line);
    }
    WriteLine(stdout,
              "  (EMVA 1288: spatial variances less their temporal share; PRNU after a "
              "5 x 5 box high-pass.)");
    if (sensor.dsnu.empty()) {
        WriteLine(stdout, "  DSNU needs two --dark frames or a master dark of several.");
    }
}

}  // namespace

int RunFrameTuneCommand(const TuneOptions& options) {
    return AllOrNothing([&] {
        WorkPool pool(std::max(QThread::idealThreadCount(), 1));
        const FrameOffset offset(FrameDarks{options.darks, options.bias, options.darkScale}, pool);
        const MeasuredFrameFlat measured =
            MeasureFrameFlat(options.references, offset,
                             options.smoothSet ? options.smoothRadius : 0, options.level, pool);
        SaveFrameFlat(measured.flat, options.profileFile, options.references, offset.History(1));
        PrintFlatSummary(measured, options.profileFile, int(options.references.size()));
    });
}

int RunFrameFilterCommand(const FilterOptions& options) {
    if (options.format && *options.format != PhotoFormat::Tiff) {
        ReportUsageError(
            "frames are written as 32-bit float FITS or TIFF; --format takes tiff "
            "for them.",
            "filter");
        return kUsageError;
    }
    const auto suffixFor = [&](const QString& input) {
        if (options.format) return QString("tif");
        return QFileInfo(input).suffix().isEmpty() ? QString("fits") : QFileInfo(input).suffix();
    };
    const OutputPlan plan = PlanOutputs(options.inputs, options.outputFile, options.outputFolder,
                                        options.profileFile, suffixFor, "flat");
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }
    WorkPool pool(options.jobs);
    FrameFlat flat;
    std::unique_ptr<FrameOffset> offset;
    if (const int status = AllOrNothing([&] {
            flat = LoadFrameFlat(options.profileFile);
            offset = std::make_unique<FrameOffset>(
                FrameDarks{options.darks, options.bias, options.darkScale}, pool);
        });
        status != kAllDone) {
        return status;
    }
    return RunBatch(plan, options.jobs, options.quiet, pool,
                    [&](const PlannedPicture& picture, ProgressReport&) {
                        CalibrateFrame(picture.input, picture.output, flat, options.profileFile,
                                       *offset);
                    });
}

}  // namespace velmora
