#include "correction/cfa_planes.h"

#include <algorithm>
#include <cmath>

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

FlatField MosaicAtSize(const FlatField& mosaic, const CfaPattern& cfa, const CfaPattern& to, int dx,
                       int dy, std::int32_t width, std::int32_t height, bool cropCentre) {
    double scaleX = double(width) / mosaic.width;
    double scaleY = double(height) / mosaic.height;
    if (cropCentre) scaleX = scaleY = std::max(scaleX, scaleY);
    // Where the picture's first column and row lie in the scaled frame.
    const double offsetX = (mosaic.width * scaleX - width) / 2;
    const double offsetY = (mosaic.height * scaleY - height) / 2;
    const int n = cfa.width;
    std::vector<FlatField> planes;
    for (int p = 0; p < Positions(cfa); ++p)
        planes.push_back(PlaneOf(mosaic, cfa, p));
    FlatField out;
    out.width = width;
    out.height = height;
    out.channels = 1;
    out.values.resize(out.places());
    // Linear interpolation in a plane at (u, v); a little past its first or last samples (a
    // sample of another position may lie up to a pattern's width outside them) it goes on along
    // the edge's slope instead of levelling off, and further out it keeps the edge's value.
    const auto at = [n](const FlatField& plane, double u, double v) {
        const auto segment = [n](double t, std::int32_t size, std::int32_t& first) {
            t = std::clamp(t, -1.0 * n, size - 1.0 + n);
            first = size < 2 ? 0 : std::clamp(std::int32_t(std::floor(t)), 0, size - 2);
            return size < 2 ? 0.0 : t - first;
        };
        std::int32_t u0 = 0, v0 = 0;
        const double fu = segment(u, plane.width, u0);
        const double fv = segment(v, plane.height, v0);
        const std::int32_t u1 = std::min(u0 + 1, plane.width - 1);
        const std::int32_t v1 = std::min(v0 + 1, plane.height - 1);
        const double top = plane.at(u0, v0, 0) * (1 - fu) + plane.at(u1, v0, 0) * fu;
        const double bottom = plane.at(u0, v1, 0) * (1 - fu) + plane.at(u1, v1, 0) * fu;
        return float(std::max(top * (1 - fv) + bottom * fv, 0.0));
    };
    for (std::int32_t y = 0; y < height; ++y) {
        // The sample's centre in the flat's frame, then in its plane.
        const double frameY = (y + 0.5 + offsetY) / scaleY - 0.5;
        for (std::int32_t x = 0; x < width; ++x) {
            const int p = PositionAt(cfa, x % to.width + dx, y % to.height + dy);
            const double frameX = (x + 0.5 + offsetX) / scaleX - 0.5;
            out.values[std::size_t(y) * std::size_t(width) + std::size_t(x)] =
                at(planes[std::size_t(p)], (frameX - p % n) / n, (frameY - p / n) / n);
        }
    }
    return out;
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
