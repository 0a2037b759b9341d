#include "correction/tone_curve.h"

#include <cmath>
#include <limits>

#include "correction/error.h"

namespace velmora {

double SrgbToLinear(double code) {
    if (code <= 0.04045) return code / 12.92;
    return std::pow((code + 0.055) / 1.055, 2.4);
}

ToneTables::ToneTables(const ToneCurve& curve, std::uint32_t maxCode) : maxCode_(maxCode) {
    if (maxCode < 1 || maxCode > 65535) {
        throw Error(ErrorKind::Overflow, "a transfer curve serves 1 to 65535 codes, not " +
                                             std::to_string(maxCode) + ".");
    }
    const double scale = double(maxCode);
    decode_.resize(maxCode + 1);
    for (std::uint32_t v = 0; v <= maxCode; ++v)
        decode_[v] = curve(double(v) / scale);
    threshold_.assign(maxCode + 3, std::numeric_limits<double>::infinity());
    threshold_[0] = 0.0;
    for (std::uint32_t k = 1; k <= maxCode; ++k)
        threshold_[k] = std::max(threshold_[k - 1], curve((double(k) - 0.5) / scale));

    // 2^9 parts per octave keep 8-bit half-way points one to a bucket; 16-bit ones need 2^13
    // to stay within a few.
    const int bucketBits = maxCode <= 255 ? 9 : 13;
    bucketShift_ = 52 - bucketBits;
    double lowest = 1.0;
    for (std::uint32_t k = 1; k <= maxCode; ++k) {
        if (threshold_[k] > 0) {
            lowest = std::min(lowest, threshold_[k]);
            break;
        }
    }
    // From the octave below the first positive half-way point up to 2, above every half-way point.
    firstBucket_ =
        std::bit_cast<std::uint64_t>(std::ldexp(1.0, std::ilogb(lowest) - 1)) >> bucketShift_;
    lastBucket_ = (std::bit_cast<std::uint64_t>(2.0) >> bucketShift_) - firstBucket_;
    bucketStart_.resize(lastBucket_ + 2);  // + the end of the last bucket
    std::uint32_t below = 0;
    for (std::uint64_t b = 0; b <= lastBucket_; ++b) {
        const double lower = std::bit_cast<double>((firstBucket_ + b) << bucketShift_);
        while (below < maxCode && threshold_[below + 1] < lower)
            ++below;
        bucketStart_[b] = std::uint16_t(below);
    }
    bucketStart_[lastBucket_ + 1] = std::uint16_t(maxCode);
    // Bucket b holds the half-way points from bucketStart_[b] + 1 to bucketStart_[b + 1]; the
    // last one (from 2 up) holds the rest. A value in it passes no point beyond them.
    for (std::uint64_t b = 0; b <= lastBucket_; ++b)
        steps_ = std::max<std::uint32_t>(steps_, bucketStart_[b + 1] - bucketStart_[b]);
    steps_ = std::max<std::uint32_t>(steps_, 1);
    if (steps_ > kMostRecordSteps) return;
    // One read brings a lane everything its search needs, in place of a read per step, each
    // waiting for the last.
    const std::uint32_t stride = steps_ + 1;
    // Padded so that a kernel may read the fields of a longer record at the last bucket.
    record_.resize((lastBucket_ + 1) * stride + kMostRecordSteps);
    for (std::uint64_t b = 0; b <= lastBucket_; ++b) {
        double* record = record_.data() + b * stride;
        record[0] = bucketStart_[b];
        for (std::uint32_t j = 1; j <= steps_; ++j) {
            const std::uint32_t k = bucketStart_[b] + j;
            const double t =
                k < threshold_.size() ? threshold_[k] : std::numeric_limits<double>::infinity();
            record[j] =
                k % 2 == 0 ? std::nextafter(t, -std::numeric_limits<double>::infinity()) : t;
        }
    }
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
