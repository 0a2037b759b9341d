#include "correction/profile_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "correction/cfa_planes.h"
#include "correction/error.h"

namespace velmora {
namespace {

void CheckHoldsFlat(const FlatField& flat) {
    const bool holds = flat.width > 0 && flat.height > 0 &&
                       (flat.channels == 1 || flat.channels == 3) &&
                       flat.values.size() == flat.places() * std::size_t(flat.channels);
    if (!holds) throw Error(ErrorKind::Picture, "the lens profile holds no flat field.");
}

// The window the tune summary measures the centre and the corners over.
int CornerWindow(const FlatField& flat) {
    return std::max(2, std::min(flat.width, flat.height) / 100);
}

double Ev(double level, double centre) {
    return std::log2(level / centre);
}

// An empty ring between two measured ones takes the straight line between them; one beyond the
// first or last measured ring takes that ring's value. At least one ring is measured.
void FillEmptyRings(std::vector<std::array<double, 3>>& falloff,
                    const std::vector<std::int64_t>& counts) {
    const int bins = int(falloff.size());
    int previous = -1;
    for (int b = 0; b < bins; ++b) {
        if (counts[std::size_t(b)] == 0) continue;
        for (int e = previous + 1; e < b; ++e) {
            const std::size_t to = std::size_t(e);
            if (previous < 0) {
                falloff[to] = falloff[std::size_t(b)];
                continue;
            }
            const double t = double(e - previous) / double(b - previous);
            for (std::size_t c = 0; c < 3; ++c) {
                const double from = falloff[std::size_t(previous)][c];
                falloff[to][c] = from + t * (falloff[std::size_t(b)][c] - from);
            }
        }
        previous = b;
    }
    for (int e = previous + 1; e < bins; ++e)
        falloff[std::size_t(e)] = falloff[std::size_t(previous)];
}

}  // namespace

namespace {

// A raw mosaic's corners per colour: the mean of its positions' planes of that colour.
ProfileSummary SummariseMosaic(const LensProfile& profile) {
    const RawProfileInfo& raw = *profile.raw;
    const FlatField& flat = profile.flat;
    const int side =
        std::min(PlaneWidth(raw.cfa, 0, flat.width), PlaneHeight(raw.cfa, 0, flat.height));
    const auto corners = PlaneCorners(flat, raw.cfa, std::max(2, side / 100));
    std::array<double, 3> light{}, level{};
    for (int p = 0; p < Positions(raw.cfa); ++p) {
        const std::size_t c = raw.cfa.colour[std::size_t(p)];
        for (const double corner : corners[std::size_t(p)])
            light[c] += corner / 4;
        level[c] += raw.level[std::size_t(p)];
    }
    ProfileSummary summary;
    summary.channels = 3;
    for (std::size_t c = 0; c < 3; ++c)
        summary.cornerEv[c] = Ev(light[c], level[c]);
    for (std::size_t c = 0; c < 3; ++c)
        summary.castEv[c] = summary.cornerEv[c] - summary.cornerEv[1];
    return summary;
}

}  // namespace

ProfileSummary SummariseProfile(const LensProfile& profile) {
    const FlatField& flat = profile.flat;
    CheckHoldsFlat(flat);
    if (profile.raw && !profile.raw->cfa.empty()) return SummariseMosaic(profile);
    const auto corners = CornerLevels(flat, CornerWindow(flat));
    ProfileSummary summary;
    summary.channels = flat.channels;
    for (std::size_t c = 0; c < 3; ++c) {
        const std::size_t fc = flat.channels == 1 ? 0 : c;
        const double mean = (corners[0][fc] + corners[1][fc] + corners[2][fc] + corners[3][fc]) / 4;
        summary.cornerEv[c] = Ev(mean, profile.centre[fc]);
    }
    if (flat.channels == 3) {
        for (std::size_t c = 0; c < 3; ++c)
            summary.castEv[c] = summary.cornerEv[c] - summary.cornerEv[1];
    }
    return summary;
}

std::vector<std::array<double, 3>> RadialFalloff(const LensProfile& profile, int bins) {
    const FlatField& flat = profile.flat;
    CheckHoldsFlat(flat);
    if (bins < 2) {
        throw Error(ErrorKind::SubscriptOutOfRange,
                    "a radial falloff needs at least 2 radii, not " + std::to_string(bins) + ".");
    }
    const std::size_t channels = std::size_t(flat.channels);
    const std::size_t width = std::size_t(flat.width);
    // In places: radius i lies i * spacing from the centre, and a place within halfWidth of it
    // belongs to its ring.
    const double spacing = std::hypot(double(flat.width), double(flat.height)) / 2 / (bins - 1);
    const double halfWidth = std::min(double(CornerWindow(flat)), spacing / 2);

    std::vector<double> across(width);
    for (std::size_t x = 0; x < width; ++x) {
        const double dx = double(x) + 0.5 - double(flat.width) / 2;
        across[x] = dx * dx;
    }
    std::vector<double> sums(std::size_t(bins) * channels, 0.0);
    std::vector<std::int64_t> counts(std::size_t(bins), 0);
    for (std::int32_t y = 0; y < flat.height; ++y) {
        const double dy = double(y) + 0.5 - double(flat.height) / 2;
        const float* row = flat.values.data() + std::size_t(y) * width * channels;
        for (std::size_t x = 0; x < width; ++x) {
            const double at = std::sqrt(across[x] + dy * dy) / spacing;
            const double nearest = std::floor(at + 0.5);
            if (std::abs(at - nearest) * spacing > halfWidth) continue;
            const std::size_t b = std::size_t(nearest);
            for (std::size_t c = 0; c < channels; ++c)
                sums[b * channels + c] += row[x * channels + c];
            ++counts[b];
        }
    }

    std::vector<std::array<double, 3>> falloff(static_cast<std::size_t>(bins));
    for (std::size_t b = 0; b < falloff.size(); ++b) {
        if (counts[b] == 0) continue;
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t fc = channels == 1 ? 0 : c;
            falloff[b][c] = Ev(sums[b * channels + fc] / double(counts[b]), profile.centre[fc]);
        }
    }
    FillEmptyRings(falloff, counts);
    return falloff;
}

}  // namespace velmora
