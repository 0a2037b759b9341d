#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli tune REFERENCE... --profile FILE`: decodes every reference to linear light
// through its own transfer curve, averages them place by place, smooths the mean and writes it,
// with the centre level of each channel, as a lens profile (see SaveLensProfile). References of
// different sizes or channels are refused before anything is written. Warns about clipped
// references, references whose light differs more than their noise explains, and a flat that
// needs a gain above 8. Prints the summary on stdout. Returns the process's exit status.
int RunProfileTuneCommand(const TuneOptions& options);

}  // namespace velmora
