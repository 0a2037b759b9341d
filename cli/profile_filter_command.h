#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli filter --profile FILE`: plans every output (refusing a plan that would lose a
// file), reads the lens profile once, then corrects the inputs `options.jobs` at a time: each
// picture's samples are multiplied by the profile's gain at their place (see ApplyGainRow; for
// 8-bit pictures the gain's nearest step, see GainStep), the flat resampled once per picture size,
// and written in `options.format` with the input's metadata. A picture whose aspect ratio differs
// from the profile's is refused, naming both sizes, unless `options.cropCentre`. Returns the
// process's exit status.
int RunProfileFilterCommand(const FilterOptions& options);

}  // namespace velmora
