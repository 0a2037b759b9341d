#include "cli/gain_cache.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "cli/job_runner.h"
#include "correction/gain_steps.h"
#include "correction/profile_blend.h"

namespace velmora {
namespace {

QString SizeKey(std::int32_t width, std::int32_t height, int channels, int bits,
                const ToneTableCache::Entry* codeCurves) {
    return QString("%1x%2x%3x%4/%5")
        .arg(width)
        .arg(height)
        .arg(channels)
        .arg(bits)
        .arg(quintptr(codeCurves));
}

// In bands on every job's thread: the other jobs would only wait for these gains.
constexpr std::size_t kBandPlaces = 1 << 16;

void InBands(std::size_t places, int jobs,
             const std::function<void(std::size_t, std::size_t)>& band) {
    const int bands = int((places + kBandPlaces - 1) / kBandPlaces);
    RunJobs(bands, jobs, [&](int i) {
        const std::size_t first = std::size_t(i) * kBandPlaces;
        band(first, std::min(kBandPlaces, places - first));
    });
}

}  // namespace

std::shared_ptr<const Gains> GainCache::Find(const QString& source, std::int32_t width,
                                             std::int32_t height, int channels, int bits,
                                             const ToneTableCache::Entry* codeCurves) {
    const std::lock_guard lock(mutex_);
    const auto ofSource = gains_.constFind(source);
    if (ofSource == gains_.constEnd()) return nullptr;
    return ofSource->value(SizeKey(width, height, channels, bits, codeCurves));
}

void GainCache::Forget(const QString& source) {
    const std::lock_guard lock(mutex_);
    gains_.remove(source);
}

const float* Gains::Floats(std::size_t at, std::size_t count, std::vector<float>& scratch) const {
    if (byValue == nullptr) return gains.data() + at;
    const std::size_t channels = std::size_t(profile->flat.channels);
    scratch.resize(count);
    byValue->Gains(profile->fileValues.data() + at, count / channels, scratch.data());
    return scratch.data();
}

std::shared_ptr<const Gains> GainCache::For(const QString& source,
                                            std::shared_ptr<const LensProfile> kept,
                                            std::int32_t width, std::int32_t height, int channels,
                                            int bits, const ToneTableCache::Entry* codeCurves) {
    const LensProfile& profile = *kept;
    const QString key = SizeKey(width, height, channels, bits, codeCurves);
    // One lock for the whole computation: pictures of a new size wait for its gains
    // rather than computing them again.
    const std::lock_guard lock(mutex_);
    QHash<QString, std::shared_ptr<const Gains>>& ofSource = gains_[source];
    if (const auto found = ofSource.constFind(key); found != ofSource.constEnd()) return *found;
    const bool sameSize = profile.flat.width == width && profile.flat.height == height;
    std::array<double, 3> centre = profile.centre;
    auto gains = std::make_shared<Gains>();
    const std::size_t places = std::size_t(width) * std::size_t(height);
    const std::size_t values = places * std::size_t(channels);
    const std::vector<const ToneTables*> curves =
        codeCurves == nullptr ? std::vector<const ToneTables*>{} : codeCurves->pointers();
    // The usual case: the file's values, each looked up once per channel; by 16-bit pictures
    // row by row as they are corrected.
    if (sameSize && what_ == CorrectWhat::Both && !profile.fileValues.empty() &&
        profile.flat.channels == channels) {
        auto lookup = std::make_shared<const FileValueGains>(centre, channels, curves);
        if (bits == 8) {
            gains->steps.resize(values);
            InBands(places, jobs_, [&](std::size_t first, std::size_t count) {
                const std::size_t at = first * std::size_t(channels);
                lookup->Steps(profile.fileValues.data() + at, count, gains->steps.data() + at);
            });
        } else {
            gains->profile = std::move(kept);
            gains->byValue = std::move(lookup);
        }
        ofSource.insert(key, gains);
        return gains;
    }
    if (bits == 8) {
        gains->steps.resize(values);
    } else {
        gains->gains.resize(values);
    }
    FlatField withValues;
    if (profile.flat.values.empty()) withValues = FlatWithValues(profile);
    const FlatField& full = withValues.values.empty() ? profile.flat : withValues;
    FlatField resampled;
    if (!sameSize) resampled = ResampleFlat(full, width, height, fit_);
    if (!curves.empty()) {
        // Converted in a copy of its own; one made for this size is taken over.
        if (sameSize) resampled = withValues.values.empty() ? profile.flat : std::move(withValues);
        centre = CentreInCodeValues(centre, curves);
        const int flatChannels = resampled.channels;
        InBands(resampled.places(), jobs_, [&](std::size_t first, std::size_t count) {
            const std::size_t at = first * std::size_t(flatChannels);
            FlatInCodeValues(resampled.values.data() + at, count * std::size_t(flatChannels),
                             flatChannels, curves);
        });
    }
    const FlatField& flat = resampled.values.empty() ? full : resampled;
    InBands(places, jobs_, [&](std::size_t first, std::size_t count) {
        const std::size_t at = first * std::size_t(channels);
        if (bits == 8) {
            ComputeGainSteps(flat, centre, what_, channels, first, count, gains->steps.data() + at);
        } else {
            ComputeGains(flat, centre, what_, channels, first, count, gains->gains.data() + at);
        }
    });
    ofSource.insert(key, gains);
    return gains;
}

}  // namespace velmora

namespace velmora {

std::shared_ptr<const Gains> GainCache::Blend(
    const QString& source, const std::vector<std::shared_ptr<const Gains>>& parts,
    const std::vector<double>& weights, const MonotoneCubic* cubic, std::int32_t width,
    std::int32_t height, int channels, int bits, const ToneTableCache::Entry* codeCurves) {
    const QString key = SizeKey(width, height, channels, bits, codeCurves);
    const std::lock_guard lock(mutex_);
    QHash<QString, std::shared_ptr<const Gains>>& ofSource = gains_[source];
    if (const auto found = ofSource.constFind(key); found != ofSource.constEnd()) return *found;
    auto gains = std::make_shared<Gains>();
    const std::size_t places = std::size_t(width) * std::size_t(height);
    const std::size_t perPlace = std::size_t(channels);
    std::vector<const std::uint16_t*> steps;
    for (const auto& part : parts)
        steps.push_back(part->steps.data());
    if (bits == 8) {
        gains->steps.resize(places * perPlace);
    } else {
        gains->gains.resize(places * perPlace);
    }
    InBands(places, jobs_, [&](std::size_t first, std::size_t count) {
        const std::size_t at = first * perPlace;
        const std::size_t gainCount = count * perPlace;
        std::vector<const std::uint16_t*> stepsAt;
        std::vector<const float*> floatsAt;
        std::vector<std::vector<float>> scratch(parts.size());
        for (std::size_t i = 0; i < parts.size(); ++i) {
            stepsAt.push_back(steps[i] + at);
            if (bits != 8) floatsAt.push_back(parts[i]->Floats(at, gainCount, scratch[i]));
        }
        if (bits == 8 && cubic != nullptr) {
            CubicGainSteps(stepsAt, *cubic, gainCount, gains->steps.data() + at);
        } else if (bits == 8) {
            BlendGainSteps(stepsAt, weights, gainCount, gains->steps.data() + at);
        } else if (cubic != nullptr) {
            CubicGains(floatsAt, *cubic, gainCount, gains->gains.data() + at);
        } else {
            BlendGains(floatsAt, weights, gainCount, gains->gains.data() + at);
        }
    });
    ofSource.insert(key, gains);
    return gains;
}

}  // namespace velmora
