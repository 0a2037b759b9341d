#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "correction/profile_gain.h"
#include "correction/tone_curve.h"

namespace velmora {

// 8-bit pictures take each gain rounded to the nearest of 2048 steps per octave from 1/16 to 16
// (at most 0.017 % off, under 0.02 of a code), so that a sample's result is one lookup by its
// value and its step instead of a curve search: a 24-megapixel picture's correction took 160 ms
// by search with AVX2 and takes under 40 ms by lookup (Xeon, one core).
inline constexpr int kGainStepsPerOctave = 2048;
inline constexpr int kLowestGainOctave = -4;
inline constexpr int kGainSteps = 8 * kGainStepsPerOctave + 1;

// The step nearest to `gain` in the logarithm, within 0 .. kGainSteps - 1 (gains beyond 1/16
// and 16 are cut): the number of steps s >= 1 with 2^((s - 0.5) / 2048 - 4) <= gain.
std::uint16_t GainStep(float gain);
// The gain a step stands for, 2^(step / 2048 - 4) as the nearest float.
float StepGain(std::uint16_t step);
std::vector<std::uint16_t> ToGainSteps(const std::vector<float>& gains);
// The gains of CorrectWhat::Both, as floats and as steps, for every value a profile file holds
// (k / 65535 for k = 0 .. 65535, as its reader makes them) under one set of centre levels: a flat
// kept as its file stores it takes the gains at its own size by lookup, four times as fast as
// computing each one, and without a float copy of the flat (288 MB at 24 megapixels).
class FileValueGains {
  public:
    // With `codeCurves`, the gains multiply code values of those curves (FlatInCodeValues).
    FileValueGains(const std::array<double, 3>& centre, int channels,
                   const std::vector<const ToneTables*>& codeCurves = {});

    // ComputeGains and ComputeGainSteps of `places` places of a flat of `channels` channels,
    // for a picture of as many, from the flat's file values.
    void Gains(const std::uint16_t* values, std::size_t places, float* out) const;
    void Steps(const std::uint16_t* values, std::size_t places, std::uint16_t* out) const;

  private:
    int channels_;
    std::array<std::vector<float>, 3> gains_;
    std::array<std::vector<std::uint16_t>, 3> steps_;
};

// The steps of ComputeGains for `places` places from `firstPlace` on, into `out`, without the
// gains of the whole picture in between.
void ComputeGainSteps(const FlatField& flat, const std::array<double, 3>& centre, CorrectWhat what,
                      int pictureChannels, std::size_t firstPlace, std::size_t places,
                      std::uint16_t* out);
// The same for the `places` places whose flat values (`flatChannels` a place) start at `flat`.
void ComputeGainSteps(const float* flat, int flatChannels, const std::array<double, 3>& centre,
                      CorrectWhat what, int pictureChannels, std::size_t places,
                      std::uint16_t* out);

// Every 8-bit result of one channel's curve, [step][value]: what ApplyGainRow makes of the value
// under StepGain(step). Step-major, so that neighbouring pixels, whose steps differ little, read
// from a few rows of 256 bytes (value-major rows 16 KiB apart took 2.3 times as long). 4 MiB.
class GainLookup {
  public:
    GainLookup(const ToneTables& tables, GainSpace space);
    const std::uint8_t* results() const { return results_.data(); }

    // Bytes after the last row, so that a vector kernel may read four bytes at any entry.
    static constexpr std::size_t kPadding = 4;

  private:
    std::vector<std::uint8_t> results_;
};

// ApplyGainRow for 8-bit rows with each gain given as its step: the same bytes as ApplyGainRow
// with StepGain of every step.
void ApplyGainStepsRow(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel,
                       int gainsPerPixel, const std::uint16_t* steps,
                       const GainLookup* const* lookups);

}  // namespace velmora
