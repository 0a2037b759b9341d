#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora {

// Where each sample of a raw picture lies in its colour filter array: a `width` x `height`
// pattern (2 x 2 for Bayer, 6 x 6 for X-Trans) of colours (0 red, 1 green, 2 blue), repeated
// from the picture's top-left corner. Pictures of whole pixels have none (width 0).
struct CfaPattern {
    int width = 0;
    int height = 0;
    std::array<std::uint8_t, 36> colour{};

    bool empty() const { return width == 0; }
};

// What the samples' values stand for: the value of no light per position of the pattern (one
// for pictures of whole pixels) and of full scale. Zero black and white for samples whose
// range is their type's (8 and 16 bits from 0, floats from 0 to 1).
struct SampleLevels {
    std::array<double, 36> black{};
    double white = 0;
};

// A picture's samples in memory, typed: `width` x `height` pixels of `samplesPerPixel`
// interleaved samples, the first `colourChannels` of them colour and the rest alpha, rows
// `stride` samples apart. It owns nothing; readers, kernels and writers pass it instead of a
// pointer, a count and a cast.
template <typename T>
class ImageView {
  public:
    ImageView() = default;
    ImageView(T* samples, std::int64_t width, std::int64_t height, int samplesPerPixel,
              int colourChannels, std::ptrdiff_t stride)
        : samples_(samples),
          width_(width),
          height_(height),
          samplesPerPixel_(samplesPerPixel),
          colourChannels_(colourChannels),
          stride_(stride) {}
    // Rows one after another without gaps.
    static ImageView Packed(T* samples, std::int64_t width, std::int64_t height,
                            int samplesPerPixel, int colourChannels) {
        return ImageView(samples, width, height, samplesPerPixel, colourChannels,
                         std::ptrdiff_t(width) * samplesPerPixel);
    }

    T* row(std::int64_t y) const { return samples_ + std::ptrdiff_t(y) * stride_; }
    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }
    int samplesPerPixel() const { return samplesPerPixel_; }
    int colourChannels() const { return colourChannels_; }
    std::ptrdiff_t stride() const { return stride_; }
    std::size_t rowSamples() const { return std::size_t(width_) * std::size_t(samplesPerPixel_); }
    bool empty() const { return width_ == 0 || height_ == 0; }

    // `count` rows from row `top` on.
    ImageView rows(std::int64_t top, std::int64_t count) const {
        ImageView part = *this;
        part.samples_ = row(top);
        part.height_ = count;
        return part;
    }

    operator ImageView<const T>() const {
        ImageView<const T> view(samples_, width_, height_, samplesPerPixel_, colourChannels_,
                                stride_);
        view.cfa = cfa;
        view.levels = levels;
        return view;
    }

    CfaPattern cfa;
    SampleLevels levels;

  private:
    T* samples_ = nullptr;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    int samplesPerPixel_ = 0;
    int colourChannels_ = 0;
    std::ptrdiff_t stride_ = 0;
};

}  // namespace velmora
