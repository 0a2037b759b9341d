#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "correction/flat_field.h"
#include "correction/image_view.h"

namespace velmora {

// The positions of a colour filter array's pattern, row by row: 4 for Bayer, 36 for X-Trans.
inline int Positions(const CfaPattern& cfa) {
    return cfa.width * cfa.height;
}

// The position of the pattern that the sample at (x, y) of the picture lies under.
inline int PositionAt(const CfaPattern& cfa, std::int64_t x, std::int64_t y) {
    return int(y % cfa.height) * cfa.width + int(x % cfa.width);
}

// The pattern's colours as letters, row by row: "RGGB" for the common Bayer layout, 36 letters
// for X-Trans.
std::string CfaLetters(const CfaPattern& cfa);
// The pattern that letters of 4 or 36 R, G and B name; empty for other text.
CfaPattern CfaFromLetters(const std::string& letters);
// How a user reads the layout: "Bayer RGGB", "X-Trans GGRGGB...".
std::string CfaDescription(const CfaPattern& cfa);

// The pattern as it falls on a picture whose top-left sample is (dx, dy) of this one's frame.
CfaPattern ShiftedCfa(const CfaPattern& cfa, int dx, int dy);

// The places of one position of the pattern taken out of a one-channel mosaic of the frame (a
// flat of every sample of a raw picture): a plane of only one colour, which smoothing and
// resampling can treat as a picture of its own without ever mixing colours.
FlatField PlaneOf(const FlatField& mosaic, const CfaPattern& cfa, int position);
// The reverse: the plane's places put back where they came from.
void PutPlane(FlatField& mosaic, const CfaPattern& cfa, int position, const FlatField& plane);

// The flat of a one-channel mosaic with pattern `cfa` at the size and pattern of a picture of
// width x height whose pattern `to` is `cfa` seen from (dx, dy) (see ShiftedCfa): the whole
// frame scaled, or with `cropCentre` scaled to cover the picture and its middle kept. Each
// sample takes the plane of its own colour and position, interpolated linearly at the place
// where the sample's centre falls in that plane (a plane's samples lie a few pixels apart in the
// frame, so each plane's own offset counts), so that no colour is mixed into another and no
// plane is shifted against the others. The flat is smooth already (see SmoothPlanes): a low-pass
// before a reduction would only bias its edges, where a box sees one side.
FlatField MosaicAtSize(const FlatField& mosaic, const CfaPattern& cfa, const CfaPattern& to, int dx,
                       int dy, std::int32_t width, std::int32_t height, bool cropCentre);

// The number of places of `position`'s plane across and down a width x height mosaic.
std::int32_t PlaneWidth(const CfaPattern& cfa, int position, std::int32_t width);
std::int32_t PlaneHeight(const CfaPattern& cfa, int position, std::int32_t height);

// Each plane of the mosaic smoothed on its own (see SmoothFlatField, radius in the plane's
// places), so that only neighbours of the same colour and position are averaged.
void SmoothPlanes(FlatField& mosaic, const CfaPattern& cfa, int radius);

// What a plane is normalised to: its mean over a window of `radius` of its places around the
// centre of the frame, or its mean over the whole frame.
enum class PlaneLevel { Centre, Mean };
std::vector<double> PlaneLevels(const FlatField& mosaic, const CfaPattern& cfa, PlaneLevel level,
                                int radius);

// Each plane's mean over the same window at each corner, {top-left, top-right, bottom-left,
// bottom-right}, per position.
std::vector<std::array<double, 4>> PlaneCorners(const FlatField& mosaic, const CfaPattern& cfa,
                                                int radius);

}  // namespace velmora
