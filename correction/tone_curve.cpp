#include "correction/tone_curve.h"

#include <cmath>
#include <limits>

#include "correction/error.h"

namespace velmora {

double SrgbToLinear(double code) {
    if (code <= 0.04045) return code / 12.92;
    return std::pow((code + 0.055) / 1.055, 2.4);
}

namespace {

// The bucket table's largest size: 16-bit curves take 2^14 buckets an octave over some
// 20 to 40 octaves (0.6 to 1.3 MB).
constexpr std::size_t kMostBucketBytes = std::size_t(4) << 20;

}  // namespace

ToneTables::ToneTables(const ToneCurve& curve, std::uint32_t maxCode) : maxCode_(maxCode) {
    if (maxCode < 1 || maxCode > 65535) {
        throw Error(ErrorKind::Overflow, "a transfer curve serves 1 to 65535 codes, not " +
                                             std::to_string(maxCode) + ".");
    }
    const double scale = double(maxCode);
    decode_.resize(maxCode + 1);
    for (std::uint32_t v = 0; v <= maxCode; ++v)
        decode_[v] = curve(double(v) / scale);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<double> threshold(maxCode + 1, 0.0);  // [0] = 0
    for (std::uint32_t k = 1; k <= maxCode; ++k)
        threshold[k] = std::max(threshold[k - 1], curve((double(k) - 0.5) / scale));
    bound_.assign(maxCode + 1 + kMostKernelSteps, kInf);
    for (std::uint32_t k = 1; k <= maxCode; ++k)
        bound_[k] = k % 2 == 0 ? std::nextafter(threshold[k], -kInf) : threshold[k];

    double lowest = 1.0;
    for (std::uint32_t k = 1; k <= maxCode; ++k) {
        if (threshold[k] > 0) {
            lowest = std::min(lowest, threshold[k]);
            break;
        }
    }
    // From the octave below the first positive half-way point (no lower than the smallest
    // normal double, as a shift needs) up to 2, above every half-way point of a curve to 1.
    const int firstOctave =
        std::max(std::ilogb(lowest) - 1, std::numeric_limits<double>::min_exponent - 1);
    const double firstValue = std::ldexp(1.0, firstOctave);
    // Half-way points at 0 are passed by every value that reaches the buckets.
    std::uint32_t zeros = 0;
    while (zeros < maxCode && threshold[zeros + 1] == 0)
        ++zeros;
    // The coarsest split that leaves at most kMostKernelSteps distinct half-way points to a
    // bucket, counted on the curve itself (equal ones stay together however fine the split);
    // failing that, the finest that fits.
    int bucketBits = 0;
    std::uint32_t fewest = 0;
    for (int bits = 6; bits <= 16; ++bits) {
        const int shift = 52 - bits;
        const std::uint64_t first = std::bit_cast<std::uint64_t>(firstValue) >> shift;
        const std::uint64_t last = (std::bit_cast<std::uint64_t>(2.0) >> shift) - first;
        if ((last + 2) * sizeof(std::uint16_t) > kMostBucketBytes) break;
        std::uint32_t most = 0;
        std::uint32_t run = 0;
        std::uint64_t runBucket = 0;
        for (std::uint32_t k = zeros + 1; k <= maxCode; ++k) {
            if (k > zeros + 1 && threshold[k] == threshold[k - 1]) continue;
            const std::uint64_t b = std::bit_cast<std::uint64_t>(threshold[k]) >> shift;
            const std::uint64_t bucket = b < first ? 0 : std::min(b - first, last);
            run = run > 0 && bucket == runBucket ? run + 1 : 1;
            runBucket = bucket;
            most = std::max(most, run);
        }
        if (bucketBits == 0 || most < fewest) {
            bucketBits = bits;
            fewest = most;
        }
        if (most <= kMostKernelSteps) break;
    }
    bucketShift_ = 52 - bucketBits;
    firstBucket_ = std::bit_cast<std::uint64_t>(firstValue) >> bucketShift_;
    lastBucket_ = (std::bit_cast<std::uint64_t>(2.0) >> bucketShift_) - firstBucket_;
    bucketStart_.resize(lastBucket_ + 2);
    // Bucket b starts past every half-way point in a lower bucket.
    std::uint32_t below = zeros;
    for (std::uint64_t b = 0; b <= lastBucket_; ++b) {
        while (below < maxCode) {
            const std::uint64_t t =
                std::bit_cast<std::uint64_t>(threshold[below + 1]) >> bucketShift_;
            if (std::min(t < firstBucket_ ? 0 : t - firstBucket_, lastBucket_) >= b) break;
            ++below;
        }
        bucketStart_[b] = std::uint16_t(below);
    }
    bucketStart_[lastBucket_ + 1] = std::uint16_t(maxCode);
    for (std::uint64_t b = 0; b <= lastBucket_; ++b)
        crowded_ = crowded_ || bucketStart_[b + 1] - bucketStart_[b] > int(kMostKernelSteps);
}

std::uint32_t ToneTables::PassedWithin(double linear, std::uint32_t from, std::uint32_t to) const {
    // Odd- and even-numbered bounds each rise with k, so the ones passed of each are a prefix.
    std::uint32_t passed = 0;
    for (const std::uint32_t first : {from, from + 1}) {
        std::uint32_t count = first <= to ? (to - first) / 2 + 1 : 0;
        std::uint32_t prefix = 0;
        while (count > 0) {
            const std::uint32_t half = count / 2;
            if (linear > bound_[first + 2 * (prefix + half)]) {
                prefix += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        passed += prefix;
    }
    return passed;
}

double ToneTables::ToCode(double linear) const {
    if (!(linear > decode_[0])) return 0.0;
    if (linear >= decode_[maxCode_]) return 1.0;
    std::uint32_t k = std::min(Encode(linear), maxCode_ - 1);
    while (k > 0 && decode_[k] > linear)
        --k;
    while (k + 1 < maxCode_ && decode_[k + 1] <= linear)
        ++k;
    const double span = decode_[k + 1] - decode_[k];
    const double within = span > 0 ? std::clamp((linear - decode_[k]) / span, 0.0, 1.0) : 0.0;
    return (double(k) + within) / double(maxCode_);
}

}  // namespace velmora
