#include "cli/profile_filter_command.h"

#include <QDir>
#include <exception>
#include <future>
#include <memory>

#include "cli/batch_run.h"
#include "cli/console.h"
#include "cli/gain_cache.h"
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

void CheckFits(const Photo& photo, const FlatField& flat, bool cropCentre) {
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
}

void ApplyGains(Photo& photo, const Gains& gains, const ToneTableCache::Entry& tables,
                GainSpace space) {
    const std::vector<const ToneTables*> perChannel = tables.pointers();
    const std::vector<const GainLookup*> lookups = tables.lookupPointers();
    const std::size_t rowGains = std::size_t(photo.width) * std::size_t(photo.colourChannels);
    std::vector<float> scratch;
    for (std::int32_t y = 0; y < photo.height; ++y) {
        const std::size_t at = std::size_t(y) * rowGains;
        if (photo.bits == 16) {
            ApplyGainRow(photo.samples16() + std::size_t(y) * photo.rowSamples(), photo.width,
                         photo.samplesPerPixel, photo.colourChannels,
                         gains.Floats(at, rowGains, scratch), perChannel.data(), space);
        } else {
            ApplyGainStepsRow(photo.samples8() + std::size_t(y) * photo.rowSamples(), photo.width,
                              photo.samplesPerPixel, photo.colourChannels, gains.steps.data() + at,
                              lookups.data());
        }
    }
}

}  // namespace

ProfileCorrector::ProfileCorrector(const FilterOptions& options)
    : options_(options),
      gains_(options.correct, options.cropCentre ? FlatFit::CropCentre : FlatFit::SameAspect,
             options.jobs) {}

void ProfileCorrector::Correct(Photo& photo, const QString& input, const QString& source,
                               const std::vector<Part>& parts, ProgressReport& report,
                               const MonotoneCubic* cubic) {
    for (const Part& part : parts)
        CheckFits(photo, *part.frame, options_.cropCentre);
    const auto tables =
        curves_.TablesFor(photo.colourProfile, photo.colourChannels, photo.bits, options_.space);
    if (!tables->note.isEmpty() && options_.space == GainSpace::Linear) {
        report.Warn(Native(input) + ": Warning: " + tables->note);
    }
    // Code values are multiplied by the ratio of the card's code values, through the picture's
    // curve at 16 bits for a smooth inverse.
    const auto codeCurves = options_.space == GainSpace::Code
                                ? curves_.TablesFor(photo.colourProfile, photo.colourChannels, 16)
                                : nullptr;
    const auto find = [&](const QString& key) {
        return gains_.Find(key, photo.width, photo.height, photo.colourChannels, photo.bits,
                           codeCurves.get());
    };
    std::shared_ptr<const Gains> gains = find(source);
    if (gains == nullptr) {
        std::vector<std::shared_ptr<const Gains>> partGains;
        std::vector<double> weights;
        for (const Part& part : parts) {
            std::shared_ptr<const Gains> made = find(part.source);
            if (made == nullptr) {
                made = gains_.For(part.source, part.load(), photo.width, photo.height,
                                  photo.colourChannels, photo.bits, codeCurves.get());
                if (part.made) part.made();
            }
            partGains.push_back(std::move(made));
            weights.push_back(part.weight);
        }
        gains = parts.size() == 1
                    ? partGains.front()
                    : gains_.Blend(source, partGains, weights, cubic, photo.width, photo.height,
                                   photo.colourChannels, photo.bits, codeCurves.get());
    }
    ApplyGains(photo, *gains, *tables, options_.space);
}

int RunProfileFilterCommand(const FilterOptions& options) {
    const OutputPlan plan =
        PlanOutputs(options.inputs, options.outputFile, options.outputFolder, options.profileFile,
                    FormatSuffix(options.format), "lens profile");
    if (!plan.refusal.isEmpty()) {
        ReportUsageError("nothing was done: " + plan.refusal, "filter");
        return kUsageError;
    }
    // Read while the first pictures decode, which would otherwise wait for it: a 24-megapixel
    // profile takes 0.25 s of processor time. A profile that cannot be read stops the batch
    // before any picture is written.
    std::shared_future<LensProfile> loading = std::async(std::launch::async, [&options] {
        return LoadLensProfile(options.profileFile, FlatValues::AsStored);
    });
    const auto profileOrStop = [&loading]() -> const LensProfile& {
        // Each thread waits through a copy of its own, as shared futures want.
        const std::shared_future<LensProfile> mine = loading;
        try {
            return mine.get();
        } catch (const std::exception&) {
            throw BatchStopped();
        }
    };
    ProfileCorrector corrector(options);
    const int status = RunBatch(plan, options.jobs, options.quiet,
                                [&](const PlannedPicture& picture, ProgressReport& report) {
                                    // Each worker hands its pixel buffer on to its next picture.
                                    thread_local std::vector<std::uint8_t> spare;
                                    Photo photo = ReadPhoto(picture.input, true, std::move(spare));
                                    const LensProfile& profile = profileOrStop();
                                    // The batch's one profile lives as long as the batch: handed on
                                    // without owning it.
                                    const auto load = [&profile] {
                                        return std::shared_ptr<const LensProfile>(
                                            &profile, [](const LensProfile*) {});
                                    };
                                    corrector.Correct(photo, picture.input, {},
                                                      {{{}, &profile.flat, load, 1.0, {}}}, report);
                                    WritePhoto(photo, picture.output, options.format,
                                               options.quality, Durability::FlushLater);
                                    spare = std::move(photo.bytes);
                                });
    // Waited for here too, so that a batch whose pictures all failed still reports a bad profile.
    try {
        loading.get();
    } catch (const std::exception& error) {
        ReportProblem("nothing was done: " + QString::fromStdString(error.what()));
        return kSomeFailed;
    }
    return status;
}

}  // namespace velmora
