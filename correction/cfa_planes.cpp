#include "correction/cfa_planes.h"

#include <algorithm>

namespace velmora {
namespace {

constexpr char kLetters[] = "RGB";

// The mean of a plane over the window of `radius` places around (cx, cy), kept inside it.
double WindowMean(const FlatField& plane, std::int32_t cx, std::int32_t cy, int radius) {
    const std::int32_t x0 = std::clamp(cx - radius, 0, plane.width - 1);
    const std::int32_t x1 = std::clamp(cx + radius, 0, plane.width - 1);
    const std::int32_t y0 = std::clamp(cy - radius, 0, plane.height - 1);
    const std::int32_t y1 = std::clamp(cy + radius, 0, plane.height - 1);
    double sum = 0;
    for (std::int32_t y = y0; y <= y1; ++y) {
        for (std::int32_t x = x0; x <= x1; ++x)
            sum += plane.at(x, y, 0);
    }
    return sum / double(std::int64_t(x1 - x0 + 1) * (y1 - y0 + 1));
}

}  // namespace

std::string CfaLetters(const CfaPattern& cfa) {
    std::string letters;
    for (int p = 0; p < Positions(cfa); ++p)
        letters += kLetters[std::min<int>(cfa.colour[std::size_t(p)], 2)];
    return letters;
}

CfaPattern CfaFromLetters(const std::string& letters) {
    CfaPattern cfa;
    const int side = letters.size() == 4 ? 2 : letters.size() == 36 ? 6 : 0;
    for (std::size_t p = 0; p < letters.size() && side > 0; ++p) {
        const char* at = std::find(kLetters, kLetters + 3, letters[p]);
        if (at == kLetters + 3) return {};
        cfa.colour[p] = std::uint8_t(at - kLetters);
    }
    cfa.width = cfa.height = side;
    return cfa;
}

std::string CfaDescription(const CfaPattern& cfa) {
    if (cfa.empty()) return "whole pixels";
    return (cfa.width == 2 ? "Bayer " : "X-Trans ") + CfaLetters(cfa);
}

CfaPattern ShiftedCfa(const CfaPattern& cfa, int dx, int dy) {
    CfaPattern shifted = cfa;
    for (int y = 0; y < cfa.height; ++y) {
        for (int x = 0; x < cfa.width; ++x)
            shifted.colour[std::size_t(y * cfa.width + x)] =
                cfa.colour[std::size_t(PositionAt(cfa, x + dx, y + dy))];
    }
    return shifted;
}

std::int32_t PlaneWidth(const CfaPattern& cfa, int position, std::int32_t width) {
    const int px = position % cfa.width;
    return width > px ? (width - px + cfa.width - 1) / cfa.width : 0;
}

std::int32_t PlaneHeight(const CfaPattern& cfa, int position, std::int32_t height) {
    const int py = position / cfa.width;
    return height > py ? (height - py + cfa.height - 1) / cfa.height : 0;
}

FlatField PlaneOf(const FlatField& mosaic, const CfaPattern& cfa, int position) {
    FlatField plane;
    plane.width = PlaneWidth(cfa, position, mosaic.width);
    plane.height = PlaneHeight(cfa, position, mosaic.height);
    plane.channels = 1;
    plane.values.resize(plane.places());
    const int px = position % cfa.width;
    const int py = position / cfa.width;
    for (std::int32_t y = 0; y < plane.height; ++y) {
        const float* from = &mosaic.values[std::size_t(py + y * cfa.height) * mosaic.width + px];
        float* to = &plane.values[std::size_t(y) * plane.width];
        for (std::int32_t x = 0; x < plane.width; ++x)
            to[x] = from[std::size_t(x) * cfa.width];
    }
    return plane;
}

void PutPlane(FlatField& mosaic, const CfaPattern& cfa, int position, const FlatField& plane) {
    const int px = position % cfa.width;
    const int py = position / cfa.width;
    for (std::int32_t y = 0; y < plane.height; ++y) {
        float* to = &mosaic.values[std::size_t(py + y * cfa.height) * mosaic.width + px];
        const float* from = &plane.values[std::size_t(y) * plane.width];
        for (std::int32_t x = 0; x < plane.width; ++x)
            to[std::size_t(x) * cfa.width] = from[x];
    }
}

void SmoothPlanes(FlatField& mosaic, const CfaPattern& cfa, int radius) {
    if (radius <= 0) return;
    for (int p = 0; p < Positions(cfa); ++p) {
        FlatField plane = PlaneOf(mosaic, cfa, p);
        SmoothFlatField(plane, radius);
        PutPlane(mosaic, cfa, p, plane);
    }
}

std::vector<double> PlaneLevels(const FlatField& mosaic, const CfaPattern& cfa, PlaneLevel level,
                                int radius) {
    std::vector<double> levels;
    for (int p = 0; p < Positions(cfa); ++p) {
        const FlatField plane = PlaneOf(mosaic, cfa, p);
        if (level == PlaneLevel::Centre) {
            levels.push_back(WindowMean(plane, plane.width / 2, plane.height / 2, radius));
        } else {
            double sum = 0;
            for (const float value : plane.values)
                sum += value;
            levels.push_back(sum / double(std::max<std::size_t>(plane.values.size(), 1)));
        }
    }
    return levels;
}

std::vector<std::array<double, 4>> PlaneCorners(const FlatField& mosaic, const CfaPattern& cfa,
                                                int radius) {
    std::vector<std::array<double, 4>> corners;
    for (int p = 0; p < Positions(cfa); ++p) {
        const FlatField plane = PlaneOf(mosaic, cfa, p);
        const std::int32_t right = plane.width - 1;
        const std::int32_t bottom = plane.height - 1;
        corners.push_back({WindowMean(plane, 0, 0, radius), WindowMean(plane, right, 0, radius),
                           WindowMean(plane, 0, bottom, radius),
                           WindowMean(plane, right, bottom, radius)});
    }
    return corners;
}

}  // namespace velmora
