#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "correction/flat_field.h"
#include "correction/image_view.h"

namespace velmora {

// How a flat measured at one size serves a picture of another.
enum class FlatFit {
    SameAspect,  // the picture is the whole frame, scaled (a smaller JPEG size, binning)
    CropCentre,  // the picture is a centred crop of the frame (a 16:9 mode of a 3:2 sensor)
};

// Whether a picture of width x height shows the flat's whole frame at another scale: its
// aspect ratio matches within a pixel of rounding.
bool SameAspect(const FlatField& flat, std::int32_t width, std::int32_t height);
bool SameAspect(std::int64_t flatWidth, std::int64_t flatHeight, std::int64_t width,
                std::int64_t height);

// The flat resampled smoothly (linear interpolation, averaging when it shrinks) to
// width x height. CropCentre scales it to cover the picture and keeps the middle. A flat of the
// picture's size is returned as it is.
FlatField ResampleFlat(const FlatField& flat, std::int32_t width, std::int32_t height, FlatFit fit);

// The same floats as ResampleFlat of the flat whose file values are `fileValues` (see
// FileValueLight), a band of rows at a time, as they are asked for: the flat at the picture's
// size is never held whole. The file values must outlive it.
class LazyResample {
  public:
    LazyResample(ImageView<const std::uint16_t> fileValues, std::int32_t width, std::int32_t height,
                 FlatFit fit);
    ~LazyResample();

    // Rows of the resampled flat for one thread at a time.
    class Rows {
      public:
        virtual ~Rows() = default;
        // Row y, width x channels floats, valid until the next call.
        virtual const float* Row(std::int64_t y) = 0;
    };
    std::unique_ptr<Rows> NewRows() const;

    struct Pipeline;  // the picture library's resize, unevaluated

  private:
    std::shared_ptr<const Pipeline> pipeline_;
};

}  // namespace velmora
