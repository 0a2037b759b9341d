#include "correction/gain.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "correction/error.h"

namespace velmora {
namespace {

// What every (cell, byte) pair of one lane becomes, indexed [m][p]: with the centre byte fixed
// for the press, the result depends on those two bytes only.
using GainTable = std::array<std::uint8_t, 256 * 256>;

void FillGainTable(GainTable& table, std::uint8_t c) {
    for (int m = 0; m < 256; ++m) {
        std::uint8_t* results = table.data() + 256 * m;
        if (m == 0) {
            for (int p = 0; p < 256; ++p)
                results[p] = std::uint8_t(p);
            continue;
        }
        const double gain = std::min(16.0, double(c) / double(std::max(c - m, 1)));
        for (int p = 0; p < 256; ++p) {
            results[p] = std::uint8_t(std::min(255.0, std::rint(double(p) * gain)));
        }
    }
}

}  // namespace

std::uint8_t GainedByte(std::uint8_t p, std::uint8_t m, std::uint8_t c) {
    if (m == 0) return p;
    const double gain = std::min(16.0, double(c) / double(std::max(int(c) - int(m), 1)));
    return std::uint8_t(std::min(255.0, std::rint(double(p) * gain)));
}

void ApplyGain(PixelBytes& pixels, const CorrectionMap& map,
               const std::array<std::uint8_t, 3>& centre) {
    if (pixels.empty()) throw Error(ErrorKind::SubscriptOutOfRange, "no picture is loaded.");
    CheckRowFitsMap(pixels.widthBytes());
    CheckRowsFitMap(pixels.rows());

    auto tables = std::make_unique<std::array<GainTable, 3>>();
    for (int k = 0; k < 3; ++k)
        FillGainTable((*tables)[k], centre[k]);
    const std::uint8_t* lane0 = (*tables)[0].data();
    const std::uint8_t* lane1 = (*tables)[1].data();
    const std::uint8_t* lane2 = (*tables)[2].data();

    const std::int32_t groupBytes = pixels.widthBytes() / 3 * 3;
    for (std::int32_t r = 0; r < pixels.rows(); ++r) {
        std::uint8_t* picture = pixels.row(r);
        const std::uint8_t* cells = map.row(r);
        for (std::int32_t j = 0; j < groupBytes; j += 3) {
            picture[j] = lane0[256 * cells[j] + picture[j]];
            picture[j + 1] = lane1[256 * cells[j + 1] + picture[j + 1]];
            picture[j + 2] = lane2[256 * cells[j + 2] + picture[j + 2]];
        }
    }
}

}  // namespace velmora
