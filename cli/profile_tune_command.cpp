#include <QFileInfo>
#include <cmath>
#include <exception>
#include <new>

#include "cli/commands.h"
#include "cli/console.h"
#include "correction/flat_field.h"
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
    try {
        ProfileMeasurement measurement{options.references, {}, options.shot, options.force};
        if (options.smoothSet) measurement.smoothRadius = options.smoothRadius;
        const MeasuredProfile measured = MeasureLensProfile(measurement);
        WarnAbout(measured, options);
        SaveLensProfile(measured.profile, options.profileFile);
        PrintSummary(measured.profile, options.profileFile, options.references);
    } catch (const std::bad_alloc&) {
        ReportProblem("nothing was written: out of memory.");
        return kSomeFailed;
    } catch (const std::exception& error) {
        ReportProblem("nothing was written: " + Explained(error));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace velmora
