#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "correction/tone_curve.h"

namespace velmora {

// A flat field: the light a lens lets through at every place of its frame, in linear light
// (0..1), per colour channel, interleaved like the picture it came from, row by row.
struct FlatField {
    std::int32_t width = 0;
    std::int32_t height = 0;
    int channels = 0;  // 1 (grey) or 3 (red, green, blue)
    std::vector<float> values;

    std::size_t places() const { return std::size_t(width) * std::size_t(height); }
    float at(std::int32_t x, std::int32_t y, int c) const {
        return values[(std::size_t(y) * std::size_t(width) + std::size_t(x)) *
                          std::size_t(channels) +
                      std::size_t(c)];
    }
};

// What one reference tells besides its light: how many samples sat at full scale, the mean
// light of a grid of cells per channel (to compare references), and its pixel noise relative to
// its level (from neighbours' differences, which a smooth falloff does not enlarge).
struct ReferenceStats {
    std::int64_t clippedSamples = 0;
    std::vector<double> cellMeans;  // kStatsGrid x kStatsGrid cells, row by row, then channels
    double relativeNoise = 0;
};
inline constexpr int kStatsGrid = 16;

// Decodes one reference (`samplesPerPixel` interleaved samples per pixel, the first
// `sum.channels` of them colour, through one table per channel) to linear light and adds it
// to `sum`, which must have the reference's size. `rowSamples` is the distance between rows.
ReferenceStats AddReference(FlatField& sum, const std::uint8_t* samples, std::size_t rowSamples,
                            int samplesPerPixel, const ToneTables* const* tables);
ReferenceStats AddReference(FlatField& sum, const std::uint16_t* samples, std::size_t rowSamples,
                            int samplesPerPixel, const ToneTables* const* tables);

// How far the shape of each reference's light departs from the others' (the light moved
// between shots): the largest relative difference of a cell's light between one reference and
// the mean of all, each reference first scaled to the same overall level; and how large a
// difference their noise alone would make (six standard errors of a cell's mean).
struct ReferenceSpread {
    double largest = 0;
    double noiseExplains = 0;
    int reference = -1;  // which one departs most
};
ReferenceSpread CompareReferences(const std::vector<ReferenceStats>& stats, int channels,
                                  std::int32_t width, std::int32_t height);

// Low-passes the flat: two passes of a box of 2 x radius + 1 places across and two down, per
// channel. Near an edge a box averages only the places inside the frame, so the falloff there
// is not pulled towards the middle. Radius 0 leaves the flat as it is.
void SmoothFlatField(FlatField& flat, int radius);

// The flat's mean light per channel over a small window (`radius` places around the centre).
std::array<double, 3> CentreLevels(const FlatField& flat, int radius);

// The flat's mean light per channel over the whole frame.
std::array<double, 3> MeanLevels(const FlatField& flat);

// The flat's mean light per channel over the same window at each corner, as
// {top-left, top-right, bottom-left, bottom-right}.
std::array<std::array<double, 3>, 4> CornerLevels(const FlatField& flat, int radius);

// The darkest place of each channel relative to its centre level (the largest gain it needs).
std::array<double, 3> LargestGains(const FlatField& flat, const std::array<double, 3>& centre);

}  // namespace velmora
