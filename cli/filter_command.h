#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli filter`: plans every output (refusing a plan that would lose a file), reads the
// map and its sidecar once, then corrects the inputs `options.jobs` at a time. Gain mode is
// refused, before any picture is read, without a sidecar that describes the map. A picture of
// another size than the sidecar's reference gets a warning; its result is not changed. A failing
// input is reported with its name and error kind and the others are still done. Returns the
// process's exit status.
int RunFilterCommand(const FilterOptions& options);

}  // namespace velmora
