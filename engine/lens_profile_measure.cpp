#include "engine/lens_profile_measure.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

#include "correction/error.h"
#include "correction/flat_field.h"
#include "correction/profile_choice.h"
#include "engine/raw_profile_measure.h"
#include "engine/shot_text.h"
#include "engine/tone_table_cache.h"
#include "platform/native_path.h"
#include "platform/photo_file.h"
#include "platform/photo_metadata.h"
#include "platform/raw_file.h"

namespace velmora {
namespace {

// Raises when the references differ in size or kind, listing each one's.
void CheckSameSize(const QStringList& references) {
    QStringList sizes;
    QString first;
    bool differ = false;
    for (const QString& reference : references) {
        const PhotoHeader head = PhotoFile::Open(reference).header();
        const QString kind =
            QString("%1x%2x%3").arg(head.width).arg(head.height).arg(head.colourChannels);
        if (first.isEmpty()) first = kind;
        differ = differ || kind != first;
        sizes << QString("%1 is %2 x %3 %4")
                     .arg(Native(reference))
                     .arg(head.width)
                     .arg(head.height)
                     .arg(head.colourChannels == 1 ? "grey" : "colour");
    }
    if (!differ) return;
    throw Error(ErrorKind::Picture,
                ("the references must all be of one size and kind; " + sizes.join("; ") + ".")
                    .toStdString());
}

ShotSettings WithGiven(ShotSettings shot, const ShotSettings& given) {
    if (!given.make.empty()) shot.make = given.make;
    if (!given.model.empty()) shot.model = given.model;
    if (!given.lens.empty()) shot.lens = given.lens;
    if (given.focalLength > 0) shot.focalLength = given.focalLength;
    if (given.fNumber > 0) shot.fNumber = given.fNumber;
    if (given.focusDistance > 0) shot.focusDistance = given.focusDistance;
    return shot;
}

// What a reference records of how it was shot: a raw file's header, else its EXIF.
ShotSettings ShotOf(const QString& reference) {
    return IsRawFile(reference) ? ReadRawHeader(reference).shot : ReadShotSettings(reference);
}

}  // namespace

ShotSettings ShotOfReferences(const ProfileMeasurement& measurement, MeasuredProfile& measured) {
    const QString& first = measurement.references.front();
    const ShotSettings shot = WithGiven(ShotOf(first), measurement.given);
    std::vector<ShotDifference> differences;
    for (const QString& reference : measurement.references.mid(1)) {
        const ShotSettings other = WithGiven(ShotOf(reference), measurement.given);
        std::vector<ShotSetting> differ = DifferingSettings(shot, other);
        if (!differ.empty()) differences.push_back({reference, other, std::move(differ)});
    }
    if (!differences.empty() && !measurement.force) {
        throw Error(ErrorKind::Picture,
                    ("the references were not shot alike: " +
                     DescribeDifferences(differences, first, shot) + ".")
                        .toStdString(),
                    ErrorFields(Problem::ShotsDiffer));
    }
    measured.forced = std::move(differences);
    return shot;
}

namespace {

// Decodes `photo` into the running sum with its own curves.
ReferenceStats AddPhoto(FlatField& sum, const Photo& photo, ToneTableCache& cache) {
    const PhotoHeader& header = photo.header;
    const auto tables = cache.TablesFor(header.colourProfile, header.colourChannels, header.bits);
    const std::vector<const ToneTables*> pointers = tables->pointers();
    if (header.bits == 16) {
        return AddReference(sum, photo.samples16.data(), header.rowSamples(),
                            header.samplesPerPixel, pointers.data());
    }
    return AddReference(sum, photo.samples8.data(), header.rowSamples(), header.samplesPerPixel,
                        pointers.data());
}

}  // namespace

QString DescribeDifferences(const std::vector<ShotDifference>& differences, const QString& first,
                            const ShotSettings& firstShot) {
    QStringList lines;
    for (const ShotDifference& difference : differences) {
        QStringList names;
        for (const std::string& name : SettingNames(difference.settings))
            names << QString::fromStdString(name);
        lines << QString("%1 (%2) differs from %3 (%4) in %5")
                     .arg(Native(difference.reference))
                     .arg(QString::fromStdString(DescribeShot(difference.shot)))
                     .arg(Native(first))
                     .arg(QString::fromStdString(DescribeShot(firstShot)))
                     .arg(names.join(", "));
    }
    return lines.join("; ");
}

int DefaultProfileSmoothRadius(std::int32_t width, std::int32_t height) {
    return std::max(2, int(std::lround(std::max(width, height) / 300.0)));
}

MeasuredProfile MeasureLensProfile(const ProfileMeasurement& measurement) {
    if (std::any_of(measurement.references.begin(), measurement.references.end(), IsRawFile)) {
        return MeasureRawProfile(measurement);
    }
    if (!measurement.dark.isEmpty()) {
        throw Error(ErrorKind::Picture, "a dark frame is subtracted from raw references only; " +
                                            Native(measurement.references.front()).toStdString() +
                                            " is a rendered picture.");
    }
    CheckSameSize(measurement.references);
    MeasuredProfile measured;
    LensProfile& profile = measured.profile;
    profile.shot = ShotOfReferences(measurement, measured);
    ToneTableCache cache;
    FlatField& sum = profile.flat;
    std::vector<ReferenceStats> stats;
    for (const QString& reference : measurement.references) {
        const Photo photo = ReadPhoto(reference);
        if (sum.values.empty()) {
            sum.width = std::int32_t(photo.header.width);
            sum.height = std::int32_t(photo.header.height);
            sum.channels = photo.header.colourChannels;
            sum.values.assign(sum.places() * std::size_t(sum.channels), 0.0f);
        }
        profile.referenceBits = std::max(profile.referenceBits, photo.header.bits);
        stats.push_back(AddPhoto(sum, photo, cache));
        if (stats.back().clippedSamples > 0) {
            measured.clipped.push_back({reference, stats.back().clippedSamples});
        }
        profile.references.push_back(QFileInfo(reference).fileName().toStdString());
    }
    const float share = 1.0f / float(measurement.references.size());
    for (float& value : sum.values)
        value *= share;

    const ReferenceSpread spread = CompareReferences(stats, sum.channels, sum.width, sum.height);
    if (spread.reference >= 0 && spread.largest > std::max(spread.noiseExplains, 0.01)) {
        measured.moved = MeasuredProfile::Moved{measurement.references[spread.reference],
                                                spread.largest, spread.noiseExplains};
    }
    profile.smoothRadius =
        measurement.smoothRadius.value_or(DefaultProfileSmoothRadius(sum.width, sum.height));
    SmoothFlatField(sum, profile.smoothRadius);
    profile.centre = CentreLevels(sum, std::max(2, std::min(sum.width, sum.height) / 100));
    if (measurement.level == PlaneLevel::Mean) profile.centre = MeanLevels(sum);
    const std::array<double, 3> gains = LargestGains(sum, profile.centre);
    measured.largestGain = *std::max_element(gains.begin(), gains.begin() + sum.channels);
    return measured;
}

}  // namespace velmora
