#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli filter`: plans every output (refusing a plan that would lose a file), reads the
// map once, then filters the inputs `options.jobs` at a time. A failing input is reported with
// its name and error kind and the others are still done. Returns the process's exit status.
int RunFilterCommand(const FilterOptions& options);

}  // namespace velmora
