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
// The steps of CorrectWhat::Both for every flat value a profile file holds (k / 65535 for
// k = 0 .. 65535, as the file's reader makes them) under one set of centre levels: a flat read
// from a file at the picture's size takes its steps by lookup, four times as fast as computing
// each gain and its step.
class FileValueSteps {
  public:
    FileValueSteps(const std::array<double, 3>& centre, int channels);

    // The steps of `channels` values of one place, when every one of them is a file's value.
    bool Lookup(const float* values, int channels, std::uint16_t* steps) const {
        for (int c = 0; c < channels; ++c) {
            const float v = values[c];
            if (!(v >= 0.0f && v <= 1.0f)) return false;
            const auto k = std::uint32_t(v * 65535.0f + 0.5f);
            if (values_[k] != v) return false;
            steps[c] = steps_[std::size_t(c)][k];
        }
        return true;
    }

  private:
    std::vector<float> values_;
    std::array<std::vector<std::uint16_t>, 3> steps_;
};

// The steps of ComputeGains for `places` places from `firstPlace` on, into `out`, without the
// gains of the whole picture in between. `fileValues`, for CorrectWhat::Both on a flat of the
// picture's channels, makes the same steps faster where it can.
void ComputeGainSteps(const FlatField& flat, const std::array<double, 3>& centre, CorrectWhat what,
                      int pictureChannels, std::size_t firstPlace, std::size_t places,
                      std::uint16_t* out, const FileValueSteps* fileValues = nullptr);

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
