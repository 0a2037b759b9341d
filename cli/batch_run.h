#pragma once

#include <functional>

#include "cli/output_plan.h"
#include "cli/progress_report.h"

namespace velmora {

// Carries out `plan`, `jobs` pictures at a time: `correct` reads one input and writes its output
// with Durability::FlushLater, raising what fails; the picture is then reported done, or failed
// with its name and the error, while the others go on. The output folders are flushed to disk
// once at the end. Returns the process's exit status.
int RunBatch(const OutputPlan& plan, int jobs, bool quiet,
             const std::function<void(const PlannedPicture&, ProgressReport&)>& correct);

}  // namespace velmora
