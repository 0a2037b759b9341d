#include "cli/profile_filter_command.h"

#include <QThread>
#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>

#include "cli/batch_run.h"
#include "cli/console.h"
#include "cli/output_plan.h"
#include "engine/memory_budget.h"
#include "engine/profile_correction.h"
#include "engine/profile_store.h"
#include "engine/work_pool.h"
#include "platform/native_path.h"

namespace velmora {

int PoolThreads(int jobs) {
    return std::max(jobs, QThread::idealThreadCount());
}

int RunProfileFilterCommand(const FilterOptions& options) {
    const OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.profileFile,
                    FormatSuffix(options.format), "lens profile");
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }
    WorkPool pool(PoolThreads(options.jobs));
    MemoryBudget budget(options.memory);
    std::optional<SingleProfile> profile;
    try {
        // Read in the background while the first pictures open.
        profile.emplace(options.profileFile, pool, budget);
    } catch (const std::exception& error) {
        ReportProblem("nothing was done: " + Explained(error));
        return kSomeFailed;
    }
    ProfileCorrector corrector(options.settings, *profile, pool, budget);
    const OutputSettings out{options.format, options.quality, Durability::FlushLater};
    std::mutex mutex;
    QString unreadable;  // why the profile cannot be read, which stops the batch
    const int status = RunBatch(
        plan, options.jobs, options.quiet, pool,
        [&](const PlannedPicture& picture, ProgressReport& report) {
            try {
                profile->Get(0);
            } catch (const std::exception& error) {
                const std::lock_guard lock(mutex);
                unreadable = Explained(error);
                throw BatchStopped();
            }
            corrector.Correct(picture.input, picture.output, {{{0, 1.0}}, {}}, out,
                              [&](const QString& note) {
                                  report.Warn(Native(picture.input) + ": Warning: " + note);
                              });
        });
    if (!unreadable.isEmpty()) {
        ReportProblem("nothing was done: " + unreadable);
        return kSomeFailed;
    }
    return status;
}

}  // namespace velmora
