#pragma once

#include <QImage>
#include <QString>
#include <array>
#include <cstdint>

namespace velmora::quality {

// How a lens darkens towards the corners: a cos^4-like falloff per colour,
//   f(r) = 1 / (1 + k r^2)^2,
// with r the distance from the picture's centre over half its diagonal (1 in the corners) and
// k chosen so that the corners lose `cornerEv` stops: f(1) = 2^-cornerEv.
struct LensFalloff {
    QString name;
    std::array<double, 3> cornerEv{};  // red, green, blue

    // The share of light that reaches pixel (x, y) in `channel` (0 red, 1 green, 2 blue).
    double Factor(int channel, int x, int y, int width, int height) const;
};

// `photo` scaled to cover width x height and cropped around its centre, as 8-bit RGB.
QImage FitPhoto(const QImage& photo, int width, int height);

// `photo` through the lens: each 8-bit sample times the falloff, rounded half to even.
QImage Darken(const QImage& photo, const LensFalloff& lens);

// An evenly lit grey card at `level` shot through the lens, with Gaussian noise of `noise`
// levels, rounded to 8 bits.
QImage ShootCard(int width, int height, double level, double noise, const LensFalloff& lens,
                 std::uint32_t seed);

}  // namespace velmora::quality
