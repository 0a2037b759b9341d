#include "correction/raw_gain.h"

#include <algorithm>
#include <cmath>

#include "correction/cfa_planes.h"

namespace velmora {

std::int64_t CorrectRawRow(const std::uint16_t* light, const std::uint16_t* dark, const float* flat,
                           std::uint16_t* out, std::int64_t width, std::int64_t y,
                           const RawGain& gain) {
    // The black level and plane level of each sample of the row, repeating every `period`
    // samples: the pattern's width for a mosaic, the channels for a linear picture.
    const bool mosaic = !gain.cfa.empty();
    const int period = mosaic ? gain.cfa.width : gain.channels;
    std::array<double, 6> black{}, level{};
    for (int i = 0; i < period; ++i) {
        const int position = mosaic ? PositionAt(gain.cfa, i, y) : i;
        black[std::size_t(i)] = gain.levels.black[std::size_t(mosaic ? position : 0)];
        level[std::size_t(i)] = gain.level[std::size_t(position)];
    }
    const double white = gain.levels.white;
    const std::int64_t samples = width * (mosaic ? 1 : gain.channels);
    std::int64_t pushed = 0;
    for (std::int64_t i = 0; i < samples; ++i) {
        const std::size_t phase = std::size_t(i % period);
        const double value = light[i];
        const double f = flat[i];
        if (value >= white) {
            out[i] = std::uint16_t(std::min(white, 65535.0));
            continue;
        }
        if (!(f > 0)) {
            out[i] = light[i];
            continue;
        }
        const double signal = value - (dark != nullptr ? double(dark[i]) : black[phase]);
        const double corrected =
            std::nearbyint(std::nearbyint(signal * level[phase] / f) + black[phase]);
        pushed += corrected > white;
        out[i] = std::uint16_t(std::clamp(corrected, 0.0, 65535.0));
    }
    return pushed;
}

}  // namespace velmora
