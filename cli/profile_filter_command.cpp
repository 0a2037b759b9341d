#include "cli/profile_filter_command.h"

#include <QDir>
#include <QHash>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "cli/batch_run.h"
#include "cli/console.h"
#include "cli/job_runner.h"
#include "cli/tone_table_cache.h"
#include "correction/error.h"
#include "correction/gain_steps.h"
#include "correction/lens_profile.h"
#include "correction/profile_gain.h"
#include "platform/flat_resample.h"
#include "platform/lens_profile_file.h"
#include "platform/photo_file.h"

namespace velmora {
namespace {

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// The gains at every place of a picture: as floats for 16 bits, as steps for 8 (see GainStep).
struct Gains {
    std::vector<float> gains;
    std::vector<std::uint16_t> steps;
};

// The flat and its centre levels as code values of a picture's curves (`tables`, one per
// channel), for gains that multiply code values: C and F through the same curve as the samples.
FlatField InCodeValues(FlatField flat, std::array<double, 3>& centre,
                       const std::vector<const ToneTables*>& tables) {
    const auto curveOf = [&](std::size_t channel) {
        return tables[std::min(channel, tables.size() - 1)];
    };
    for (std::size_t c = 0; c < 3; ++c)
        centre[c] = curveOf(c)->ToCode(centre[c]);
    const std::size_t channels = std::size_t(flat.channels);
    for (std::size_t i = 0; i < flat.values.size(); ++i)
        flat.values[i] = float(curveOf(i % channels)->ToCode(flat.values[i]));
    return flat;
}

// The gains of every picture size and depth met in the batch, made once and then shared; in
// code values also once per curve.
class GainCache {
  public:
    GainCache(const LensProfile& profile, CorrectWhat what, FlatFit fit, int jobs)
        : profile_(profile), what_(what), fit_(fit), jobs_(jobs) {}

    // `codeCurves`: null for gains of light, else the picture's curves at 16 bits.
    std::shared_ptr<const Gains> For(std::int32_t width, std::int32_t height, int channels,
                                     int bits, const ToneTableCache::Entry* codeCurves) {
        const QString key = QString("%1x%2x%3x%4/%5")
                                .arg(width)
                                .arg(height)
                                .arg(channels)
                                .arg(bits)
                                .arg(quintptr(codeCurves));
        // One lock for the whole computation: pictures of a new size wait for its gains
        // rather than computing them again.
        const std::lock_guard lock(mutex_);
        if (const auto found = gains_.constFind(key); found != gains_.constEnd()) return *found;
        const bool sameSize = profile_.flat.width == width && profile_.flat.height == height;
        std::array<double, 3> centre = profile_.centre;
        FlatField resampled;
        if (!sameSize) resampled = ResampleFlat(profile_.flat, width, height, fit_);
        if (codeCurves != nullptr) {
            resampled =
                InCodeValues(sameSize ? profile_.flat : resampled, centre, codeCurves->pointers());
        }
        const FlatField& flat = resampled.values.empty() ? profile_.flat : resampled;
        auto gains = std::make_shared<Gains>();
        const std::size_t values = flat.places() * std::size_t(channels);
        if (bits == 8) {
            gains->steps.resize(values);
        } else {
            gains->gains.resize(values);
        }
        // In bands on every job's thread: the other jobs would only wait for these gains.
        const std::size_t bandPlaces = 1 << 16;
        const int bands = int((flat.places() + bandPlaces - 1) / bandPlaces);
        RunJobs(bands, jobs_, [&](int band) {
            const std::size_t first = std::size_t(band) * bandPlaces;
            const std::size_t places = std::min(bandPlaces, flat.places() - first);
            const std::size_t at = first * std::size_t(channels);
            if (bits == 8) {
                ComputeGainSteps(flat, centre, what_, channels, first, places,
                                 gains->steps.data() + at);
            } else {
                ComputeGains(flat, centre, what_, channels, first, places,
                             gains->gains.data() + at);
            }
        });
        gains_.insert(key, gains);
        return gains;
    }

  private:
    const LensProfile& profile_;
    const CorrectWhat what_;
    const FlatFit fit_;
    const int jobs_;
    std::mutex mutex_;
    QHash<QString, std::shared_ptr<const Gains>> gains_;
};

void CheckFits(const QString& input, const Photo& photo, const FlatField& flat, bool cropCentre) {
    if (cropCentre || SameAspect(flat, photo.width, photo.height)) return;
    throw Error(ErrorKind::Picture,
                QString("the picture is %1 x %2 pixels, but the lens profile was measured on "
                        "%3 x %4, another aspect ratio; nothing was written. If the picture is a "
                        "centred crop of the same sensor, add --crop centre.")
                    .arg(photo.width)
                    .arg(photo.height)
                    .arg(flat.width)
                    .arg(flat.height)
                    .toStdString());
    (void)input;
}

void Correct(Photo& photo, const Gains& gains, const ToneTableCache::Entry& tables,
             GainSpace space) {
    const std::vector<const ToneTables*> perChannel = tables.pointers();
    const std::vector<const GainLookup*> lookups = tables.lookupPointers();
    const std::size_t rowGains = std::size_t(photo.width) * std::size_t(photo.colourChannels);
    for (std::int32_t y = 0; y < photo.height; ++y) {
        const std::size_t at = std::size_t(y) * rowGains;
        if (photo.bits == 16) {
            ApplyGainRow(photo.samples16() + std::size_t(y) * photo.rowSamples(), photo.width,
                         photo.samplesPerPixel, photo.colourChannels, gains.gains.data() + at,
                         perChannel.data(), space);
        } else {
            ApplyGainStepsRow(photo.samples8() + std::size_t(y) * photo.rowSamples(), photo.width,
                              photo.samplesPerPixel, photo.colourChannels, gains.steps.data() + at,
                              lookups.data());
        }
    }
}

}  // namespace

int RunProfileFilterCommand(const FilterOptions& options) {
    const OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.profileFile,
                    FormatSuffix(options.format), "lens profile");
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }
    LensProfile profile;
    try {
        profile = LoadLensProfile(options.profileFile);
    } catch (const std::exception& error) {
        ReportProblem("nothing was done: " + QString::fromStdString(error.what()));
        return kSomeFailed;
    }
    ToneTableCache curves;
    GainCache gains(profile, options.correct,
                    options.cropCentre ? FlatFit::CropCentre : FlatFit::SameAspect, options.jobs);
    return RunBatch(plan, options.jobs, options.quiet,
                    [&](const PlannedPicture& picture, ProgressReport& report) {
                        // Each worker hands its pixel buffer on to its next picture.
                        thread_local std::vector<std::uint8_t> spare;
                        Photo photo = ReadPhoto(picture.input, true, std::move(spare));
                        CheckFits(picture.input, photo, profile.flat, options.cropCentre);
                        const auto tables = curves.TablesFor(
                            photo.colourProfile, photo.colourChannels, photo.bits, options.space);
                        if (!tables->note.isEmpty() && options.space == GainSpace::Linear) {
                            report.Warn(Native(picture.input) + ": Warning: " + tables->note);
                        }
                        // Code values are multiplied by the ratio of the card's code values,
                        // through the picture's curve at 16 bits for a smooth inverse.
                        const auto codeCurves =
                            options.space == GainSpace::Code
                                ? curves.TablesFor(photo.colourProfile, photo.colourChannels, 16)
                                : nullptr;
                        const auto g = gains.For(photo.width, photo.height, photo.colourChannels,
                                                 photo.bits, codeCurves.get());
                        Correct(photo, *g, *tables, options.space);
                        WritePhoto(photo, picture.output, options.format, options.quality,
                                   Durability::FlushLater);
                        spare = std::move(photo.bytes);
                    });
}

}  // namespace velmora
