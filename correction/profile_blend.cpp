#include "correction/profile_blend.h"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

// A gain of zero (no light at all) would make its logarithm infinite; gains are cut far above
// its inverse anyway.
constexpr float kLeastGain = 1.0f / 65536.0f;

}  // namespace

void BlendGains(const std::vector<const float*>& parts, const std::vector<double>& weights,
                std::size_t count, float* out) {
    if (parts.size() == 1) {
        std::copy_n(parts.front(), count, out);
        return;
    }
    // Two neighbours are the common case: g1^(1-w) g2^w = g1 (g2 / g1)^w, one logarithm and one
    // power per gain.
    if (parts.size() == 2) {
        const float w = float(weights[1]);
        for (std::size_t i = 0; i < count; ++i) {
            const float first = std::max(parts[0][i], kLeastGain);
            out[i] = first * std::exp2(w * std::log2(std::max(parts[1][i], kLeastGain) / first));
        }
        return;
    }
    std::fill_n(out, count, 0.0f);
    for (std::size_t part = 0; part < parts.size(); ++part) {
        const float w = float(weights[part]);
        for (std::size_t i = 0; i < count; ++i)
            out[i] += w * std::log2(std::max(parts[part][i], kLeastGain));
    }
    for (std::size_t i = 0; i < count; ++i)
        out[i] = std::exp2(out[i]);
}

void BlendGainSteps(const std::vector<const std::uint16_t*>& parts,
                    const std::vector<double>& weights, std::size_t count, std::uint16_t* out) {
    // Weights in 16-bit fixed point, adding up to exactly one, so that equal steps stay equal.
    constexpr std::uint32_t kOne = 1u << 16;
    std::vector<std::uint32_t> fixed(parts.size());
    std::uint32_t given = 0;
    for (std::size_t part = 0; part + 1 < parts.size(); ++part) {
        fixed[part] = std::uint32_t(std::lround(std::clamp(weights[part], 0.0, 1.0) * kOne));
        fixed[part] = std::min(fixed[part], kOne - given);
        given += fixed[part];
    }
    fixed.back() = kOne - given;
    if (parts.size() == 2) {
        const std::uint32_t a = fixed[0], b = fixed[1];
        for (std::size_t i = 0; i < count; ++i)
            out[i] = std::uint16_t((a * parts[0][i] + b * parts[1][i] + kOne / 2) >> 16);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t sum = kOne / 2;
        for (std::size_t part = 0; part < parts.size(); ++part)
            sum += fixed[part] * parts[part][i];
        out[i] = std::uint16_t(sum >> 16);
    }
}

}  // namespace velmora
