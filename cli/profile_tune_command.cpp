#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <exception>
#include <new>

#include "cli/commands.h"
#include "cli/console.h"
#include "correction/cfa_planes.h"
#include "correction/flat_field.h"
#include "engine/frame_calibration.h"
#include "engine/lens_profile_measure.h"
#include "engine/output_plan.h"
#include "engine/shot_text.h"
#include "platform/lens_profile_file.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

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

// A raw profile's falloff per colour of the pattern (both greens of Bayer apart), and the colour
// cast its corners would have: red and blue against green, in EV.
void PrintRawSummary(const LensProfile& profile, const QString& file,
                     const QStringList& references) {
    const RawProfileInfo& raw = *profile.raw;
    const FlatField& flat = profile.flat;
    WriteLine(stdout, QString("Measured raw lens profile %1 from %2 raw reference(s) of %3 x %4 "
                              "pixels (%5, %6), smoothed with radius %7 per plane; levels: %8.")
                          .arg(Native(file))
                          .arg(references.size())
                          .arg(flat.width)
                          .arg(flat.height)
                          .arg(QString::fromStdString(raw.camera))
                          .arg(QString::fromStdString(CfaDescription(raw.cfa)))
                          .arg(profile.smoothRadius)
                          .arg(raw.meanLevel ? "mean" : "centre"));
    WriteLine(stdout, "  shot with: " + QString::fromStdString(DescribeShot(profile.shot)));
    if (raw.cfa.empty()) return;
    const int planeSide =
        std::min(PlaneWidth(raw.cfa, 0, flat.width), PlaneHeight(raw.cfa, 0, flat.height));
    const auto corners = PlaneCorners(flat, raw.cfa, std::max(2, planeSide / 100));
    // Per named group of positions: its level and corners, averaged.
    struct Group {
        QString name;
        int colour;
        double level = 0;
        std::array<double, 4> corner{};
        int count = 0;
    };
    std::vector<Group> groups;
    const bool bayer = raw.cfa.width == 2;
    for (int p = 0; p < Positions(raw.cfa); ++p) {
        const int colour = raw.cfa.colour[std::size_t(p)];
        QString name = colour == 0 ? "red" : colour == 2 ? "blue" : "green";
        if (bayer && colour == 1) {
            const int row = p / 2;
            name += raw.cfa.colour[std::size_t(row * 2)] == 0 ||
                            raw.cfa.colour[std::size_t(row * 2 + 1)] == 0
                        ? " (red rows)"
                        : " (blue rows)";
        }
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const Group& g) { return g.name == name; });
        if (group == groups.end()) group = groups.insert(groups.end(), Group{name, colour});
        group->level += raw.level[std::size_t(p)];
        for (int k = 0; k < 4; ++k)
            group->corner[std::size_t(k)] += corners[std::size_t(p)][std::size_t(k)];
        ++group->count;
    }
    std::array<Group, 3> byColour{};
    for (Group& group : groups) {
        WriteLine(stdout, QString("  %1: level %2 of white; corners darker by %3, %4, %5, %6 EV")
                              .arg(group.name, -18)
                              .arg(group.level / group.count, 0, 'f', 4)
                              .arg(Ev(group.level, group.corner[0]), 0, 'f', 2)
                              .arg(Ev(group.level, group.corner[1]), 0, 'f', 2)
                              .arg(Ev(group.level, group.corner[2]), 0, 'f', 2)
                              .arg(Ev(group.level, group.corner[3]), 0, 'f', 2));
        Group& colour = byColour[std::size_t(group.colour)];
        colour.level += group.level;
        for (int k = 0; k < 4; ++k)
            colour.corner[std::size_t(k)] += group.corner[std::size_t(k)];
    }
    // The cast: how much darker red and blue fall than green at each corner.
    const auto cast = [&](int c, int k) {
        return Ev(byColour[1].level, byColour[1].corner[std::size_t(k)]) -
               Ev(byColour[std::size_t(c)].level, byColour[std::size_t(c)].corner[std::size_t(k)]);
    };
    WriteLine(stdout, QString("  colour cast at the corners uncorrected (against green): red %1, "
                              "%2, %3, %4 EV; blue %5, %6, %7, %8 EV")
                          .arg(cast(0, 0), 0, 'f', 2)
                          .arg(cast(0, 1), 0, 'f', 2)
                          .arg(cast(0, 2), 0, 'f', 2)
                          .arg(cast(0, 3), 0, 'f', 2)
                          .arg(cast(2, 0), 0, 'f', 2)
                          .arg(cast(2, 1), 0, 'f', 2)
                          .arg(cast(2, 2), 0, 'f', 2)
                          .arg(cast(2, 3), 0, 'f', 2));
}

void Warn(const QString& text) {
    ReportProblem("Warning: " + text);
}

// What the user should know of the references, as the measurement found it.
void WarnAbout(const MeasuredProfile& measured, const TuneOptions& options) {
    if (!measured.forced.empty()) {
        Warn(DescribeDifferences(measured.forced, options.references.front(),
                                 measured.profile.shot) +
             "; taken together as --force says, with the settings of " +
             Native(options.references.front()) + ".");
    }
    for (const MeasuredProfile::Clipped& clipped : measured.clipped) {
        Warn(QString("%1 has %2 samples at full scale (clipped); the profile is too dark there. "
                     "Shoot the card a little darker.")
                 .arg(Native(clipped.reference))
                 .arg(clipped.samples));
    }
    if (const auto& moved = measured.moved) {
        Warn(QString("the light of %1 differs from the other references' by up to %2 % at some "
                     "place, more than their noise explains (%3 %); did the light or the card "
                     "move between shots?")
                 .arg(Native(moved->reference))
                 .arg(100 * moved->largest, 0, 'f', 1)
                 .arg(100 * moved->noiseExplains, 0, 'f', 2));
    }
    if (measured.largestGain > kHighGain) {
        Warn(QString("the darkest place of the flat needs a gain of %1 (above %2): its noise will "
                     "show. Is the card evenly lit and does it fill the frame?")
                 .arg(measured.largestGain, 0, 'f', 1)
                 .arg(kHighGain));
    }
}

// The profile must not replace a reference or a folder.
QString RefusalFor(const TuneOptions& options) {
    const QString profileIdentity = FileIdentity(options.profileFile);
    for (const QString& reference : options.references) {
        if (FileIdentity(reference) == profileIdentity) {
            return "the profile " + Native(options.profileFile) + " is the reference " +
                   Native(reference) + ".";
        }
    }
    if (QFileInfo(options.profileFile).isDir()) {
        return "the profile " + Native(options.profileFile) + " is a folder.";
    }
    return {};
}

}  // namespace

int RunProfileTuneCommand(const TuneOptions& options) {
    if (const QString refusal = RefusalFor(options); !refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + refusal, "tune");
        return kUsageError;
    }
    const qsizetype frames = std::count_if(options.references.begin(), options.references.end(),
                                           [](const QString& r) { return IsFrameFile(r); });
    if (frames > 0 && frames < options.references.size()) {
        ReportUsageError(
            "nothing was done: frames (FITS, float TIFF) and pictures are not "
            "measured together.",
            "tune");
        return kUsageError;
    }
    if (frames > 0) return RunFrameTuneCommand(options);
    if (options.darks.size() > 1 || !options.bias.isEmpty() || options.darkScale) {
        ReportUsageError(
            "nothing was done: --bias, --dark-scale and more than one --dark serve "
            "frames (FITS, float TIFF).",
            "tune");
        return kUsageError;
    }
    return AllOrNothing([&] {
        ProfileMeasurement measurement{options.references, {},           options.shot,
                                       options.force,      options.dark, options.level};
        if (options.smoothSet) measurement.smoothRadius = options.smoothRadius;
        const MeasuredProfile measured = MeasureLensProfile(measurement);
        WarnAbout(measured, options);
        SaveLensProfile(measured.profile, options.profileFile);
        if (measured.profile.raw) {
            PrintRawSummary(measured.profile, options.profileFile, options.references);
        } else {
            PrintSummary(measured.profile, options.profileFile, options.references);
        }
    });
}

}  // namespace velmora
