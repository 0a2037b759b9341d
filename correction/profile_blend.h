#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// The gains of several profiles at the same places blended in log space: every gain is the
// weighted geometric mean of the parts', so that its logarithm is the weighted mean of theirs.
// The weights add up to 1.
void BlendGains(const std::vector<const float*>& parts, const std::vector<double>& weights,
                std::size_t count, float* out);

// The same for gain steps (see GainStep), which are logarithms already: the weighted mean step,
// rounded, at most one step (0.034 %) from the step of the blended gain.
void BlendGainSteps(const std::vector<const std::uint16_t*>& parts,
                    const std::vector<double>& weights, std::size_t count, std::uint16_t* out);

}  // namespace velmora
