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
        return decode_ == other.decode_ && threshold_ == other.threshold_;
    }
    double Decode(std::uint32_t code) const { return decode_[code]; }
    const double* decode() const { return decode_.data(); }

    // What the vector kernels read. From its bucket's start, every value's search ends within
    // `steps` steps (the most half-way points one bucket holds), so they take that many steps
    // with no loop.
    // A bucket's record (steps + 1 doubles, when steps is at most kMostRecordSteps) holds its
    // start and the next `steps` half-way points, each made a strict bound: an even-numbered one
    // as the double just below it, so that x passes it when x > bound. Records are padded so
    // that reading kMostRecordSteps doubles past the last one stays inside.
    static constexpr std::uint32_t kMostRecordSteps = 7;
    struct Layout {
        const double* decode;
        const double* record;  // null when steps > kMostRecordSteps
        int bucketShift;
        std::uint64_t firstBucket;
        std::uint64_t lastBucket;
        std::uint32_t steps;
    };
    Layout layout() const {
        return {decode_.data(), record_.empty() ? nullptr : record_.data(),
                bucketShift_,   firstBucket_,
                lastBucket_,    steps_};
    }

    std::uint32_t Encode(double linear) const {
        if (!(linear > threshold_[0])) return 0;  // also NaN
        // +inf would pass the +inf after the last half-way point by the tie rule.
        linear = std::min(linear, std::numeric_limits<double>::max());
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(linear) >> bucketShift_;
        const std::uint64_t bucket =
            bits < firstBucket_ ? 0 : std::min<std::uint64_t>(bits - firstBucket_, lastBucket_);
        std::uint32_t k = bucketStart_[bucket];
        // Where buckets hold one half-way point at most (8 bits), a plain loop is fastest: it
        // rarely turns. Where they hold more (16 bits), a first step without a branch saves the
        // loop's mispredictions: 4.0 and 7.4 ns a sample against 6.3 and 11.1 the other way round
        // (Xeon, one core).
        if (steps_ > 1) k += Passes(linear, k + 1);
        while (Passes(linear, k + 1))
            ++k;
        return k;
    }

    // The curve's inverse without rounding: the code, as a fraction of full scale, whose light is
    // `linear`, interpolated linearly between the two codes around it; 0 below the first code's
    // light, 1 above the last's.
    double ToCode(double linear) const;

  private:
    bool Passes(double x, std::uint32_t k) const {
        const double t = threshold_[k];
        return (x > t) | ((x == t) & (k % 2 == 0));
    }

    std::uint32_t maxCode_;
    std::vector<double> decode_;     // maxCode + 1 entries
    std::vector<double> threshold_;  // [0] = 0, the maxCode half-way points, then +inf
    // Buckets split every binary octave of linear values into equal parts, fine enough that few
    // half-way points share one; a bucket knows how many lie below it, so the search starts at
    // most a few steps short. Bucket = the value's top bits less those of the first bucket.
    std::vector<std::uint16_t> bucketStart_;
    int bucketShift_ = 0;
    std::uint64_t firstBucket_ = 0;
    std::uint64_t lastBucket_ = 0;
    std::uint32_t steps_ = 0;
    std::vector<double> record_;
};

}  // namespace velmora
