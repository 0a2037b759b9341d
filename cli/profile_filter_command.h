#pragma once

#include "cli/command_line.h"

namespace velmora {

// The threads of a batch's pool: one per job, and at least one per core.
int PoolThreads(int jobs);

// `velmora-cli filter --profile FILE`: plans every output (refusing a plan that would lose a
// file), reads the lens profile's description, then corrects the inputs `options.jobs` at a
// time within `options.memory` and writes each in `options.format` with the input's metadata.
// A profile that cannot be read stops the batch before any picture is written. Returns the
// process's exit status.
int RunProfileFilterCommand(const FilterOptions& options);

}  // namespace velmora
