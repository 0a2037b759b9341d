#pragma once

#include <QString>

#include "correction/lens_profile.h"

namespace velmora {

// The size of the picture PlotLensProfile draws, in pixels.
inline constexpr int kProfilePlotWidth = 1600;
inline constexpr int kProfilePlotHeight = 700;

// Draws `profile` as a PNG of kProfilePlotWidth x kProfilePlotHeight pixels at `path`: `title`
// on top; on the left the luminance falloff (Rec. 709 weights of the linear channels) in EV
// against the centre level as a false-colour map of the frame's shape, with labelled contours
// every 0.25 EV (every 0.5 EV when the map spans more than 2 EV) and a colour bar; on the right
// the falloff of each channel against the distance from the centre (0) to the corners (1), the
// corners and the middles of the edges marked, and the corners' falloff and colour cast of
// SummariseProfile in a box.
//
// Text needs a QGuiApplication (the "offscreen" platform will do) to exist. Written atomically;
// raises ErrorKind::File naming the file when it cannot be, and ErrorKind::Picture when the
// profile holds no flat.
void PlotLensProfile(const LensProfile& profile, const QString& title, const QString& path);

}  // namespace velmora
