#include <QFileInfo>
#include <algorithm>
#include <exception>
#include <optional>
#include <tuple>

#include "cli/commands.h"
#include "cli/console.h"
#include "correction/profile_summary.h"
#include "engine/output_plan.h"
#include "engine/profile_library.h"
#include "engine/shot_text.h"
#include "engine/work_pool.h"
#include "platform/lens_profile_file.h"
#include "platform/native_path.h"
#include "platform/profile_plot.h"

namespace velmora {
namespace {

QString Ev(double ev) {
    return QString::asprintf("%+.2f", ev);
}

struct Row {
    ShotSettings shot;
    QStringList cells;
};

// Columns padded to their widest cell, the last one left as it is.
void PrintTable(const QStringList& header, const std::vector<Row>& rows) {
    std::vector<int> widths;
    for (const QString& title : header)
        widths.push_back(int(title.size()));
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < widths.size(); ++c)
            widths[c] = std::max(widths[c], int(row.cells[int(c)].size()));
    }
    const auto line = [&](const QStringList& cells) {
        QString text;
        for (std::size_t c = 0; c < widths.size(); ++c) {
            text +=
                c + 1 == widths.size() ? cells[int(c)] : cells[int(c)].leftJustified(widths[c] + 2);
        }
        WriteLine(stdout, text);
    };
    line(header);
    for (const Row& row : rows)
        line(row.cells);
}

Row Describe(const QString& path, const LensProfile& profile) {
    const ShotSettings& shot = profile.shot;
    const ProfileSummary summary = SummariseProfile(profile);
    QStringList falloff, cast;
    for (int c = 0; c < summary.channels; ++c)
        falloff << Ev(summary.cornerEv[std::size_t(c)]);
    if (summary.channels == 3) {
        cast << Ev(summary.castEv[0]) << Ev(summary.castEv[2]);
    } else {
        cast << "grey";
    }
    const auto orDash = [](const std::string& text) {
        return text.empty() ? QString("-") : QString::fromStdString(text);
    };
    std::string camera = DescribeShot({shot.make, shot.model, {}, 0, 0, 0});
    if (shot.make.empty() && shot.model.empty()) camera.clear();
    return {shot,
            {QFileInfo(path).fileName(), orDash(camera), orDash(shot.lens),
             shot.focalLength > 0 ? QString::fromStdString(FocalText(shot.focalLength)) : "-",
             shot.fNumber > 0 ? QString::fromStdString(FNumberText(shot.fNumber)) : "-",
             QString("%1 x %2").arg(profile.flat.width).arg(profile.flat.height), falloff.join(' '),
             cast.join(' ')}};
}

int ListLibrary(const ProfilesOptions& options) {
    ProfileLibrary library;
    try {
        library = ScanProfileLibrary(options.folder);
    } catch (const std::exception& error) {
        ReportProblem(QString::fromStdString(error.what()));
        return kSomeFailed;
    }
    std::vector<std::optional<Row>> rows(library.profiles.size());
    WorkPool pool(options.jobs);
    const QStringList problems =
        ReadEveryProfile(library, pool, [&](std::size_t i, const LensProfile& profile) {
            rows[i] = Describe(library.profiles[i].path, profile);
        });
    std::vector<Row> valid;
    for (std::optional<Row>& row : rows) {
        if (row) valid.push_back(std::move(*row));
    }
    const auto order = [](const Row& row) {
        return std::make_tuple(
            QString::fromStdString(row.shot.make + ' ' + row.shot.model).toLower(),
            QString::fromStdString(row.shot.lens).toLower(), row.shot.focalLength, row.shot.fNumber,
            row.cells[0]);
    };
    std::sort(valid.begin(), valid.end(),
              [&](const Row& a, const Row& b) { return order(a) < order(b); });
    WriteLine(stdout, QString("%1 lens profile(s) in %2; falloff and cast in EV at the corners, "
                              "cast as red and blue against green.")
                          .arg(valid.size())
                          .arg(Native(options.folder)));
    if (!valid.empty()) {
        PrintTable(
            {"Profile", "Camera", "Lens", "Focal", "Aperture", "Size", "Corners R G B", "Cast R B"},
            valid);
    }
    if (problems.isEmpty()) return kAllDone;
    WriteLine(stdout, QString("%1 file(s) that are not valid lens profiles:").arg(problems.size()));
    for (const QString& problem : problems)
        WriteLine(stdout, "  " + problem);
    return kSomeFailed;
}

int Plot(const ProfilesOptions& options) {
    if (FileIdentity(options.plotOutput) == FileIdentity(options.plotFile)) {
        ReportUsageError(
            "nothing was done: the picture " + Native(options.plotOutput) + " is the lens profile.",
            "profiles");
        return kUsageError;
    }
    if (QFileInfo(options.plotOutput).isDir()) {
        ReportUsageError("nothing was done: " + Native(options.plotOutput) + " is a folder.",
                         "profiles");
        return kUsageError;
    }
    return AllOrNothing([&] {
        const LensProfile profile = LoadLensProfile(options.plotFile);
        const QString title = QFileInfo(options.plotFile).fileName() + " - " +
                              QString::fromStdString(DescribeShot(profile.shot));
        PlotLensProfile(profile, title, options.plotOutput);
    });
}

}  // namespace

int RunProfilesCommand(const ProfilesOptions& options) {
    return options.plotFile.isEmpty() ? ListLibrary(options) : Plot(options);
}

}  // namespace velmora
