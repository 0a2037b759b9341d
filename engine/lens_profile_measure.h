#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "correction/cfa_planes.h"
#include "correction/lens_profile.h"
#include "correction/profile_choice.h"

namespace velmora {

// What measuring a lens profile takes: evenly lit references (grey cards, a white wall) shot
// through the lens, all of one size.
struct ProfileMeasurement {
    QStringList references;
    std::optional<int> smoothRadius;        // none: DefaultProfileSmoothRadius
    ShotSettings given;                     // settings that replace what the references record
    bool force = false;                     // take references shot with other settings together
    QString dark;                           // raw references: a dark frame subtracted from each
    PlaneLevel level = PlaneLevel::Centre;  // what each channel (or plane) is normalised to
};

// A reference whose settings differ from the first one's.
struct ShotDifference {
    QString reference;
    ShotSettings shot;
    std::vector<ShotSetting> settings;  // which ones differ (see DifferingSettings)
};

// A profile measured, with what the user should know of its references.
struct MeasuredProfile {
    LensProfile profile;
    std::vector<ShotDifference> forced;  // the differences `force` let through
    struct Clipped {
        QString reference;
        std::int64_t samples = 0;  // at full scale
    };
    std::vector<Clipped> clipped;
    // The reference whose light departs most from the others', when more than their noise
    // explains (the light or the card moved between shots).
    struct Moved {
        QString reference;
        double largest = 0;        // the largest relative difference at some place
        double noiseExplains = 0;  // what their noise alone would make
    };
    std::optional<Moved> moved;
    double largestGain = 1;  // the darkest place's, over every channel
};

// "b.png (Canon EOS R5, 50 mm, f/2.8) differs from a.png (Canon EOS R5, 50 mm, f/2) in
// f-number; ...": each difference from the first reference, shot with `firstShot`.
QString DescribeDifferences(const std::vector<ShotDifference>& differences, const QString& first,
                            const ShotSettings& firstShot);

// The smoothing radius a profile of width x height takes by default: the longer side / 300, at
// least 2 (20 for 6000 x 4000), a radius that keeps a dust spot and the shape of the falloff
// while averaging away a card's noise.
int DefaultProfileSmoothRadius(std::int32_t width, std::int32_t height);

// A gain above this lifts the noise of the darkest place eight times; worth a word.
inline constexpr double kHighGain = 8.0;

// Decodes every reference to linear light through its own curve, averages them place by place,
// smooths the mean (see SmoothFlatField) and takes the centre level of each channel (see
// CentreLevels); the shot settings are the first reference's, each given one in its place.
// Raises ErrorKind::Picture listing each reference's size when they differ in size or kind,
// and (Problem::ShotsDiffer) naming each difference when the references were shot otherwise and
// `force` is not set; what reading raises.
// Raw references (see IsRawFile) give a raw profile instead (see MeasureRawProfile).
MeasuredProfile MeasureLensProfile(const ProfileMeasurement& measurement);

// The settings the references were shot with: the first one's, each given one in its place.
// Raises (Problem::ShotsDiffer) naming each difference unless `force` is set, which lets them
// through into `measured.forced`.
ShotSettings ShotOfReferences(const ProfileMeasurement& measurement, MeasuredProfile& measured);

}  // namespace velmora
