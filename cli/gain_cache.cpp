#include "cli/gain_cache.h"

#include <algorithm>
#include <utility>

#include "cli/job_runner.h"
#include "correction/gain_steps.h"

namespace velmora {
namespace {

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

}  // namespace

void GainCache::Forget(const QString& source) {
    const std::lock_guard lock(mutex_);
    gains_.remove(source);
}

std::shared_ptr<const Gains> GainCache::For(const QString& source, const LensProfile& profile,
                                            std::int32_t width, std::int32_t height, int channels,
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
    QHash<QString, std::shared_ptr<const Gains>>& ofSource = gains_[source];
    if (const auto found = ofSource.constFind(key); found != ofSource.constEnd()) return *found;
    const bool sameSize = profile.flat.width == width && profile.flat.height == height;
    std::array<double, 3> centre = profile.centre;
    FlatField resampled;
    if (!sameSize) resampled = ResampleFlat(profile.flat, width, height, fit_);
    if (codeCurves != nullptr) {
        resampled =
            InCodeValues(sameSize ? profile.flat : resampled, centre, codeCurves->pointers());
    }
    const FlatField& flat = resampled.values.empty() ? profile.flat : resampled;
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
            ComputeGains(flat, centre, what_, channels, first, places, gains->gains.data() + at);
        }
    });
    ofSource.insert(key, gains);
    return gains;
}

}  // namespace velmora
