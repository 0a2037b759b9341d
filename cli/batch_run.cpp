#include "cli/batch_run.h"

#include <unistd.h>

#include <new>

#include "cli/command_line.h"
#include "cli/console.h"
#include "platform/native_path.h"

namespace velmora {

int RunBatch(const OutputPlan& plan, int jobs, bool quiet, WorkPool& pool,
             const std::function<void(const PlannedPicture&, ProgressReport&)>& correct) {
    ProgressReport report(int(plan.pictures.size()), !quiet && ::isatty(STDERR_FILENO), !quiet,
                          stderr);
    std::vector<QString> outputs;
    for (const PlannedPicture& picture : plan.pictures)
        outputs.push_back(picture.output);
    const BatchEnd end = RunPictures(
        outputs, jobs, pool, [&](std::size_t i) { correct(plan.pictures[i], report); },
        [&](std::size_t i, std::exception_ptr error) {
            const QString input = Native(plan.pictures[i].input);
            try {
                if (error) std::rethrow_exception(error);
                report.Succeeded();
            } catch (const std::bad_alloc&) {
                report.Failed(input +
                              ": Out of memory: fewer --jobs leave more memory to each picture.");
            } catch (const std::exception& failure) {
                report.Failed(input + ": " + Explained(failure));
            }
        });
    if (end.stopped) {
        report.Abandon();
        return kSomeFailed;
    }
    for (const std::exception_ptr& unflushed : end.unflushed) {
        try {
            std::rethrow_exception(unflushed);
        } catch (const std::exception& error) {
            ReportProblem(QString::fromStdString(error.what()) +
                          " The pictures written there may be lost at a power failure.");
        }
    }
    report.Finish();
    return report.failed() == 0 && end.unflushed.empty() ? kAllDone : kSomeFailed;
}

}  // namespace velmora
