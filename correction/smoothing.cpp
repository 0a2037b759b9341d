#include "correction/smoothing.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace velmora {
namespace {

// One box pass along a line of `count` values `stride` apart; `prefix` is scratch space.
void BoxLine(float* values, std::int32_t count, std::ptrdiff_t stride, int radius,
             std::vector<double>& prefix) {
    prefix.assign(std::size_t(count) + 1, 0.0);
    for (std::int32_t i = 0; i < count; ++i)
        prefix[i + 1] = prefix[i] + values[i * stride];
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t lo = std::max(0, i - radius);
        const std::int32_t hi = std::min(count, i + radius + 1);
        values[i * stride] = float((prefix[hi] - prefix[lo]) / double(hi - lo));
    }
}

}  // namespace

void SmoothPixelBytes(PixelBytes& pixels, int radius) {
    if (radius <= 0 || pixels.empty()) return;
    const std::int32_t columns = pixels.widthBytes() / 3;
    const std::int32_t rows = pixels.rows();
    std::vector<float> plane(std::size_t(columns) * std::size_t(rows));
    std::vector<double> prefix;
    for (int lane = 0; lane < 3; ++lane) {
        for (std::int32_t r = 0; r < rows; ++r) {
            for (std::int32_t x = 0; x < columns; ++x) {
                plane[std::size_t(r) * columns + x] = pixels(3 * x + lane, r);
            }
        }
        for (int pass = 0; pass < 2; ++pass) {
            for (std::int32_t r = 0; r < rows; ++r) {
                BoxLine(plane.data() + std::size_t(r) * columns, columns, 1, radius, prefix);
            }
            for (std::int32_t x = 0; x < columns; ++x) {
                BoxLine(plane.data() + x, rows, columns, radius, prefix);
            }
        }
        for (std::int32_t r = 0; r < rows; ++r) {
            for (std::int32_t x = 0; x < columns; ++x) {
                const float v = std::rint(plane[std::size_t(r) * columns + x]);
                pixels(3 * x + lane, r) = std::uint8_t(std::clamp(v, 0.0f, 255.0f));
            }
        }
    }
}

}  // namespace velmora
