#include "correction/flat_field.h"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

template <typename Sample>
ReferenceStats AddSamples(FlatField& sum, const Sample* samples, std::size_t rowSamples,
                          int samplesPerPixel, const ToneTables* const* tables) {
    const int channels = sum.channels;
    const std::size_t grid = kStatsGrid;
    ReferenceStats stats;
    stats.cellMeans.assign(grid * grid * std::size_t(channels), 0.0);
    std::vector<std::int64_t> cellCounts(grid * grid, 0);
    double squaredSteps = 0;
    double level = 0;
    std::int64_t steps = 0;
    const std::uint32_t top = tables[0]->maxCode();
    for (std::int32_t y = 0; y < sum.height; ++y) {
        const Sample* row = samples + std::size_t(y) * rowSamples;
        float* out = sum.values.data() + std::size_t(y) * std::size_t(sum.width) * channels;
        const std::size_t cellRow = std::size_t(y) * grid / std::size_t(sum.height) * grid;
        double previous = 0;
        for (std::int32_t x = 0; x < sum.width; ++x) {
            const Sample* pixel = row + std::size_t(x) * samplesPerPixel;
            const std::size_t cell = cellRow + std::size_t(x) * grid / std::size_t(sum.width);
            ++cellCounts[cell];
            for (int c = 0; c < channels; ++c) {
                const double light = tables[c]->Decode(pixel[c]);
                stats.clippedSamples += pixel[c] >= top;
                out[std::size_t(x) * channels + c] += float(light);
                stats.cellMeans[cell * channels + c] += light;
            }
            // The noise of the middle channel, from steps between neighbours.
            const double light = tables[channels / 2]->Decode(pixel[channels / 2]);
            if (x > 0) {
                squaredSteps += (light - previous) * (light - previous);
                level += light;
                ++steps;
            }
            previous = light;
        }
    }
    for (std::size_t cell = 0; cell < grid * grid; ++cell) {
        for (int c = 0; c < channels; ++c)
            stats.cellMeans[cell * channels + c] /=
                double(std::max<std::int64_t>(cellCounts[cell], 1));
    }
    if (steps > 0 && level > 0) {
        const double mean = level / double(steps);
        stats.relativeNoise = std::sqrt(squaredSteps / double(steps) / 2) / mean;
    }
    return stats;
}

// One box pass along every row of `from` into `to` (width x height places of `channels`).
void BoxPassAcross(const float* from, float* to, std::int32_t width, std::int32_t height,
                   int channels, int radius) {
    const std::size_t stride = std::size_t(channels);
    std::vector<double> prefix(std::size_t(width) + 1);
    for (std::int32_t y = 0; y < height; ++y) {
        const std::size_t row = std::size_t(y) * std::size_t(width) * stride;
        for (int c = 0; c < channels; ++c) {
            const float* in = from + row + std::size_t(c);
            float* out = to + row + std::size_t(c);
            for (std::int32_t i = 0; i < width; ++i)
                prefix[std::size_t(i) + 1] = prefix[std::size_t(i)] + in[std::size_t(i) * stride];
            for (std::int32_t i = 0; i < width; ++i) {
                const std::int32_t lo = std::max(i - radius, 0);
                const std::int32_t hi = std::min(i + radius, width - 1);
                out[std::size_t(i) * stride] = float(
                    (prefix[std::size_t(hi) + 1] - prefix[std::size_t(lo)]) / double(hi - lo + 1));
            }
        }
    }
}

// One box pass down every column, a row at a time: a running sum of the rows in the box keeps
// the walk in memory order.
void BoxPassDown(const float* from, float* to, std::int32_t width, std::int32_t height,
                 int channels, int radius) {
    const std::size_t rowValues = std::size_t(width) * std::size_t(channels);
    std::vector<double> sum(rowValues, 0.0);
    const auto add = [&](std::int32_t y, double sign) {
        const float* row = from + std::size_t(y) * rowValues;
        for (std::size_t i = 0; i < rowValues; ++i)
            sum[i] += sign * row[i];
    };
    for (std::int32_t y = 0; y <= std::min(radius, height - 1); ++y)
        add(y, 1.0);
    for (std::int32_t y = 0; y < height; ++y) {
        const std::int32_t lo = std::max(y - radius, 0);
        const std::int32_t hi = std::min(y + radius, height - 1);
        const double scale = 1.0 / double(hi - lo + 1);
        float* out = to + std::size_t(y) * rowValues;
        for (std::size_t i = 0; i < rowValues; ++i)
            out[i] = float(sum[i] * scale);
        if (y + radius + 1 < height) add(y + radius + 1, 1.0);
        if (y - radius >= 0) add(y - radius, -1.0);
    }
}

template <typename Visit>
void ForWindow(const FlatField& flat, std::int32_t cx, std::int32_t cy, int radius, Visit visit) {
    for (std::int32_t y = std::max(cy - radius, 0); y <= std::min(cy + radius, flat.height - 1);
         ++y) {
        for (std::int32_t x = std::max(cx - radius, 0); x <= std::min(cx + radius, flat.width - 1);
             ++x)
            visit(x, y);
    }
}

std::array<double, 3> WindowMean(const FlatField& flat, std::int32_t cx, std::int32_t cy,
                                 int radius) {
    std::array<double, 3> sum{};
    std::int64_t count = 0;
    ForWindow(flat, cx, cy, radius, [&](std::int32_t x, std::int32_t y) {
        for (int c = 0; c < flat.channels; ++c)
            sum[std::size_t(c)] += flat.at(x, y, c);
        ++count;
    });
    for (double& s : sum)
        s /= double(std::max<std::int64_t>(count, 1));
    if (flat.channels == 1) sum[1] = sum[2] = sum[0];
    return sum;
}

}  // namespace

ReferenceStats AddReference(FlatField& sum, const std::uint8_t* samples, std::size_t rowSamples,
                            int samplesPerPixel, const ToneTables* const* tables) {
    return AddSamples(sum, samples, rowSamples, samplesPerPixel, tables);
}

ReferenceStats AddReference(FlatField& sum, const std::uint16_t* samples, std::size_t rowSamples,
                            int samplesPerPixel, const ToneTables* const* tables) {
    return AddSamples(sum, samples, rowSamples, samplesPerPixel, tables);
}

ReferenceSpread CompareReferences(const std::vector<ReferenceStats>& stats, int channels,
                                  std::int32_t width, std::int32_t height) {
    ReferenceSpread spread;
    if (stats.size() < 2) return spread;
    const std::size_t values = stats.front().cellMeans.size();
    std::vector<double> mean(values, 0.0);
    std::vector<double> level(stats.size(), 0.0);
    for (std::size_t r = 0; r < stats.size(); ++r) {
        for (std::size_t i = 0; i < values; ++i) {
            level[r] += stats[r].cellMeans[i];
        }
    }
    for (std::size_t r = 0; r < stats.size(); ++r) {
        for (std::size_t i = 0; i < values; ++i)
            mean[i] += stats[r].cellMeans[i] / level[r] / double(stats.size());
    }
    double noise = 0;
    for (const ReferenceStats& s : stats)
        noise = std::max(noise, s.relativeNoise);
    const double cellPlaces =
        double(width) * double(height) / double(kStatsGrid * kStatsGrid) * double(channels) / 3;
    spread.noiseExplains = 6 * noise / std::sqrt(std::max(cellPlaces, 1.0));
    for (std::size_t r = 0; r < stats.size(); ++r) {
        for (std::size_t i = 0; i < values; ++i) {
            if (!(mean[i] > 0)) continue;
            const double departs = std::abs(stats[r].cellMeans[i] / level[r] / mean[i] - 1);
            if (departs > spread.largest) {
                spread.largest = departs;
                spread.reference = int(r);
            }
        }
    }
    return spread;
}

void SmoothFlatField(FlatField& flat, int radius) {
    if (radius <= 0 || flat.values.empty()) return;
    std::vector<float> other(flat.values.size());
    for (int pass = 0; pass < 2; ++pass) {
        BoxPassAcross(flat.values.data(), other.data(), flat.width, flat.height, flat.channels,
                      radius);
        BoxPassDown(other.data(), flat.values.data(), flat.width, flat.height, flat.channels,
                    radius);
    }
}

std::array<double, 3> CentreLevels(const FlatField& flat, int radius) {
    return WindowMean(flat, flat.width / 2, flat.height / 2, radius);
}

std::array<double, 3> MeanLevels(const FlatField& flat) {
    std::array<double, 3> sums{};
    const std::size_t channels = std::size_t(flat.channels);
    for (std::size_t i = 0; i < flat.values.size(); ++i)
        sums[i % channels] += flat.values[i];
    std::array<double, 3> means{};
    for (std::size_t c = 0; c < 3; ++c)
        means[c] = sums[c < channels ? c : 0] / double(std::max<std::size_t>(flat.places(), 1));
    return means;
}

std::array<std::array<double, 3>, 4> CornerLevels(const FlatField& flat, int radius) {
    const std::int32_t right = flat.width - 1;
    const std::int32_t bottom = flat.height - 1;
    return {WindowMean(flat, 0, 0, radius), WindowMean(flat, right, 0, radius),
            WindowMean(flat, 0, bottom, radius), WindowMean(flat, right, bottom, radius)};
}

std::array<double, 3> LargestGains(const FlatField& flat, const std::array<double, 3>& centre) {
    std::array<float, 3> darkest{HUGE_VALF, HUGE_VALF, HUGE_VALF};
    const std::size_t channels = std::size_t(flat.channels);
    for (std::size_t c = 0; c < channels; ++c) {
        for (std::size_t i = c; i < flat.values.size(); i += channels)
            darkest[c] = std::min(darkest[c], flat.values[i]);
    }
    std::array<double, 3> gains{};
    for (std::size_t c = 0; c < 3; ++c) {
        const std::size_t fc = channels == 1 ? 0 : c;
        gains[c] = darkest[fc] > 0 ? centre[fc] / darkest[fc] : HUGE_VAL;
    }
    return gains;
}

}  // namespace velmora
