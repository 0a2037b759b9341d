#pragma once

#include <QImage>
#include <vector>

namespace velmora::quality {

// A picture's samples as doubles, red, green, blue interleaved, rows top-down: the results of
// velmora-cli (whole bytes) and the ideal gain (not rounded) are measured alike.
struct Samples {
    int width = 0;
    int height = 0;
    std::vector<double> values;

    static Samples FromImage(const QImage& image);
    double at(int x, int y, int channel) const {
        return values[(std::size_t(y) * width + x) * 3 + channel];
    }
};

// The corner regions: the four rectangles of an eighth of the width by an eighth of the height
// in the picture's corners (200 x 150 pixels each at 1600 x 1200), where the falloff is deepest.
bool InCorner(int x, int y, int width, int height);

struct Quality {
    double psnrWhole = 0;    // dB, over every sample of the picture
    double psnrCorners = 0;  // dB, over the samples of the corner regions
    // log2(sum of the result's corner samples / sum of the original's): 0 is even, below 0 the
    // corners are still darker, above 0 brighter (the grey haze of an additive correction).
    double cornerEv = 0;
};

// `result` against the undarkened `original`; PSNR with a peak of 255.
Quality Measure(const Samples& result, const Samples& original);

// The best a gain can do from this card without a map's whole bytes: darkened x C / card in
// double precision, cut to 0..255, where C is the card's centre pixel (the pixel velmora's
// tuning takes its reference bytes from). With `smoothRadius` above 0 the card is first
// low-passed in double precision the way tune --smooth does it: two box passes of
// 2 x radius + 1 pixels across and down, per colour, averaging only pixels inside the picture.
Samples IdealGain(const Samples& darkened, const Samples& card, int smoothRadius);

}  // namespace velmora::quality
