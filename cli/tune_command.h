#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli tune`: the window's "load" and "tuning" on the reference, smoothed first when
// `options.smoothRadius` is above 0. The map file is replaced only by the map of a complete
// tuning, in one rename; then its sidecar "<map>.json" is written the same way, and the preview
// (the map, as the window shows it after tuning) last. Prints the summary on stdout. Returns
// the process's exit status.
int RunTuneCommand(const TuneOptions& options);

}  // namespace velmora
