#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// How the values of one place across a stack of frames become the master's value.
enum class CombineMethod {
    Mean,
    Median,     // an even count takes the mean of the two middle values
    SigmaClip,  // values beyond the median by more than K sigma left out, repeatedly; then the mean
    Winsorized,  // values beyond those bounds moved onto them, repeatedly; then the mean
};

struct CombineRule {
    CombineMethod method = CombineMethod::Mean;
    double low = 3;   // K below the median, in standard deviations
    double high = 3;  // K above it
};

// The most rounds of winsorizing: each round pulls the bounds in by less than the last, and
// after these they move by far less than a float's rounding.
inline constexpr int kWinsorRounds = 100;

// Combines `count` places of `frames` frames, frame f's value of place i at
// values[f * stride + i], into out[i]; returns how many values were rejected (sigma-clip) or
// replaced (winsorized). Every rule is computed in double and rounded once to float:
//  - sigma-clip: from all the values, repeatedly leave out those below m - low * s or above
//    m + high * s, m the median and s the standard deviation (of the population, dividing by
//    the count) of the values still kept, until a round leaves out none; the mean of the rest;
//  - winsorized: repeatedly move the values beyond m - low * s and m + high * s of the current
//    values onto those bounds, until none lies beyond them, the bounds move by less than a
//    millionth of s, or kWinsorRounds rounds; the mean of the values then.
// A value that is not a number (a blank of the frame) takes no part; a place with none left
// is not a number. `values` is reordered (each place's values sorted).
// Frames scaled first come as doubles, so that the scaling rounds nothing.
template <typename Sample>
std::int64_t CombinePlaces(Sample* values, std::size_t frames, std::size_t stride,
                           std::size_t count, const CombineRule& rule, float* out);

// The compare-exchange pairs (lower index first) that sort `count` values: Batcher's odd-even
// merge network for the next power of two, less the pairs that reach past `count`.
std::vector<std::pair<std::uint32_t, std::uint32_t>> SortingNetwork(std::size_t count);

}  // namespace velmora
