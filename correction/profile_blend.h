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

// The monotone cubic (Fritsch and Carlson's, which never overshoots its nodes) through the log
// gains of three or four profiles at consecutive measured f-numbers, at the picture's f-number
// between the middle two. `nodes` are the profiles' log2 f-numbers, ascending; `at` lies
// between nodes[j] and nodes[j + 1], where j is 1 when there is a node before the neighbours
// and 0 when not. Falloff changes fastest wide open: the cubic follows that curve where the
// straight line between two neighbours cuts across it.
struct MonotoneCubic {
    MonotoneCubic(const std::vector<double>& nodes, double at);

    // The interpolated value of the nodes' values `y` (one per node).
    float operator()(const float* y) const;

    int nodes = 0;
    int first = 0;  // the neighbour before `at`
    float invH[3]{};
    float h[3]{};
    float
        basis[4]{};  // Hermite basis at `at`: value before, slope before, value after, slope after
};

// BlendGains and BlendGainSteps by the monotone cubic in log gain instead of weights.
void CubicGains(const std::vector<const float*>& parts, const MonotoneCubic& cubic,
                std::size_t count, float* out);
void CubicGainSteps(const std::vector<const std::uint16_t*>& parts, const MonotoneCubic& cubic,
                    std::size_t count, std::uint16_t* out);

}  // namespace velmora
