#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli tune`: the window's "load" and "tuning" on the reference. The map file is
// replaced only by the map of a complete tuning, in one rename, and the preview is written only
// after it. Prints the summary on stdout. Returns the process's exit status.
int RunTuneCommand(const TuneOptions& options);

}  // namespace velmora
