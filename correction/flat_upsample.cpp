#include "correction/flat_upsample.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "correction/error.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_X86_KERNELS 1
#endif

// This file is compiled with -ffp-contract=off (correction/CMakeLists.txt): a multiply and an
// add fused into one rounding would change the bits libvips makes with two.

namespace velmora {
namespace {

// libvips's inverse of the scale matrix diag(hscale, vscale): 1 / (hscale x vscale) times the
// other scale, which can differ from 1 / hscale in the last bit.
struct Inverse {
    double across;
    double down;

    Inverse(double hscale, double vscale) {
        const double reciprocal = 1.0 / (hscale * vscale);
        across = reciprocal * vscale;
        down = reciprocal * hscale;
    }
};

// One output pixel of libvips's bilinear interpolation on floats: its weights and sum in
// double, written in its order, stored as float. p1 and p2 are the upper row's left and right
// pixels, p3 and p4 the lower row's; x and y the fractions across and down.
inline void Blend(double x, double y, const float* p1, const float* p2, const float* p3,
                  const float* p4, int channels, float* out) {
    const double yd = 1.0 - y;
    const double c4 = y * x;
    const double c2 = yd * x;
    const double c3 = y - c4;
    const double c1 = yd - c2;
    for (int c = 0; c < channels; ++c)
        out[c] = float(c1 * p1[c] + c2 * p2[c] + c3 * p3[c] + c4 * p4[c]);
}

#ifdef VELMORA_X86_KERNELS
// Three channels: a pixel per vector of four doubles, the fourth lane the next pixel's first
// sample, which is computed and then overwritten by the next store. Columns [0, end). On the
// EPYC (Zen 5) this was measured on it takes 1.5 ns a pixel; converting each source pixel to
// double once per block of columns, rather than at every column that reads it, bought nothing.
__attribute__((target("avx2"))) void RowAvx2Rgb(const std::int32_t* leftSample,
                                                const std::int32_t* rightSample,
                                                const double* across, double y, const float* upper,
                                                const float* lower, float* out, std::int32_t end) {
    const __m256d down = _mm256_set1_pd(y);
    const __m256d downRest = _mm256_set1_pd(1.0 - y);
    for (std::int32_t i = 0; i < end; ++i) {
        const std::int32_t l = leftSample[i];
        const std::int32_t r = rightSample[i];
        const __m256d x = _mm256_broadcast_sd(across + i);
        const __m256d c4 = _mm256_mul_pd(down, x);
        const __m256d c2 = _mm256_mul_pd(downRest, x);
        const __m256d c3 = _mm256_sub_pd(down, c4);
        const __m256d c1 = _mm256_sub_pd(downRest, c2);
        const __m256d p1 = _mm256_cvtps_pd(_mm_loadu_ps(upper + l));
        const __m256d p2 = _mm256_cvtps_pd(_mm_loadu_ps(upper + r));
        const __m256d p3 = _mm256_cvtps_pd(_mm_loadu_ps(lower + l));
        const __m256d p4 = _mm256_cvtps_pd(_mm_loadu_ps(lower + r));
        __m256d sum = _mm256_add_pd(_mm256_mul_pd(c1, p1), _mm256_mul_pd(c2, p2));
        sum = _mm256_add_pd(sum, _mm256_mul_pd(c3, p3));
        sum = _mm256_add_pd(sum, _mm256_mul_pd(c4, p4));
        _mm_storeu_ps(out + 3 * std::size_t(i), _mm256_cvtpd_ps(sum));
    }
}

// One channel: four pixels per vector. An enlargement moves at most one source pixel a
// column, so the four pixels' samples lie within four of the first one's, and a permute
// within 128 bits picks them from one load. Returns the columns done.
__attribute__((target("avx2"))) std::int32_t RowAvx2Grey(const std::int32_t* leftSample,
                                                         const std::int32_t* rightSample,
                                                         const double* across, double y,
                                                         const float* upper, const float* lower,
                                                         float* out, std::int32_t end) {
    const __m256d down = _mm256_set1_pd(y);
    const __m256d downRest = _mm256_set1_pd(1.0 - y);
    std::int32_t i = 0;
    for (; i + 4 <= end; i += 4) {
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(leftSample + i));
        const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rightSample + i));
        const std::int32_t l = _mm_cvtsi128_si32(left);
        const std::int32_t r = _mm_cvtsi128_si32(right);
        const __m128i pickLeft = _mm_sub_epi32(left, _mm_shuffle_epi32(left, 0));
        const __m128i pickRight = _mm_sub_epi32(right, _mm_shuffle_epi32(right, 0));
        const __m256d x = _mm256_loadu_pd(across + i);
        const __m256d c4 = _mm256_mul_pd(down, x);
        const __m256d c2 = _mm256_mul_pd(downRest, x);
        const __m256d c3 = _mm256_sub_pd(down, c4);
        const __m256d c1 = _mm256_sub_pd(downRest, c2);
        const __m256d p1 = _mm256_cvtps_pd(_mm_permutevar_ps(_mm_loadu_ps(upper + l), pickLeft));
        const __m256d p2 = _mm256_cvtps_pd(_mm_permutevar_ps(_mm_loadu_ps(upper + r), pickRight));
        const __m256d p3 = _mm256_cvtps_pd(_mm_permutevar_ps(_mm_loadu_ps(lower + l), pickLeft));
        const __m256d p4 = _mm256_cvtps_pd(_mm_permutevar_ps(_mm_loadu_ps(lower + r), pickRight));
        __m256d sum = _mm256_add_pd(_mm256_mul_pd(c1, p1), _mm256_mul_pd(c2, p2));
        sum = _mm256_add_pd(sum, _mm256_mul_pd(c3, p3));
        sum = _mm256_add_pd(sum, _mm256_mul_pd(c4, p4));
        _mm_storeu_ps(out + i, _mm256_cvtpd_ps(sum));
    }
    return i;
}
#endif

[[noreturn]] void Refuse(const std::string& cause) {
    throw Error(ErrorKind::SubscriptOutOfRange, "cannot enlarge the lens profile: " + cause + ".");
}

}  // namespace

std::pair<std::int32_t, std::int32_t> FlatUpsample::EnlargedSize(std::int32_t sourceWidth,
                                                                 std::int32_t sourceHeight,
                                                                 double hscale, double vscale) {
    // libvips maps the input's corners forward and rounds the extent half up.
    const double across = hscale * sourceWidth;
    const double down = vscale * sourceHeight;
    if (!(across < 2147483647.0 && down < 2147483647.0))
        throw Error(ErrorKind::Overflow, "the enlarged lens profile is too large.");
    return {std::int32_t(across + 0.5), std::int32_t(down + 0.5)};
}

FlatUpsample::FlatUpsample(std::int32_t sourceWidth, std::int32_t sourceHeight, int channels,
                           double hscale, double vscale, std::int32_t left, std::int32_t top,
                           std::int32_t width, std::int32_t height)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      channels_(channels),
      hscale_(hscale),
      vscale_(vscale),
      left_(left),
      top_(top),
      width_(width),
      height_(height),
      kernel_(ActiveKernel()) {
    if (sourceWidth < 1 || sourceHeight < 1 || channels < 1) Refuse("the flat is empty");
    if (!(hscale > 1 && vscale > 1)) Refuse("a scale is not above 1");
    const auto [enlargedWidth, enlargedHeight] =
        EnlargedSize(sourceWidth, sourceHeight, hscale, vscale);
    if (left < 0 || top < 0 || width < 0 || height < 0 ||
        std::int64_t(left) + width > enlargedWidth || std::int64_t(top) + height > enlargedHeight)
        Refuse("the window is not within the enlarged flat");

    // libvips reads the flat embedded in a border of one repeated edge pixel, so that its
    // position p is the flat's p - 1, clamped. Its clip paints the background only where the
    // position's whole part is below 0 or above the flat's size; within the enlarged image
    // the positions run from 0.5 to under the size + 0.5, so the clip never paints here.
    const Inverse inverse(hscale, vscale);
    const auto sample = [&](std::int32_t position) {
        return std::clamp(position - 1, 0, sourceWidth - 1) * channels;
    };
    leftSample_.resize(std::size_t(width));
    rightSample_.resize(std::size_t(width));
    across_.resize(std::size_t(width));
    // From the window's left edge by repeated addition, as libvips goes along a row; the
    // half pixel is its input offset less the border.
    double x = inverse.across * left + 0.5;
    for (std::size_t i = 0; i < std::size_t(width); ++i) {
        const std::int32_t whole = std::int32_t(x);
        leftSample_[i] = sample(whole);
        rightSample_[i] = sample(whole + 1);
        across_[i] = x - whole;
        x += inverse.across;
    }
    // Each row's position libvips computes afresh from its number.
    upperRow_.resize(std::size_t(height));
    lowerRow_.resize(std::size_t(height));
    down_.resize(std::size_t(height));
    for (std::size_t j = 0; j < std::size_t(height); ++j) {
        const double y = inverse.down * (top + double(j)) + 0.5;
        const std::int32_t whole = std::int32_t(y);
        upperRow_[j] = std::clamp(whole - 1, 0, sourceHeight - 1);
        lowerRow_[j] = std::clamp(whole, 0, sourceHeight - 1);
        down_[j] = y - whole;
    }

    // Both kernels load four samples from a column's right pixel on; the three-channel one
    // stores four floats a column. The one-channel one counts on moving one source pixel a
    // column at most, which the rounding of a scale a hair above 1 could undo.
    const std::int64_t rowSamples = std::int64_t(sourceWidth) * channels;
    vectorEnd_ = 0;
    while (vectorEnd_ < width && rightSample_[std::size_t(vectorEnd_)] + 4 <= rowSamples)
        ++vectorEnd_;
    if (channels == 3) vectorEnd_ = std::min(vectorEnd_, std::max(width - 1, 0));
    for (std::size_t i = 1; i < std::size_t(width) && channels == 1; ++i) {
        if (leftSample_[i] - leftSample_[i - 1] > 1 || rightSample_[i] - rightSample_[i - 1] > 1)
            vectorEnd_ = 0;
    }
}

std::pair<std::int32_t, std::int32_t> FlatUpsample::SourceRows(std::int32_t y) const {
    return {upperRow_[std::size_t(y)], lowerRow_[std::size_t(y)]};
}

void FlatUpsample::Row(std::int32_t y, const float* upper, const float* lower, float* out) const {
    const double down = down_[std::size_t(y)];
    std::int32_t done = 0;
#ifdef VELMORA_X86_KERNELS
    if (kernel_ >= Kernel::Avx2 && channels_ == 3) {
        done = vectorEnd_;
        RowAvx2Rgb(leftSample_.data(), rightSample_.data(), across_.data(), down, upper, lower, out,
                   done);
    } else if (kernel_ >= Kernel::Avx2 && channels_ == 1) {
        done = RowAvx2Grey(leftSample_.data(), rightSample_.data(), across_.data(), down, upper,
                           lower, out, vectorEnd_);
    }
#endif
    for (std::size_t i = std::size_t(done); i < std::size_t(width_); ++i) {
        const std::int32_t l = leftSample_[i];
        const std::int32_t r = rightSample_[i];
        Blend(across_[i], down, upper + l, upper + r, lower + l, lower + r, channels_,
              out + i * std::size_t(channels_));
    }
}

ResampleScales ResampleScalesFor(std::int64_t sourceWidth, std::int64_t sourceHeight,
                                 std::int64_t width, std::int64_t height, bool cropCentre) {
    double across = double(width) / double(sourceWidth);
    double down = double(height) / double(sourceHeight);
    if (cropCentre) across = down = std::max(across, down);
    return {across * (1 + 0.5 / double(sourceWidth)), down * (1 + 0.5 / double(sourceHeight))};
}

bool FlatEnlarges(std::int32_t sourceWidth, std::int32_t sourceHeight, std::int32_t width,
                  std::int32_t height, bool cropCentre) {
    if (sourceWidth == width && sourceHeight == height) return false;
    const ResampleScales scales =
        ResampleScalesFor(sourceWidth, sourceHeight, width, height, cropCentre);
    return scales.across > 1 && scales.down > 1;
}

FlatUpsample UpsampleFor(std::int32_t sourceWidth, std::int32_t sourceHeight, int channels,
                         std::int32_t width, std::int32_t height, bool cropCentre) {
    const auto [hscale, vscale] =
        ResampleScalesFor(sourceWidth, sourceHeight, width, height, cropCentre);
    const auto [enlargedWidth, enlargedHeight] =
        FlatUpsample::EnlargedSize(sourceWidth, sourceHeight, hscale, vscale);
    return FlatUpsample(sourceWidth, sourceHeight, channels, hscale, vscale,
                        (enlargedWidth - width) / 2, (enlargedHeight - height) / 2, width, height);
}

}  // namespace velmora
