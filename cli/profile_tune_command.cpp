#include "cli/profile_tune_command.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>
#include <exception>
#include <new>

#include "cli/console.h"
#include "cli/output_plan.h"
#include "cli/tone_table_cache.h"
#include "correction/error.h"
#include "correction/lens_profile.h"
#include "correction/profile_choice.h"
#include "platform/lens_profile_file.h"
#include "platform/photo_file.h"
#include "platform/photo_metadata.h"

namespace velmora {
namespace {

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// A gain above this lifts the noise of the darkest place eight times; worth a word.
constexpr double kHighGain = 8.0;

// Empty when every reference has the first one's size and channels, else each one's.
QString SizeMismatch(const QStringList& references) {
    QStringList sizes;
    QString first;
    bool differ = false;
    for (const QString& reference : references) {
        const Photo head = ReadPhoto(reference, false);
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
    return differ ? sizes.join("; ") : QString();
}

double Ev(double centre, double level) {
    return level > 0 ? std::log2(centre / level) : HUGE_VAL;
}

void PrintSummary(const LensProfile& profile, const QString& file, const QStringList& references) {
    const FlatField& flat = profile.flat;
    const int window = std::max(2, std::min(flat.width, flat.height) / 100);
    const auto corners = CornerLevels(flat, window);
    WriteLine(stdout, QString("Measured lens profile %1 from %2 reference(s) of %3 x %4 pixels, "
                              "%5 bits, smoothed with radius %6.")
                          .arg(Native(file))
                          .arg(references.size())
                          .arg(flat.width)
                          .arg(flat.height)
                          .arg(profile.referenceBits)
                          .arg(profile.smoothRadius));
    WriteLine(stdout, "  shot with: " + QString::fromStdString(DescribeShot(profile.shot)));
    const char* names[] = {"red", "green", "blue"};
    for (int c = 0; c < flat.channels; ++c) {
        const double centre = profile.centre[std::size_t(c)];
        WriteLine(stdout, QString("  %1: centre %2 (linear); corners darker by %3, %4, %5, %6 EV")
                              .arg(flat.channels == 1 ? "grey" : names[c], -6)
                              .arg(centre, 0, 'f', 4)
                              .arg(Ev(centre, corners[0][std::size_t(c)]), 0, 'f', 2)
                              .arg(Ev(centre, corners[1][std::size_t(c)]), 0, 'f', 2)
                              .arg(Ev(centre, corners[2][std::size_t(c)]), 0, 'f', 2)
                              .arg(Ev(centre, corners[3][std::size_t(c)]), 0, 'f', 2));
    }
}

// Decodes `photo` into the running sum with its own curves.
ReferenceStats AddPhoto(FlatField& sum, const Photo& photo, ToneTableCache& cache) {
    const auto tables = cache.TablesFor(photo.colourProfile, photo.colourChannels, photo.bits);
    const std::vector<const ToneTables*> pointers = tables->pointers();
    if (photo.bits == 16) {
        return AddReference(sum, photo.samples16(), photo.rowSamples(), photo.samplesPerPixel,
                            pointers.data());
    }
    return AddReference(sum, photo.samples8(), photo.rowSamples(), photo.samplesPerPixel,
                        pointers.data());
}

void Warn(const QString& text) {
    ReportProblem("Warning: " + text);
}

// The settings the references were shot with: the first one's EXIF, each setting given on the
// command line in its place. References that disagree on a setting not given are refused
// (empty `refusal` otherwise) unless `force` takes them together.
struct ReferenceShot {
    ShotSettings shot;
    QString refusal;
    QString forced;  // what --force let through
};

ReferenceShot ShotOfReferences(const TuneOptions& options) {
    const ShotSettings& given = options.shot;
    const auto withGiven = [&given](ShotSettings shot) {
        if (!given.make.empty()) shot.make = given.make;
        if (!given.model.empty()) shot.model = given.model;
        if (!given.lens.empty()) shot.lens = given.lens;
        if (given.focalLength > 0) shot.focalLength = given.focalLength;
        if (given.fNumber > 0) shot.fNumber = given.fNumber;
        if (given.focusDistance > 0) shot.focusDistance = given.focusDistance;
        return shot;
    };
    ReferenceShot result;
    QStringList differences;
    for (const QString& reference : options.references) {
        const ShotSettings shot = withGiven(ReadShotSettings(reference));
        if (reference == options.references.front()) {
            result.shot = shot;
            continue;
        }
        const std::vector<std::string> differ = DifferingSettings(result.shot, shot);
        if (differ.empty()) continue;
        QStringList names;
        for (const std::string& name : differ)
            names << QString::fromStdString(name);
        differences << QString("%1 (%2) differs from %3 (%4) in %5")
                           .arg(Native(reference))
                           .arg(QString::fromStdString(DescribeShot(shot)))
                           .arg(Native(options.references.front()))
                           .arg(QString::fromStdString(DescribeShot(result.shot)))
                           .arg(names.join(", "));
    }
    if (!differences.isEmpty()) {
        (options.force ? result.forced : result.refusal) = differences.join("; ");
    }
    return result;
}

}  // namespace

int DefaultProfileSmoothRadius(std::int32_t width, std::int32_t height) {
    return std::max(2, int(std::lround(std::max(width, height) / 300.0)));
}

int RunProfileTuneCommand(const TuneOptions& options) {
    const QString profileIdentity = FileIdentity(options.profileFile);
    for (const QString& reference : options.references) {
        if (FileIdentity(reference) == profileIdentity) {
            ReportUsageError("nothing was done: the profile " + Native(options.profileFile) +
                                 " is the reference " + Native(reference) + ".",
                             "tune");
            return kUsageError;
        }
    }
    if (QFileInfo(options.profileFile).isDir()) {
        ReportUsageError(
            "nothing was done: the profile " + Native(options.profileFile) + " is a folder.",
            "tune");
        return kUsageError;
    }
    try {
        ToneTableCache cache;
        LensProfile profile;
        FlatField& sum = profile.flat;
        std::vector<ReferenceStats> stats;
        if (const QString mismatch = SizeMismatch(options.references); !mismatch.isEmpty()) {
            ReportProblem(
                "nothing was written: the references must all be of one size and "
                "kind; " +
                mismatch + ".");
            return kSomeFailed;
        }
        const ReferenceShot shot = ShotOfReferences(options);
        if (!shot.refusal.isEmpty()) {
            ReportProblem(
                "nothing was written: the references were not shot alike: " + shot.refusal +
                ". Give each setting of the lens on the command line, or add --force "
                "if they belong together.");
            return kSomeFailed;
        }
        if (!shot.forced.isEmpty()) {
            Warn(shot.forced + "; taken together as --force says, with the settings of " +
                 Native(options.references.front()) + ".");
        }
        profile.shot = shot.shot;
        for (const QString& reference : options.references) {
            Photo photo = ReadPhoto(reference);
            if (sum.values.empty()) {
                sum.width = photo.width;
                sum.height = photo.height;
                sum.channels = photo.colourChannels;
                sum.values.assign(sum.places() * std::size_t(sum.channels), 0.0f);
            }
            profile.referenceBits = std::max(profile.referenceBits, photo.bits);
            stats.push_back(AddPhoto(sum, photo, cache));
            if (stats.back().clippedSamples > 0) {
                Warn(QString("%1 has %2 samples at full scale (clipped); the profile is too dark "
                             "there. Shoot the card a little darker.")
                         .arg(Native(reference))
                         .arg(stats.back().clippedSamples));
            }
            profile.references.push_back(QFileInfo(reference).fileName().toStdString());
        }
        const float share = 1.0f / float(options.references.size());
        for (float& value : sum.values)
            value *= share;

        const ReferenceSpread spread =
            CompareReferences(stats, sum.channels, sum.width, sum.height);
        if (spread.reference >= 0 && spread.largest > std::max(spread.noiseExplains, 0.01)) {
            Warn(QString("the light of %1 differs from the other references' by up to %2 % at "
                         "some place, more than their noise explains (%3 %); did the light or "
                         "the card move between shots?")
                     .arg(Native(options.references[spread.reference]))
                     .arg(100 * spread.largest, 0, 'f', 1)
                     .arg(100 * spread.noiseExplains, 0, 'f', 2));
        }

        profile.smoothRadius = options.smoothSet
                                   ? options.smoothRadius
                                   : DefaultProfileSmoothRadius(sum.width, sum.height);
        SmoothFlatField(sum, profile.smoothRadius);
        profile.centre = CentreLevels(sum, std::max(2, std::min(sum.width, sum.height) / 100));
        const std::array<double, 3> gains = LargestGains(sum, profile.centre);
        const double largest = *std::max_element(gains.begin(), gains.begin() + sum.channels);
        if (largest > kHighGain) {
            Warn(QString("the darkest place of the flat needs a gain of %1 (above %2): its noise "
                         "will show. Is the card evenly lit and does it fill the frame?")
                     .arg(largest, 0, 'f', 1)
                     .arg(kHighGain));
        }
        SaveLensProfile(profile, options.profileFile);
        PrintSummary(profile, options.profileFile, options.references);
    } catch (const std::bad_alloc&) {
        ReportProblem("nothing was written: out of memory.");
        return kSomeFailed;
    } catch (const std::exception& error) {
        ReportProblem("nothing was written: " + QString::fromStdString(error.what()));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace velmora
