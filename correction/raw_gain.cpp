#include "correction/raw_gain.h"

#include <algorithm>
#include <cmath>

#include "correction/cfa_planes.h"
#include "correction/lens_profile.h"
#include "correction/sum_lookup.h"

namespace velmora {
namespace {

// Adding and taking away 1.5 x 2^52 rounds a double of magnitude below 2^51 to the nearest
// integer, ties to even, in the default rounding mode: std::nearbyint without a call into the
// maths library on processors without SSE 4.1, and in vector registers.
constexpr double kRounder = 6755399441055744.0;

inline double RoundHalfEven(double value) {
    return (value + kRounder) - kRounder;
}

}  // namespace

RawRowCorrector::RawRowCorrector(const RawGain& gain, std::int64_t width)
    : samples_(width * (gain.cfa.empty() ? gain.channels : 1)),
      rows_(gain.cfa.empty() ? 1 : gain.cfa.height),
      white_(gain.levels.white),
      black_(std::size_t(rows_) * std::size_t(samples_)),
      level_(black_.size()),
      kernel_(ActiveKernel()) {
    for (int r = 0; r < rows_; ++r) {
        for (std::int64_t i = 0; i < samples_; ++i) {
            const int position =
                gain.cfa.empty() ? int(i % gain.channels) : PositionAt(gain.cfa, i, r);
            const std::size_t at = std::size_t(r) * std::size_t(samples_) + std::size_t(i);
            black_[at] = gain.levels.black[std::size_t(gain.cfa.empty() ? 0 : position)];
            level_[at] = gain.level[std::size_t(position)];
        }
    }
}

namespace {

// One row, the dark frame's samples subtracted where `withDark`, else the black levels. Without
// branches or conditional loads, so that the compiler keeps it in vector registers.
// The light of a flat's sample, as a float like every flat's.
inline float Light(float value) {
    return value;
}
inline float Light(std::uint16_t k) {
    return FileValueLight(k);  // a division, not a lookup, so that it stays in vector registers
}

template <bool withDark, typename Flat>
[[gnu::always_inline]] inline std::int64_t CorrectSamples(const std::uint16_t* light,
                                                          const std::uint16_t* dark,
                                                          const Flat* flat, std::uint16_t* out,
                                                          const double* black, const double* level,
                                                          std::int64_t samples, double white) {
    const double whiteOut = std::min(white, 65535.0);
    std::int64_t pushed = 0;
    for (std::int64_t i = 0; i < samples; ++i) {
        const double value = light[i];
        const double f = Light(flat[i]);
        const double below = withDark ? double(dark[i]) : black[i];
        const bool lit = f > 0;
        // Where F <= 0 the quotient is of no use; 1 keeps the arithmetic finite.
        const double quotient = (value - below) * level[i] / (lit ? f : 1.0);
        const double bounded = std::min(std::max(quotient, -1e12), 1e12);
        const double corrected = RoundHalfEven(RoundHalfEven(bounded) + black[i]);
        const bool saturated = value >= white;
        pushed += int(lit) & int(!saturated) & int(corrected > white);
        const double cut = std::min(std::max(corrected, 0.0), 65535.0);
        const double kept = lit ? cut : value;
        out[i] = std::uint16_t(int(saturated ? whiteOut : kept));
    }
    return pushed;
}

// The same loop compiled for wider registers: four and eight doubles at once.
template <bool withDark, typename Flat>
[[gnu::target("avx2")]] std::int64_t CorrectSamplesAvx2(const std::uint16_t* light,
                                                        const std::uint16_t* dark, const Flat* flat,
                                                        std::uint16_t* out, const double* black,
                                                        const double* level, std::int64_t samples,
                                                        double white) {
    return CorrectSamples<withDark>(light, dark, flat, out, black, level, samples, white);
}
template <bool withDark, typename Flat>
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] std::int64_t CorrectSamplesAvx512(
    const std::uint16_t* light, const std::uint16_t* dark, const Flat* flat, std::uint16_t* out,
    const double* black, const double* level, std::int64_t samples, double white) {
    return CorrectSamples<withDark>(light, dark, flat, out, black, level, samples, white);
}

template <bool withDark, typename Flat>
std::int64_t CorrectOn(Kernel kernel, const std::uint16_t* light, const std::uint16_t* dark,
                       const Flat* flat, std::uint16_t* out, const double* black,
                       const double* level, std::int64_t samples, double white) {
    switch (kernel) {
        case Kernel::Avx512:
            return CorrectSamplesAvx512<withDark>(light, dark, flat, out, black, level, samples,
                                                  white);
        case Kernel::Avx2:
            return CorrectSamplesAvx2<withDark>(light, dark, flat, out, black, level, samples,
                                                white);
        default:
            return CorrectSamples<withDark>(light, dark, flat, out, black, level, samples, white);
    }
}

}  // namespace

template <typename Flat>
std::int64_t RawRowCorrector::CorrectRow(const std::uint16_t* light, const std::uint16_t* dark,
                                         const Flat* flat, std::uint16_t* out,
                                         std::int64_t y) const {
    const std::size_t row = std::size_t(y % rows_) * std::size_t(samples_);
    const double* black = black_.data() + row;
    const double* level = level_.data() + row;
    return dark != nullptr
               ? CorrectOn<true>(kernel_, light, dark, flat, out, black, level, samples_, white_)
               : CorrectOn<false>(kernel_, light, nullptr, flat, out, black, level, samples_,
                                  white_);
}

std::int64_t RawRowCorrector::Correct(const std::uint16_t* light, const std::uint16_t* dark,
                                      const float* flat, std::uint16_t* out, std::int64_t y) const {
    return CorrectRow(light, dark, flat, out, y);
}

std::int64_t RawRowCorrector::Correct(const std::uint16_t* light, const std::uint16_t* dark,
                                      const std::uint16_t* flat, std::uint16_t* out,
                                      std::int64_t y) {
    // The file values' light by table, a scalar load each, then one division a sample less:
    // 40 % of the row's time went to making the light by division.
    static const std::vector<float> table = [] {
        std::vector<float> values(65536);
        for (std::size_t k = 0; k < values.size(); ++k)
            values[k] = FileValueLight(std::uint16_t(k));
        return values;
    }();
    flatRow_.resize(std::size_t(samples_));
    for (std::int64_t i = 0; i < samples_; ++i)
        flatRow_[std::size_t(i)] = table[flat[i]];
    return CorrectRow(light, dark, flatRow_.data(), out, y);
}

}  // namespace velmora
