#pragma once

#include <functional>

#include "cli/progress_report.h"
#include "engine/output_plan.h"
#include "engine/picture_batch.h"
#include "engine/work_pool.h"

namespace velmora {

// Carries out `plan`, `jobs` pictures at a time on `pool`: `correct` reads one input and writes
// its output with Durability::FlushLater, raising what fails; the picture is then reported done,
// or failed with its name and the error, while the others go on. The output folders are flushed
// to disk once at the end. Returns the process's exit status; kSomeFailed, without a final line,
// when a picture's work raised BatchStopped.
int RunBatch(const OutputPlan& plan, int jobs, bool quiet, WorkPool& pool,
             const std::function<void(const PlannedPicture&, ProgressReport&)>& correct);

}  // namespace velmora
