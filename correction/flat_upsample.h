#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "correction/sum_lookup.h"

namespace velmora {

// A flat enlarged as libvips 8.14's vips_resize(kernel linear) enlarges it (both scales above 1),
// then the window width x height at (left, top) of the enlarged image; made a row at a time.
// The floats are libvips's own, bit for bit, as it makes them in rows of the window's full
// width: its bilinear interpolation in double, at the positions its affine transform reaches by
// adding the inverse scale once per pixel from the window's left edge.
class FlatUpsample {
  public:
    // Raises Error (SubscriptOutOfRange) unless both scales are above 1 and the window lies in
    // the enlarged image.
    FlatUpsample(std::int32_t sourceWidth, std::int32_t sourceHeight, int channels, double hscale,
                 double vscale, std::int32_t left, std::int32_t top, std::int32_t width,
                 std::int32_t height);

    // The size of the whole enlarged image (what vips_resize's output would be), so that a
    // caller can centre its window as ResampleFlat does.
    static std::pair<std::int32_t, std::int32_t> EnlargedSize(std::int32_t sourceWidth,
                                                              std::int32_t sourceHeight,
                                                              double hscale, double vscale);

    // The two source rows (clamped to the flat) that output row y of the window blends.
    std::pair<std::int32_t, std::int32_t> SourceRows(std::int32_t y) const;

    // Output row y of the window (width x channels floats) from those two source rows (each
    // sourceWidth x channels floats).
    void Row(std::int32_t y, const float* upper, const float* lower, float* out) const;

    std::int32_t sourceWidth() const { return sourceWidth_; }
    std::int32_t sourceHeight() const { return sourceHeight_; }
    double hscale() const { return hscale_; }
    double vscale() const { return vscale_; }
    std::int32_t left() const { return left_; }
    std::int32_t top() const { return top_; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    int channels() const { return channels_; }
    Kernel kernel() const { return kernel_; }  // the active kernel when it was made

  private:
    std::int32_t sourceWidth_;
    std::int32_t sourceHeight_;
    int channels_;
    double hscale_;
    double vscale_;
    std::int32_t left_;
    std::int32_t top_;
    std::int32_t width_;
    std::int32_t height_;
    Kernel kernel_;
    // Per window column: the first sample of its left and right source pixels, and the
    // fraction of the way from the left one to the right one.
    std::vector<std::int32_t> leftSample_;
    std::vector<std::int32_t> rightSample_;
    std::vector<double> across_;
    // Per window row: its upper and lower source rows and the fraction between them.
    std::vector<std::int32_t> upperRow_;
    std::vector<std::int32_t> lowerRow_;
    std::vector<double> down_;
    // The columns the vector kernel makes; the plain loop makes the rest, where the kernel would
    // read past the end of a source row or write past the end of the output.
    std::int32_t vectorEnd_ = 0;
};

// The scales a flat of sourceWidth x sourceHeight is resized by across and down for a picture of
// width x height (cropCentre: both the larger, to cover it): a little over the picture's, so
// that rounding never leaves the result a pixel short; the middle is then cut out.
struct ResampleScales {
    double across = 1;
    double down = 1;
};
ResampleScales ResampleScalesFor(std::int64_t sourceWidth, std::int64_t sourceHeight,
                                 std::int64_t width, std::int64_t height, bool cropCentre);

// Whether ResampleFlat takes the enlarging path (FlatUpsample's) for a flat of
// sourceWidth x sourceHeight and a picture of width x height: both of its scales are above 1
// and the sizes differ. cropCentre is FlatFit::CropCentre.
bool FlatEnlarges(std::int32_t sourceWidth, std::int32_t sourceHeight, std::int32_t width,
                  std::int32_t height, bool cropCentre);

// The enlargement ResampleFlat makes for a picture of width x height: each scale a little over
// the picture's (CropCentre: both the larger one), the window centred in the enlarged image.
// Only where FlatEnlarges holds.
FlatUpsample UpsampleFor(std::int32_t sourceWidth, std::int32_t sourceHeight, int channels,
                         std::int32_t width, std::int32_t height, bool cropCentre);

}  // namespace velmora
