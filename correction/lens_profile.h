#pragma once

#include <array>
#include <string>
#include <vector>

#include "correction/flat_field.h"

namespace velmora {

// A lens profile: the smoothed flat field of one or more references, in linear light at their
// full resolution, and the centre level of each channel that the gains bring every place up to.
struct LensProfile {
    FlatField flat;
    std::array<double, 3> centre{};  // per channel; a grey profile repeats its one level
    int referenceBits = 8;
    int smoothRadius = 0;
    std::vector<std::string> references;  // file names, in the order given
};

}  // namespace velmora
