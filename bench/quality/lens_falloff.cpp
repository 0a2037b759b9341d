#include "lens_falloff.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace velmora::quality {

double LensFalloff::Factor(int channel, int x, int y, int width, int height) const {
    const double k = std::pow(2.0, cornerEv[channel] / 2.0) - 1.0;
    const double dx = x + 0.5 - width / 2.0;
    const double dy = y + 0.5 - height / 2.0;
    const double r2 = (dx * dx + dy * dy) / (width * width / 4.0 + height * height / 4.0);
    return 1.0 / ((1.0 + k * r2) * (1.0 + k * r2));
}

QImage FitPhoto(const QImage& photo, int width, int height) {
    const QImage scaled =
        photo.scaled(width, height, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return scaled.copy((scaled.width() - width) / 2, (scaled.height() - height) / 2, width, height)
        .convertToFormat(QImage::Format_RGB888);
}

QImage Darken(const QImage& photo, const LensFalloff& lens) {
    QImage dark = photo.convertToFormat(QImage::Format_RGB888);
    for (int y = 0; y < dark.height(); ++y) {
        uchar* line = dark.scanLine(y);
        for (int x = 0; x < dark.width(); ++x) {
            for (int c = 0; c < 3; ++c) {
                const double factor = lens.Factor(c, x, y, dark.width(), dark.height());
                line[3 * x + c] = uchar(std::nearbyint(line[3 * x + c] * factor));
            }
        }
    }
    return dark;
}

QImage ShootCard(int width, int height, double level, double noise, const LensFalloff& lens,
                 std::uint32_t seed) {
    QImage card(width, height, QImage::Format_RGB888);
    std::mt19937 rng(seed);
    std::normal_distribution<double> grain(0.0, noise);
    for (int y = 0; y < height; ++y) {
        uchar* line = card.scanLine(y);
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double value = level * lens.Factor(c, x, y, width, height) + grain(rng);
                line[3 * x + c] = uchar(std::clamp(std::nearbyint(value), 0.0, 255.0));
            }
        }
    }
    return card;
}

}  // namespace velmora::quality
