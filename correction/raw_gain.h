#pragma once

#include <array>
#include <cstdint>

#include "correction/image_view.h"

namespace velmora {

// How a raw picture's samples are brought up to their plane's level: the picture's pattern and
// levels, and the level C of each position's plane that the flat is divided into.
struct RawGain {
    CfaPattern cfa;  // empty for a linear picture, whose positions are its channels
    int channels = 1;
    SampleLevels levels;
    std::array<double, 36> level{};
};

// One row (row `y` of the picture, `width` pixels) corrected by the flat `flat` of the same
// size and layout (its samples in the flat's own units, those of `level`):
//   out = round_half_even(S x C / F) + B, cut to [0, 65535],
// with B the black level of the sample's position and the signal S = L - D where a dark frame's
// row `dark` is given, else L - B. A sample at or above the white level stays at the white
// level, so that highlights keep their colour; one where the flat has no light (F <= 0) stays
// as it is. Returns how many samples the correction pushed past the white level.
std::int64_t CorrectRawRow(const std::uint16_t* light, const std::uint16_t* dark, const float* flat,
                           std::uint16_t* out, std::int64_t width, std::int64_t y,
                           const RawGain& gain);

}  // namespace velmora
