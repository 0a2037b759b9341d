#include "correction/profile_blend.h"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

// A flat value of zero (a place the card never lit) would make its logarithm infinite; the
// gain there is cut at its largest anyway.
constexpr float kDarkest = 1.0f / 65536.0f;

}  // namespace

void BlendFlats(const std::vector<const FlatField*>& flats, const std::vector<double>& weights,
                std::size_t firstPlace, std::size_t places, FlatField& out) {
    const std::size_t channels = std::size_t(out.channels);
    const std::size_t first = firstPlace * channels;
    const std::size_t count = places * channels;
    float* blended = out.values.data() + first;
    if (flats.size() == 1) {
        std::copy_n(flats.front()->values.data() + first, count, blended);
        return;
    }
    // Two neighbours are the common case: F1^(1-w) F2^w = F1 (F2 / F1)^w, one logarithm and one
    // power per value.
    if (flats.size() == 2) {
        const float w = float(weights[1]);
        const float* a = flats[0]->values.data() + first;
        const float* b = flats[1]->values.data() + first;
        for (std::size_t i = 0; i < count; ++i) {
            const float low = std::max(a[i], kDarkest);
            blended[i] = low * std::exp2(w * std::log2(std::max(b[i], kDarkest) / low));
        }
        return;
    }
    std::fill_n(blended, count, 0.0f);
    for (std::size_t part = 0; part < flats.size(); ++part) {
        const float w = float(weights[part]);
        const float* values = flats[part]->values.data() + first;
        for (std::size_t i = 0; i < count; ++i)
            blended[i] += w * std::log2(std::max(values[i], kDarkest));
    }
    for (std::size_t i = 0; i < count; ++i)
        blended[i] = std::exp2(blended[i]);
}

std::array<double, 3> BlendCentres(const std::vector<std::array<double, 3>>& centres,
                                   const std::vector<double>& weights) {
    std::array<double, 3> blended{};
    for (std::size_t c = 0; c < 3; ++c) {
        double logSum = 0;
        for (std::size_t part = 0; part < centres.size(); ++part)
            logSum += weights[part] * std::log2(std::max(centres[part][c], double(kDarkest)));
        blended[c] = std::exp2(logSum);
    }
    return blended;
}

}  // namespace velmora
