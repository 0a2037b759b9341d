#include "correction/profile_blend.h"

#include <algorithm>
#include <cmath>

#include "correction/gain_steps.h"

namespace velmora {
namespace {

// A gain of zero (no light at all) would make its logarithm infinite; gains are cut far above
// its inverse anyway.
constexpr float kLeastGain = 1.0f / 65536.0f;
constexpr int kLastGainStep = kGainSteps - 1;

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

MonotoneCubic::MonotoneCubic(const std::vector<double>& x, double at) : nodes(int(x.size())) {
    first = nodes == 4 ? 1 : (at >= x[1] && nodes == 3 ? 1 : 0);
    for (int i = 0; i + 1 < nodes; ++i) {
        h[i] = float(x[std::size_t(i) + 1] - x[std::size_t(i)]);
        invH[i] = 1.0f / h[i];
    }
    const double t = (at - x[std::size_t(first)]) / double(h[first]);
    const double t2 = t * t, t3 = t2 * t;
    basis[0] = float(2 * t3 - 3 * t2 + 1);
    basis[1] = float((t3 - 2 * t2 + t) * h[first]);
    basis[2] = float(-2 * t3 + 3 * t2);
    basis[3] = float((t3 - t2) * h[first]);
}

namespace {

float Sign(float v) {
    return float((v > 0) - (v < 0));
}

// The slope at an end node: the three-point formula, kept from overshooting.
float EndSlope(float hEnd, float hNext, float dEnd, float dNext) {
    float m = ((2 * hEnd + hNext) * dEnd - hEnd * dNext) / (hEnd + hNext);
    if (Sign(m) != Sign(dEnd)) return 0;
    if (Sign(dEnd) != Sign(dNext) && std::abs(m) > 3 * std::abs(dEnd)) return 3 * dEnd;
    return m;
}

// The slope at an inner node: the weighted harmonic mean of the secants, zero at a turn.
float InnerSlope(float hBefore, float hAfter, float before, float after) {
    if (!(before * after > 0)) return 0;
    const float w1 = 2 * hAfter + hBefore, w2 = hAfter + 2 * hBefore;
    return (w1 + w2) * before * after / (w1 * after + w2 * before);
}

}  // namespace

float MonotoneCubic::operator()(const float* y) const {
    float d[3];
    for (int i = 0; i + 1 < nodes; ++i)
        d[i] = (y[i + 1] - y[i]) * invH[i];
    const int j = first;
    const float before =
        j == 0 ? EndSlope(h[0], h[1], d[0], d[1]) : InnerSlope(h[j - 1], h[j], d[j - 1], d[j]);
    const float after = j + 2 == nodes ? EndSlope(h[j], h[j - 1], d[j], d[j - 1])
                                       : InnerSlope(h[j], h[j + 1], d[j], d[j + 1]);
    return basis[0] * y[j] + basis[1] * before + basis[2] * y[j + 1] + basis[3] * after;
}

void CubicGains(const std::vector<const float*>& parts, const MonotoneCubic& cubic,
                std::size_t count, float* out) {
    float y[4];
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t p = 0; p < parts.size(); ++p)
            y[p] = std::log2(std::max(parts[p][i], kLeastGain));
        out[i] = std::exp2(cubic(y));
    }
}

void CubicGainSteps(const std::vector<const std::uint16_t*>& parts, const MonotoneCubic& cubic,
                    std::size_t count, std::uint16_t* out) {
    float y[4];
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t p = 0; p < parts.size(); ++p)
            y[p] = float(parts[p][i]);
        const float step = std::nearbyint(cubic(y));
        out[i] = std::uint16_t(std::clamp(step, 0.0f, float(kLastGainStep)));
    }
}

}  // namespace velmora
