#include "correction/profile_gain.h"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

constexpr std::array<double, 3> kLuminanceWeights{0.2126, 0.7152, 0.0722};

double Luminance(const float* rgb, int channels) {
    if (channels == 1) return rgb[0];
    return kLuminanceWeights[0] * rgb[0] + kLuminanceWeights[1] * rgb[1] +
           kLuminanceWeights[2] * rgb[2];
}

double Gain(double centre, double flat) {
    if (!(flat * kLargestProfileGain > centre)) return kLargestProfileGain;
    return centre / flat;
}

template <typename Sample>
void GainRow(Sample* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
             const float* gains, const ToneTables* const* tables, GainSpace space) {
    if (space == GainSpace::Code) {
        const double top = double(tables[0]->maxCode());
        for (std::int32_t i = 0; i < pixels; ++i) {
            Sample* pixel = row + std::size_t(i) * samplesPerPixel;
            const float* g = gains + std::size_t(i) * gainsPerPixel;
            for (int c = 0; c < gainsPerPixel; ++c)
                pixel[c] = Sample(std::min(top, std::rint(double(pixel[c]) * double(g[c]))));
        }
        return;
    }
    for (std::int32_t i = 0; i < pixels; ++i) {
        Sample* pixel = row + std::size_t(i) * samplesPerPixel;
        const float* g = gains + std::size_t(i) * gainsPerPixel;
        for (int c = 0; c < gainsPerPixel; ++c) {
            const ToneTables& table = *tables[c];
            pixel[c] = Sample(table.Encode(table.decode()[pixel[c]] * double(g[c])));
        }
    }
}

}  // namespace

std::vector<float> ComputeGains(const FlatField& flat, const std::array<double, 3>& centre,
                                CorrectWhat what, int pictureChannels) {
    const std::size_t places = std::size_t(flat.width) * std::size_t(flat.height);
    std::vector<float> gains(places * std::size_t(pictureChannels));
    const int fc = flat.channels;
    std::array<float, 3> centreLevels{};
    for (int c = 0; c < fc; ++c)
        centreLevels[std::size_t(c)] = float(centre[std::size_t(c)]);
    const double centreLuminance = Luminance(centreLevels.data(), fc);
    for (std::size_t i = 0; i < places; ++i) {
        const float* f = flat.values.data() + i * std::size_t(fc);
        float* g = gains.data() + i * std::size_t(pictureChannels);
        const double luminanceGain = Gain(centreLuminance, Luminance(f, fc));
        for (int c = 0; c < pictureChannels; ++c) {
            if (pictureChannels == 1 || what == CorrectWhat::Luminance) {
                g[c] = what == CorrectWhat::Colour ? 1.0f : float(luminanceGain);
                continue;
            }
            const int fcI = fc == 1 ? 0 : c;
            const double channelGain = Gain(centre[std::size_t(fcI)], f[fcI]);
            g[c] = float(what == CorrectWhat::Both ? channelGain : channelGain / luminanceGain);
        }
    }
    return gains;
}

void ApplyGainRow(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                  const float* gains, const ToneTables* const* tables, GainSpace space) {
    GainRow(row, pixels, samplesPerPixel, gainsPerPixel, gains, tables, space);
}

void ApplyGainRow(std::uint16_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                  const float* gains, const ToneTables* const* tables, GainSpace space) {
    GainRow(row, pixels, samplesPerPixel, gainsPerPixel, gains, tables, space);
}

}  // namespace velmora
