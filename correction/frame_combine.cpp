#include "correction/frame_combine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmora {
namespace {

// Places sorted together: their values of every frame stay in the first level of cache while
// the network passes over them.
constexpr std::size_t kChunk = 128;

// The median of sorted values s[lo..hi).
double MedianOf(const double* s, std::size_t lo, std::size_t hi) {
    const std::size_t n = hi - lo;
    const std::size_t mid = lo + n / 2;
    return n % 2 == 1 ? s[mid] : (s[mid - 1] + s[mid]) / 2;
}

struct Spread {
    double mean = 0;
    double sigma = 0;
};

// Mean and population standard deviation of s[lo..hi), each value first clamped to [a, b]; two
// passes, so that a large common level costs no precision.
Spread SpreadOf(const double* s, std::size_t lo, std::size_t hi, double a, double b) {
    double sum = 0;
    for (std::size_t i = lo; i < hi; ++i)
        sum += std::clamp(s[i], a, b);
    const double n = double(hi - lo);
    const double mean = sum / n;
    double squares = 0;
    for (std::size_t i = lo; i < hi; ++i) {
        const double d = std::clamp(s[i], a, b) - mean;
        squares += d * d;
    }
    return {mean, std::sqrt(squares / n)};
}

// Sigma-clip of the n sorted values s: the kept values are always a run of them.
double SigmaClipped(const double* s, std::size_t n, const CombineRule& rule,
                    std::int64_t& rejected) {
    constexpr double kAll = std::numeric_limits<double>::infinity();
    std::size_t lo = 0;
    std::size_t hi = n;
    for (;;) {
        const double m = MedianOf(s, lo, hi);
        const double sigma = SpreadOf(s, lo, hi, -kAll, kAll).sigma;
        const double below = m - rule.low * sigma;
        const double above = m + rule.high * sigma;
        std::size_t newLo = lo;
        std::size_t newHi = hi;
        while (newLo < newHi && s[newLo] < below)
            ++newLo;
        while (newHi > newLo && s[newHi - 1] > above)
            --newHi;
        if (newLo == lo && newHi == hi) break;
        lo = newLo;
        hi = newHi;
    }
    rejected += std::int64_t(n - (hi - lo));
    return SpreadOf(s, lo, hi, -kAll, kAll).mean;
}

// Winsorizing of the n sorted values s. Moving every value onto [L, H] after [A, B] moves it
// onto [clamp(A, L, H), clamp(B, L, H)], so the current values are always clamp(s, a, b).
double Winsorized(const double* s, std::size_t n, const CombineRule& rule, std::int64_t& replaced) {
    double a = -std::numeric_limits<double>::infinity();
    double b = std::numeric_limits<double>::infinity();
    Spread spread = SpreadOf(s, 0, n, a, b);
    for (int round = 0; round < kWinsorRounds; ++round) {
        const double m = n % 2 == 1
                             ? std::clamp(s[n / 2], a, b)
                             : (std::clamp(s[n / 2 - 1], a, b) + std::clamp(s[n / 2], a, b)) / 2;
        const double below = m - rule.low * spread.sigma;
        const double above = m + rule.high * spread.sigma;
        // The values are sorted, so the ends tell whether any lies beyond the bounds.
        if (std::clamp(s[0], a, b) >= below && std::clamp(s[n - 1], a, b) <= above) break;
        const double newA = std::clamp(a, below, above);
        const double newB = std::clamp(b, below, above);
        const double still = 1e-6 * spread.sigma;
        const bool settled = std::abs(newA - a) < still && std::abs(newB - b) < still;
        a = newA;
        b = newB;
        spread = SpreadOf(s, 0, n, a, b);
        if (settled) break;
    }
    for (std::size_t i = 0; i < n; ++i)
        replaced += (s[i] < a || s[i] > b) ? 1 : 0;
    return spread.mean;
}

template <typename Sample>
void SortChunk(Sample* values, std::size_t stride, std::size_t length,
               const std::vector<std::pair<std::uint32_t, std::uint32_t>>& network) {
    for (const auto& [first, second] : network) {
        Sample* __restrict x = values + first * stride;
        Sample* __restrict y = values + second * stride;
        for (std::size_t i = 0; i < length; ++i) {
            const Sample p = x[i];
            const Sample q = y[i];
            x[i] = std::min(p, q);
            y[i] = std::max(p, q);
        }
    }
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::uint32_t>> SortingNetwork(std::size_t count) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (std::size_t p = 1; p < count; p *= 2) {
        for (std::size_t k = p; k >= 1; k /= 2) {
            for (std::size_t j = k % p; j + k < count; j += 2 * k) {
                for (std::size_t i = 0; i < k && i + j + k < count; ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        pairs.emplace_back(std::uint32_t(i + j), std::uint32_t(i + j + k));
                }
            }
        }
    }
    return pairs;
}

template <typename Sample>
std::int64_t CombinePlaces(Sample* values, std::size_t frames, std::size_t stride,
                           std::size_t count, const CombineRule& rule, float* out) {
    constexpr Sample kBlank = std::numeric_limits<Sample>::infinity();
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    std::int64_t rejected = 0;
    if (rule.method == CombineMethod::Mean) {
        for (std::size_t i = 0; i < count; ++i) {
            double sum = 0;
            std::size_t n = 0;
            for (std::size_t f = 0; f < frames; ++f) {
                const Sample v = values[f * stride + i];
                if (std::isnan(v)) continue;
                sum += v;
                ++n;
            }
            out[i] = n == 0 ? kNaN : float(sum / double(n));
        }
        return 0;
    }
    const auto network = SortingNetwork(frames);
    std::vector<double> sorted(frames);
    for (std::size_t start = 0; start < count; start += kChunk) {
        const std::size_t length = std::min(kChunk, count - start);
        Sample* chunk = values + start;
        // Blanks sort last, where the count of real values leaves them out.
        for (std::size_t f = 0; f < frames; ++f) {
            Sample* row = chunk + f * stride;
            for (std::size_t i = 0; i < length; ++i)
                row[i] = std::isnan(row[i]) ? kBlank : row[i];
        }
        SortChunk(chunk, stride, length, network);
        for (std::size_t i = 0; i < length; ++i) {
            std::size_t n = 0;
            for (std::size_t f = 0; f < frames; ++f) {
                const Sample v = chunk[f * stride + i];
                if (v == kBlank) break;
                sorted[n++] = v;
            }
            float& result = out[start + i];
            if (n == 0) {
                result = kNaN;
            } else if (rule.method == CombineMethod::Median) {
                result = float(MedianOf(sorted.data(), 0, n));
            } else if (rule.method == CombineMethod::SigmaClip) {
                result = float(SigmaClipped(sorted.data(), n, rule, rejected));
            } else {
                result = float(Winsorized(sorted.data(), n, rule, rejected));
            }
        }
    }
    return rejected;
}

template std::int64_t CombinePlaces(float*, std::size_t, std::size_t, std::size_t,
                                    const CombineRule&, float*);
template std::int64_t CombinePlaces(double*, std::size_t, std::size_t, std::size_t,
                                    const CombineRule&, float*);

}  // namespace velmora
