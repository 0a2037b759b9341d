#include "cli/filter_command.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <exception>
#include <filesystem>
#include <new>
#include <set>
#include <string>

#include "cli/console.h"
#include "cli/job_runner.h"
#include "cli/output_plan.h"
#include "cli/progress_report.h"
#include "cli/round_trip.h"
#include "correction/correction_map.h"
#include "correction/error.h"
#include "correction/map_store.h"

namespace velmora {

int RunFilterCommand(const FilterOptions& options) {
    const OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.mapFile);
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }

    // Read once here, then only read by every worker.
    CorrectionMap map;
    try {
        const bool found = LoadCorrectionMap(
            map, std::filesystem::path(QFile::encodeName(options.mapFile).constData()));
        if (!found && !options.quiet) {
            ReportProblem("no correction map " + QDir::toNativeSeparators(options.mapFile) +
                          "; the map is all zero and the pictures are saved unchanged.");
        }
    } catch (const Error& error) {
        ReportProblem(QString::fromStdString(error.what()));
        return kSomeFailed;
    }

    const std::string strength = options.strength.toStdString();
    const int total = int(plan.pictures.size());
    ProgressReport report(total, !options.quiet && ::isatty(STDERR_FILENO), !options.quiet, stderr);
    RunJobs(total, options.jobs, [&](int i) {
        const PlannedPicture& picture = plan.pictures[std::size_t(i)];
        try {
            // Each output replaces its name in one rename; the flush to disk is done once for the
            // whole batch below. Flushing every file on its own made a batch of 100 pictures
            // 2.3 times as slow as decoding them, against 1.1 to 1.4 times without.
            FilterPictureFile(picture.input, picture.output, map, options.mode, strength, '.',
                              Durability::FlushLater);
            report.Succeeded();
        } catch (const std::bad_alloc&) {
            report.Failed(QDir::toNativeSeparators(picture.input) +
                          ": Out of memory: fewer --jobs leave more memory to each picture.");
        } catch (const std::exception& error) {
            report.Failed(QDir::toNativeSeparators(picture.input) + ": " +
                          QString::fromStdString(error.what()));
        }
    });
    std::set<std::filesystem::path> folders;
    for (const PlannedPicture& picture : plan.pictures) {
        folders.insert(
            std::filesystem::path(QFile::encodeName(picture.output).constData()).parent_path());
    }
    for (const std::filesystem::path& folder : folders)
        FlushFileSystemOf(folder);
    report.Finish();
    return report.failed() == 0 ? kAllDone : kSomeFailed;
}

}  // namespace velmora
