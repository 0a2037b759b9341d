#pragma once

#include <QString>
#include <cstdint>

#include "correction/flat_field.h"

namespace velmora {

// How a flat measured at one size serves a picture of another.
enum class FlatFit {
    SameAspect,  // the picture is the whole frame, scaled (a smaller JPEG size, binning)
    CropCentre,  // the picture is a centred crop of the frame (a 16:9 mode of a 3:2 sensor)
};

// Whether a picture of width x height shows the flat's whole frame at another scale: its
// aspect ratio matches within a pixel of rounding.
bool SameAspect(const FlatField& flat, std::int32_t width, std::int32_t height);

// The flat resampled smoothly (linear interpolation, averaging when it shrinks) to
// width x height. CropCentre scales it to cover the picture and keeps the middle. A flat of the
// picture's size is returned as it is.
FlatField ResampleFlat(const FlatField& flat, std::int32_t width, std::int32_t height, FlatFit fit);

}  // namespace velmora
