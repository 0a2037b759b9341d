#include "picture_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmora::quality {
namespace {

double Psnr(double squaredError, double count) {
    if (squaredError == 0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(255.0 * 255.0 / (squaredError / count));
}

// One box pass over `count` values `stride` apart, averaging only values inside the line.
void BoxLine(double* values, int count, std::size_t stride, int radius,
             std::vector<double>& prefix) {
    prefix.assign(std::size_t(count) + 1, 0.0);
    for (int i = 0; i < count; ++i)
        prefix[i + 1] = prefix[i] + values[i * stride];
    for (int i = 0; i < count; ++i) {
        const int lo = std::max(0, i - radius);
        const int hi = std::min(count, i + radius + 1);
        values[i * stride] = (prefix[hi] - prefix[lo]) / (hi - lo);
    }
}

Samples Smooth(Samples card, int radius) {
    std::vector<double> prefix;
    for (int c = 0; c < 3; ++c) {
        double* plane = card.values.data() + c;
        for (int pass = 0; pass < 2; ++pass) {
            for (int y = 0; y < card.height; ++y)
                BoxLine(plane + std::size_t(y) * card.width * 3, card.width, 3, radius, prefix);
            for (int x = 0; x < card.width; ++x)
                BoxLine(plane + std::size_t(x) * 3, card.height, std::size_t(card.width) * 3,
                        radius, prefix);
        }
    }
    return card;
}

}  // namespace

Samples Samples::FromImage(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    Samples samples;
    samples.width = rgb.width();
    samples.height = rgb.height();
    samples.values.resize(std::size_t(rgb.width()) * rgb.height() * 3);
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* line = rgb.constScanLine(y);
        std::copy(line, line + 3 * rgb.width(),
                  samples.values.begin() + std::ptrdiff_t(y) * rgb.width() * 3);
    }
    return samples;
}

bool InCorner(int x, int y, int width, int height) {
    const bool left = x < width / 8;
    const bool right = x >= width - width / 8;
    const bool top = y < height / 8;
    const bool bottom = y >= height - height / 8;
    return (left || right) && (top || bottom);
}

Quality Measure(const Samples& result, const Samples& original) {
    double whole = 0, corners = 0, cornerSamples = 0, resultSum = 0, originalSum = 0;
    for (int y = 0; y < original.height; ++y) {
        for (int x = 0; x < original.width; ++x) {
            const bool corner = InCorner(x, y, original.width, original.height);
            for (int c = 0; c < 3; ++c) {
                const double e = result.at(x, y, c) - original.at(x, y, c);
                whole += e * e;
                if (!corner) continue;
                corners += e * e;
                cornerSamples += 1;
                resultSum += result.at(x, y, c);
                originalSum += original.at(x, y, c);
            }
        }
    }
    Quality quality;
    quality.psnrWhole = Psnr(whole, double(original.values.size()));
    quality.psnrCorners = Psnr(corners, cornerSamples);
    quality.cornerEv = std::log2(std::max(resultSum, 1.0) / std::max(originalSum, 1.0));
    return quality;
}

Samples IdealGain(const Samples& darkened, const Samples& card, int smoothRadius) {
    const Samples light = smoothRadius > 0 ? Smooth(card, smoothRadius) : card;
    Samples ideal = darkened;
    const int cx = card.width / 2;
    const int cy = card.height / 2;
    for (int y = 0; y < ideal.height; ++y) {
        for (int x = 0; x < ideal.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                double& value = ideal.values[(std::size_t(y) * ideal.width + x) * 3 + c];
                const double gain = light.at(cx, cy, c) / std::max(light.at(x, y, c), 0.5);
                value = std::clamp(value * gain, 0.0, 255.0);
            }
        }
    }
    return ideal;
}

}  // namespace velmora::quality
