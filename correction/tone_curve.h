#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace velmora {

// A transfer curve: code value as a fraction of full scale (0..1) to linear light (0..1),
// nondecreasing. Pictures carry theirs in their colour profile; sRGB is assumed where none is.
using ToneCurve = std::function<double(double)>;

// The sRGB curve (IEC 61966-2-1) in double precision.
double SrgbToLinear(double code);

// A curve sampled for one bit depth, so that decoding is a lookup and encoding a short search.
//
// Decoding: code v (0..maxCode) is decode[v] = curve(v / maxCode).
// Encoding: linear value x becomes the nearest code of the curve, half-way going to the even
// code: the half-way points are threshold[k] = curve((k - 0.5) / maxCode) for k = 1..maxCode,
// made nondecreasing, and x becomes the number of k with x > threshold[k], or x == threshold[k]
// and k even. Values at or below 0 (and NaN) become 0; values above the last threshold become
// maxCode. maxCode is at most 65535.
class ToneTables {
  public:
    ToneTables(const ToneCurve& curve, std::uint32_t maxCode);

    std::uint32_t maxCode() const { return maxCode_; }
    // Whether both decode and encode alike.
    bool SameAs(const ToneTables& other) const {
        return decode_ == other.decode_ && bound_ == other.bound_;
    }
    double Decode(std::uint32_t code) const { return decode_[code]; }
    const double* decode() const { return decode_.data(); }

    // What the vector kernels read. A value's bucket (its top bits less those of the first
    // bucket, cut to 0..lastBucket) holds the half-way points from bucketStart[bucket] + 1 to
    // bucketStart[bucket + 1]: the value passes all below them and none above. bound[k] is
    // half-way point k made a strict bound: an even-numbered one as the double just below it,
    // so that x passes it when x > bound[k]. Past the last half-way point bound holds
    // kMostKernelSteps times +inf, so a kernel may compare that many from any start. Buckets are
    // fine enough that only a flat stretch of the curve (equal half-way points) puts more than
    // kMostKernelSteps in one; `crowded` says whether any bucket holds that many.
    static constexpr std::uint32_t kMostKernelSteps = 2;
    struct Layout {
        const double* decode;
        const std::uint16_t* bucketStart;
        const double* bound;
        int bucketShift;
        std::uint64_t firstBucket;
        std::uint64_t lastBucket;
        bool crowded;
    };
    Layout layout() const {
        return {decode_.data(), bucketStart_.data(), bound_.data(), bucketShift_,
                firstBucket_,   lastBucket_,         crowded_};
    }

    std::uint32_t Encode(double linear) const {
        if (!(linear > 0)) return 0;  // also NaN
        // A curve whose half-way points reach +inf must not see them passed by +inf.
        linear = std::min(linear, std::numeric_limits<double>::max());
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(linear) >> bucketShift_;
        const std::uint64_t bucket =
            bits < firstBucket_ ? 0 : std::min<std::uint64_t>(bits - firstBucket_, lastBucket_);
        const std::uint32_t k = bucketStart_[bucket];
        const std::uint32_t end = bucketStart_[bucket + 1];
        if (end - k > kMostKernelSteps) [[unlikely]]
            return k + PassedWithin(linear, k + 1, end);
        // Comparing with a point beyond the bucket never passes it, so no branch is needed.
        const double* next = bound_.data() + k + 1;
        return k + std::uint32_t(linear > next[0]) + std::uint32_t(linear > next[1]);
    }

    // The curve's inverse without rounding: the code, as a fraction of full scale, whose light is
    // `linear`, interpolated linearly between the two codes around it; 0 below the first code's
    // light, 1 above the last's.
    double ToCode(double linear) const;

  private:
    // How many of the half-way points from..to (one bucket's) the value passes.
    std::uint32_t PassedWithin(double linear, std::uint32_t from, std::uint32_t to) const;

    std::uint32_t maxCode_;
    std::vector<double> decode_;  // maxCode + 1 entries
    // [0] unused, the maxCode half-way points as strict bounds, then kMostKernelSteps x +inf.
    std::vector<double> bound_;
    // Buckets split every binary octave of linear values into equal parts, as fine as the
    // curve needs for its half-way points to lie at most kMostKernelSteps to a bucket.
    std::vector<std::uint16_t> bucketStart_;  // + the end of the last bucket, maxCode
    int bucketShift_ = 0;
    std::uint64_t firstBucket_ = 0;
    std::uint64_t lastBucket_ = 0;
    bool crowded_ = false;
};

}  // namespace velmora
