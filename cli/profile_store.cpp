#include "cli/profile_store.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

#include "cli/job_runner.h"
#include "correction/error.h"
#include "correction/profile_blend.h"
#include "platform/flat_resample.h"
#include "platform/lens_profile_file.h"

namespace velmora {

QString ProfileStore::KeyOf(const ProfileParts& parts) {
    QString key;
    for (const ProfileChoice::Part& part : parts)
        key += QString("%1:%2;").arg(part.profile).arg(part.weight, 0, 'g', 12);
    return key;
}

void ProfileStore::Expect(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    Combination& combination = combinations_[KeyOf(parts)];
    if (combination.pictures++ == 0) {
        for (const ProfileChoice::Part& part : parts)
            ++combinationsOf_[part.profile];
    }
}

ProfileStore::Loading ProfileStore::ProfileLocked(int index) {
    Loading& loading = profiles_[index];
    if (!loading.valid()) {
        loading = std::async(std::launch::async, [path = paths_[std::size_t(index)]] {
                      return std::make_shared<const LensProfile>(LoadLensProfile(path));
                  }).share();
    }
    return loading;
}

void ProfileStore::Start(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    Combination& combination = combinations_[KeyOf(parts)];
    if (combination.loading.valid()) return;
    std::vector<Loading> loading;
    for (const ProfileChoice::Part& part : parts)
        loading.push_back(ProfileLocked(part.profile));
    combination.loading = std::async(std::launch::async, [this, parts, loading] {
                              return Blend(parts, loading);
                          }).share();
}

std::shared_ptr<const LensProfile> ProfileStore::Get(const ProfileParts& parts) {
    Start(parts);
    Loading loading;
    {
        const std::lock_guard lock(mutex_);
        loading = combinations_[KeyOf(parts)].loading;
    }
    return loading.get();
}

bool ProfileStore::Done(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    const auto combination = combinations_.find(KeyOf(parts));
    if (combination == combinations_.end() || --combination->second.pictures > 0) return false;
    combinations_.erase(combination);
    for (const ProfileChoice::Part& part : parts) {
        if (--combinationsOf_[part.profile] == 0) profiles_.erase(part.profile);
    }
    return true;
}

std::shared_ptr<const LensProfile> ProfileStore::Blend(const ProfileParts& parts,
                                                       const std::vector<Loading>& loading) const {
    std::vector<std::shared_ptr<const LensProfile>> profiles;
    for (const Loading& part : loading)
        profiles.push_back(part.get());
    if (profiles.size() == 1) return profiles.front();

    // The parts are blended at the size of the largest; one of another size is resampled to it.
    const auto largest = std::max_element(
        profiles.begin(), profiles.end(),
        [](const auto& a, const auto& b) { return a->flat.places() < b->flat.places(); });
    const FlatField& frame = (*largest)->flat;
    std::vector<FlatField> resampled(profiles.size());
    std::vector<const FlatField*> flats;
    std::vector<std::array<double, 3>> centres;
    std::vector<double> weights;
    auto blend = std::make_shared<LensProfile>();
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        const LensProfile& part = *profiles[i];
        const QString name = QDir::toNativeSeparators(paths_[std::size_t(parts[i].profile)]);
        if (part.flat.channels != frame.channels ||
            !SameAspect(part.flat, frame.width, frame.height)) {
            throw Error(ErrorKind::File,
                        QString("the lens profile %1 (%2 x %3, %4) cannot be blended with one of "
                                "%5 x %6, %7: they are not of one frame.")
                            .arg(name)
                            .arg(part.flat.width)
                            .arg(part.flat.height)
                            .arg(part.flat.channels == 1 ? "grey" : "colour")
                            .arg(frame.width)
                            .arg(frame.height)
                            .arg(frame.channels == 1 ? "grey" : "colour")
                            .toStdString());
        }
        if (part.flat.width != frame.width || part.flat.height != frame.height) {
            resampled[i] = ResampleFlat(part.flat, frame.width, frame.height, FlatFit::SameAspect);
        }
        flats.push_back(resampled[i].values.empty() ? &part.flat : &resampled[i]);
        centres.push_back(part.centre);
        weights.push_back(parts[i].weight);
        blend->referenceBits = std::max(blend->referenceBits, part.referenceBits);
        blend->smoothRadius = std::max(blend->smoothRadius, part.smoothRadius);
        blend->references.push_back(QFileInfo(name).fileName().toStdString());
    }
    FlatField& flat = blend->flat;
    flat.width = frame.width;
    flat.height = frame.height;
    flat.channels = frame.channels;
    flat.values.resize(frame.values.size());
    // In bands on every job's thread: the pictures that need the blend wait for it.
    const std::size_t bandPlaces = 1 << 16;
    const int bands = int((flat.places() + bandPlaces - 1) / bandPlaces);
    RunJobs(bands, jobs_, [&](int band) {
        const std::size_t first = std::size_t(band) * bandPlaces;
        BlendFlats(flats, weights, first, std::min(bandPlaces, flat.places() - first), flat);
    });
    blend->centre = BlendCentres(centres, weights);
    return blend;
}

}  // namespace velmora
