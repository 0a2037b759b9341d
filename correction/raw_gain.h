#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "correction/image_view.h"
#include "correction/sum_lookup.h"

namespace velmora {

// How a raw picture's samples are brought up to their plane's level: the picture's pattern and
// levels, and the level C of each position's plane that the flat is divided into.
struct RawGain {
    CfaPattern cfa;  // empty for a linear picture, whose positions are its channels
    int channels = 1;
    SampleLevels levels;
    std::array<double, 36> level{};
};

// Corrects rows of a raw picture `width` pixels wide by the flat of the same size and layout
// (its samples in the flat's own units, those of `level`):
//   out = round_half_even(S x C / F) + B, cut to [0, 65535],
// with B the black level of the sample's position and the signal S = L - D where a dark frame's
// row is given, else L - B. A sample at or above the white level stays at the white level, so
// that highlights keep their colour; one where the flat has no light (F <= 0) stays as it is.
// Each thread takes one of its own: it keeps the levels of each row of the pattern laid out
// along a row, so that the samples are corrected one after another without lookups.
class RawRowCorrector {
  public:
    RawRowCorrector(const RawGain& gain, std::int64_t width);

    // Row `y`; `out` may be `light`. Returns how many samples the correction lifted past the
    // white level.
    std::int64_t Correct(const std::uint16_t* light, const std::uint16_t* dark, const float* flat,
                         std::uint16_t* out, std::int64_t y) const;
    // The same with the flat as a profile file stores it, k for the light of FileValueLight(k):
    // a flat of the picture's size needs no copy of its own.
    std::int64_t Correct(const std::uint16_t* light, const std::uint16_t* dark,
                         const std::uint16_t* flat, std::uint16_t* out, std::int64_t y);

  private:
    template <typename Flat>
    std::int64_t CorrectRow(const std::uint16_t* light, const std::uint16_t* dark, const Flat* flat,
                            std::uint16_t* out, std::int64_t y) const;

    std::int64_t samples_;  // of a row
    int rows_;              // of the pattern
    double white_;
    std::vector<double> black_;  // rows_ x samples_
    std::vector<double> level_;
    Kernel kernel_;  // the active one when it was made: SSE2, AVX2 or AVX-512 registers
    std::vector<float> flatRow_;  // a row of file values' light
};

}  // namespace velmora
