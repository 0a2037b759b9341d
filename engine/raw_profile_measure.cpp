#include "engine/raw_profile_measure.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <optional>

#include "correction/cfa_planes.h"
#include "correction/error.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

// "IMG_1.DNG (Canon EOS R5, 8192 x 5464, Bayer RGGB)".
std::string Described(const RawHeader& header, const QString& path) {
    return Native(path).toStdString() + " (" + header.Camera() + ", " +
           std::to_string(header.width) + " x " + std::to_string(header.height) + ", " +
           (header.cfa.empty() ? std::string("linear") : CfaDescription(header.cfa)) + ")";
}

bool SameKind(const RawHeader& a, const RawHeader& b) {
    return a.width == b.width && a.height == b.height && a.channels == b.channels &&
           CfaLetters(a.cfa) == CfaLetters(b.cfa) && a.Camera() == b.Camera();
}

// The range of a reference's samples from black to white, the unit of the profile's flat.
double RangeOf(const RawHeader& header) {
    const int positions = header.cfa.empty() ? 1 : Positions(header.cfa);
    const double black =
        *std::min_element(header.levels.black.begin(), header.levels.black.begin() + positions);
    return std::max(1.0, header.levels.white - black);
}

}  // namespace

void CheckDarkFits(const RawHeader& dark, const QString& darkPath, const RawHeader& light,
                   const QString& lightPath) {
    if (SameKind(dark, light)) return;
    throw Error(ErrorKind::Picture,
                "the dark frame " + Described(dark, darkPath) +
                    " is not of the camera, size and "
                    "layout of " +
                    Described(light, lightPath) + ".",
                ErrorFields(darkPath.toStdString())
                    .Sizes(dark.width, dark.height, light.width, light.height));
}

MeasuredProfile MeasureRawProfile(const ProfileMeasurement& measurement) {
    const QStringList& references = measurement.references;
    std::vector<RawHeader> headers;
    for (const QString& reference : references) {
        if (!IsRawFile(reference)) {
            throw Error(ErrorKind::Picture,
                        "the references must be all raw or all rendered; " +
                            Native(reference).toStdString() + " is a rendered picture and " +
                            Native(references.front()).toStdString() + " a raw file.");
        }
        headers.push_back(ReadRawHeader(reference));
        if (!SameKind(headers.back(), headers.front())) {
            throw Error(ErrorKind::Picture,
                        "the references must all be of one camera, size and layout; " +
                            Described(headers.front(), references.front()) + " and " +
                            Described(headers.back(), reference) + " are not.");
        }
    }
    MeasuredProfile measured;
    LensProfile& profile = measured.profile;
    profile.shot = ShotOfReferences(measurement, measured);
    const RawHeader& first = headers.front();

    std::optional<RawPicture> dark;
    if (!measurement.dark.isEmpty()) {
        dark = ReadRaw(measurement.dark);
        CheckDarkFits(dark->header, measurement.dark, first, references.front());
    }

    FlatField& sum = profile.flat;
    sum.width = first.width;
    sum.height = first.height;
    sum.channels = first.channels;
    sum.values.assign(sum.places() * std::size_t(sum.channels), 0.0f);
    const double unit = RangeOf(first);
    const int period = first.cfa.empty() ? 1 : first.cfa.width;
    for (std::size_t r = 0; r < std::size_t(references.size()); ++r) {
        const RawPicture picture = ReadRaw(references[qsizetype(r)]);
        const RawHeader& header = picture.header;
        const double white = header.levels.white;
        std::int64_t clipped = 0;
        const std::size_t rowSamples = std::size_t(sum.width) * std::size_t(sum.channels);
        for (std::int32_t y = 0; y < sum.height; ++y) {
            std::array<double, 6> black{};
            for (int i = 0; i < period; ++i)
                black[std::size_t(i)] =
                    header.levels
                        .black[std::size_t(first.cfa.empty() ? 0 : PositionAt(first.cfa, i, y))];
            const std::uint16_t* row = picture.samples.data() + std::size_t(y) * rowSamples;
            const std::uint16_t* darkRow =
                dark ? dark->samples.data() + std::size_t(y) * rowSamples : nullptr;
            float* to = sum.values.data() + std::size_t(y) * rowSamples;
            for (std::size_t i = 0; i < rowSamples; ++i) {
                clipped += row[i] >= white;
                const double below =
                    darkRow != nullptr ? darkRow[i] : black[i % std::size_t(period)];
                to[i] += float((row[i] - below) / unit);
            }
        }
        if (clipped > 0) measured.clipped.push_back({references[qsizetype(r)], clipped});
        profile.references.push_back(QFileInfo(references[qsizetype(r)]).fileName().toStdString());
    }
    const float share = 1.0f / float(references.size());
    for (float& value : sum.values)
        value *= share;

    RawProfileInfo raw;
    raw.cfa = first.cfa;
    raw.levels = first.levels;
    raw.camera = first.Camera();
    raw.meanLevel = measurement.level == PlaneLevel::Mean;
    profile.referenceBits = 16;
    if (raw.cfa.empty()) {
        profile.smoothRadius =
            measurement.smoothRadius.value_or(DefaultProfileSmoothRadius(sum.width, sum.height));
        SmoothFlatField(sum, profile.smoothRadius);
        const std::array<double, 3> levels =
            raw.meanLevel ? MeanLevels(sum)
                          : CentreLevels(sum, std::max(2, std::min(sum.width, sum.height) / 100));
        raw.level.assign(levels.begin(), levels.end());
    } else {
        const std::int32_t planeWidth = PlaneWidth(raw.cfa, 0, sum.width);
        const std::int32_t planeHeight = PlaneHeight(raw.cfa, 0, sum.height);
        profile.smoothRadius =
            measurement.smoothRadius.value_or(DefaultProfileSmoothRadius(planeWidth, planeHeight));
        SmoothPlanes(sum, raw.cfa, profile.smoothRadius);
        raw.level = PlaneLevels(sum, raw.cfa, measurement.level,
                                std::max(2, std::min(planeWidth, planeHeight) / 100));
    }
    for (std::size_t c = 0; c < 3; ++c)
        profile.centre[c] = raw.level[std::min(c, raw.level.size() - 1)];
    // The darkest place's gain over every position.
    const int positions = raw.positions();
    for (std::int32_t y = 0; y < sum.height; ++y) {
        for (std::int32_t x = 0; x < sum.width; ++x) {
            for (int c = 0; c < sum.channels; ++c) {
                const float f = sum.at(x, y, c);
                const int p = raw.cfa.empty() ? c : PositionAt(raw.cfa, x, y);
                if (f > 0 && p < positions)
                    measured.largestGain =
                        std::max(measured.largestGain, raw.level[std::size_t(p)] / f);
            }
        }
    }
    profile.raw = std::move(raw);
    return measured;
}

}  // namespace velmora
