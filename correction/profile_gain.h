#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "correction/flat_field.h"
#include "correction/tone_curve.h"

namespace velmora {

// Where a lens profile's gain is applied: to light, through each picture's transfer curve, or to
// the code values themselves (for data that is linear already or whose curve is unknown).
enum class GainSpace { Linear, Code };

// What a lens profile corrects: the falloff and the colour cast (Both), only the falloff of the
// flat's luminance (Luminance: one gain per place, a colour cast stays), or only the cast
// (Colour: each channel's gain divided by the luminance gain, the falloff stays).
enum class CorrectWhat { Both, Luminance, Colour };

// The largest gain a place gets; a flat darker than 1/16 of its centre is cut there.
inline constexpr double kLargestProfileGain = 16.0;

// Gains for every place of a picture of the flat's size with `pictureChannels` colour channels
// (1 or 3), interleaved like the picture: with F the flat and C its centre level of a channel,
// the channel's gain C / F; the luminance gain C_Y / F_Y uses the Rec. 709 weights of linear
// light. Greyscale pictures take the luminance gain (Colour: 1). A grey flat serves every channel.
std::vector<float> ComputeGains(const FlatField& flat, const std::array<double, 3>& centre,
                                CorrectWhat what, int pictureChannels);
// The same for `places` places from `firstPlace` on, into `out`.
void ComputeGains(const FlatField& flat, const std::array<double, 3>& centre, CorrectWhat what,
                  int pictureChannels, std::size_t firstPlace, std::size_t places, float* out);
// The same for the `places` places whose flat values (`flatChannels` a place) start at `flat`:
// a row of a flat made as it is needed.
void ComputeGains(const float* flat, int flatChannels, const std::array<double, 3>& centre,
                  CorrectWhat what, int pictureChannels, std::size_t places, float* out);

// For gains that multiply code values, C and F go through the same curves as the samples: light
// (0..1) becomes ToCode of `curves`, one per channel, the last serving the rest.
std::array<double, 3> CentreInCodeValues(const std::array<double, 3>& centre,
                                         const std::vector<const ToneTables*>& curves);
// `count` values of a flat of `channels` channels, from the first value of a place on.
void FlatInCodeValues(float* values, std::size_t count, int channels,
                      const std::vector<const ToneTables*>& curves);

// Corrects `pixels` pixels of one row in place. Each pixel holds `samplesPerPixel` samples, the
// first `gainsPerPixel` of them colour samples with a gain each in `gains`; the rest (alpha) stay.
// For a sample v with gain g, in double precision:
//   Linear: x = tables[c].Decode(v) * g, and v becomes tables[c].Encode(x): the nearest code of
//           the curve, half-way going to the even code, cut at the largest code;
//   Code:   v becomes min(maxCode, v * g rounded half to even).
// `tables` holds one entry per colour channel (all for the sample type's bit depth).
void ApplyGainRow(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                  const float* gains, const ToneTables* const* tables, GainSpace space);
void ApplyGainRow(std::uint16_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                  const float* gains, const ToneTables* const* tables, GainSpace space);

}  // namespace velmora
