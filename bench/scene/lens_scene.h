#pragma once

// Real-looking 24-megapixel scenes for the benchmarks of lens profiles: mosaics of photographs
// darkened by a lens in linear light, and grey cards shot through the same lens. Pictures are
// read and written with libvips; the light is computed here in double precision.

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::scene {

// Starts libvips; call once from the main thread before anything below.
void StartVips(const char* program);

// A picture of 8-bit (or 16-bit) RGB samples, interleaved, rows top-down without gaps.
template <typename Sample>
struct Rgb {
    int width = 0;
    int height = 0;
    std::vector<Sample> samples;

    std::size_t index(int x, int y, int c) const {
        return (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3 + std::size_t(c);
    }
};
using Rgb8 = Rgb<std::uint8_t>;
using Rgb16 = Rgb<std::uint16_t>;

// The sRGB curve (code as a fraction of full scale <-> linear light), in double precision.
double SrgbToLinear(double code);
double LinearToSrgb(double linear);
// The 256 codes of 8 bits decoded to linear light.
const std::array<double, 256>& Linear8();
// Linear light to the nearest 8-bit (16-bit) code: rounded half to even, cut to the range.
std::uint8_t Encode8(double linear);
std::uint16_t Encode16(double linear);

// The *.jpg files of a folder, sorted by name.
std::vector<std::string> PhotosIn(const std::string& folder);

// Picture `index` of a series: four different photographs of `photos`, each scaled to cover a
// quarter of width x height and cropped around its centre, joined two by two.
Rgb8 Mosaic(const std::vector<std::string>& photos, int index, int width, int height);

// A lens's falloff in lensfun's "pa" model, per colour: the light is multiplied by
// 1 + k1 r^2 + k2 r^4 + k3 r^6, with r the distance from the frame's centre over half its
// diagonal (1 in the corners).
struct Lens {
    std::string name;
    std::array<std::array<double, 3>, 3> k{};  // [channel][k1, k2, k3]

    double Factor(int channel, double r2) const;
    // Whether the light stays positive and never rises towards the corners, in every channel.
    bool IsFalloff() const;
    // log2 of the light left in the very corner: -2 is two stops darker.
    double CornerEv(int channel) const { return std::log2(Factor(channel, 1.0)); }
};

// r^2 at the centre of pixel (x, y) of a width x height frame.
double RadiusSquared(int x, int y, int width, int height);

// `original` through the lens, in linear light: the picture at its size (8 bits, and 16 bits
// when `deep` is given), and the camera's half-size picture (each 2 x 2 pixels averaged in
// linear light) when `half` is given, with the original at half size beside it.
void ShootPhoto(const Rgb8& original, const Lens& lens, Rgb8* darkened, Rgb16* deep, Rgb8* half,
                Rgb8* originalHalf);

// An evenly lit grey card of linear light `level` shot through the lens, with Gaussian noise of
// `noise` 8-bit codes, rounded to 8 bits.
Rgb8 ShootCard(int width, int height, double level, double noise, const Lens& lens,
               std::uint32_t seed);

// libvips: read as 8-bit RGB; write JPEG (quality), PNG, 16-bit TIFF, libvips's own float format.
Rgb8 ReadRgb8(const std::string& path);
void WriteJpeg(const Rgb8& picture, const std::string& path, int quality);
void WritePng(const Rgb8& picture, const std::string& path);
void WriteTiff(const Rgb16& picture, const std::string& path);
void WriteFloat(const std::vector<float>& values, int width, int height, int bands,
                const std::string& path);

}  // namespace velmora::scene
