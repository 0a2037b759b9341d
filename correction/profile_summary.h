#pragma once

#include <array>
#include <vector>

#include "correction/lens_profile.h"

namespace velmora {

// How a lens profile darkens its frame, in EV (log2 of light relative to the centre level;
// negative is darker).
struct ProfileSummary {
    int channels = 0;                  // 1 or 3
    std::array<double, 3> cornerEv{};  // per channel: the four corners' mean light against the
                                       // centre level
    std::array<double, 3> castEv{};    // per channel: cornerEv minus green's (grey: zeros) — the
                                       // corners' colour cast
};

// cornerEv[c] = log2(mean of the four CornerLevels / profile.centre[c]), each corner the mean
// over max(2, min(width, height) / 100) places around it, as the tune summary measures them. A
// grey profile repeats its one channel in all three; a raw mosaic gives each colour the mean of
// its positions' planes (see PlaneCorners) against their levels. A channel without light at its
// corners reads -infinity. Raises ErrorKind::Picture when the profile holds no flat.
ProfileSummary SummariseProfile(const LensProfile& profile);

// The light against the centre level in EV per channel at `bins` radii from the centre (0) to
// the corners (1, the half-diagonal), each the mean over a thin ring.
//
// Radius i is i / (bins - 1). Its ring holds the places (at their centres) within
// min(max(2, min(width, height) / 100), half the spacing of the radii) places of it: as wide as
// a corner window of SummariseProfile at most. A ring that holds no place (more radii than a
// small flat has distances) takes the value interpolated from its neighbours. One pass over the
// flat. A grey profile repeats its one channel in all three. Raises ErrorKind::Picture when the
// profile holds no flat and ErrorKind::SubscriptOutOfRange when `bins` is below 2.
std::vector<std::array<double, 3>> RadialFalloff(const LensProfile& profile, int bins);

}  // namespace velmora
