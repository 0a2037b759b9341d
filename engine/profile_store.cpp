#include "engine/profile_store.h"

#include <QFileInfo>

#include "platform/lens_profile_file.h"
#include "platform/native_path.h"

namespace velmora {

std::int64_t ProfileBytes(const LensProfile& header) {
    return std::int64_t(header.flat.places()) * header.flat.channels * 2;
}

namespace {

std::string ProfileNamed(const QString& path) {
    return "the lens profile " + Native(path).toStdString();
}

}  // namespace

ProfileStore::ProfileStore(std::vector<QString> paths, std::vector<LensProfile> headers,
                           WorkPool& pool, MemoryBudget& budget)
    : paths_(std::move(paths)), headers_(std::move(headers)), pool_(pool), budget_(budget) {}

ProfileStore::~ProfileStore() {
    for (const Loading::Pending& loading : started_)
        loading.Settle();
}

void ProfileStore::Expect(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    if (pictures_[parts]++ > 0) return;
    for (const auto& part : parts)
        ++combinationsOf_[part.first];
}

ProfileStore::Loading ProfileStore::LoadingLocked(int profile) {
    Loading& loading = loading_[profile];
    if (!loading.valid()) {
        loading = pool_.Start<std::shared_ptr<Loaded>>(
            [this, path = paths_[std::size_t(profile)], header = &headers_[std::size_t(profile)]] {
                auto loaded = std::make_shared<Loaded>();
                loaded->memory = budget_.ForBatch(ProfileBytes(*header), ProfileNamed(path));
                loaded->profile = std::make_shared<const LensProfile>(
                    LoadLensProfile(path, FlatValues::AsStored, pool_.Parallel()));
                return loaded;
            });
        started_.push_back(loading.pending());
    }
    return loading;
}

std::shared_ptr<const LensProfile> ProfileStore::Get(int profile) {
    Loading loading;
    {
        const std::lock_guard lock(mutex_);
        loading = LoadingLocked(profile);
    }
    return loading.get()->profile;
}

void ProfileStore::Start(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    // Two at a time: the first is used while the second is read, and no more than two
    // profiles wait in memory for their turn.
    int started = 0;
    for (const auto& part : parts) {
        LoadingLocked(part.first);
        if (++started == 2) break;
    }
}

std::vector<ProfileParts> ProfileStore::Done(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    std::vector<ProfileParts> released;
    const auto pictures = pictures_.find(parts);
    if (pictures == pictures_.end() || --pictures->second > 0) return released;
    pictures_.erase(pictures);
    released.push_back(parts);
    for (const auto& part : parts) {
        if (--combinationsOf_[part.first] > 0) continue;
        loading_.erase(part.first);
        const ProfileParts alone{{part.first, 1.0}};
        if (alone != parts) released.push_back(alone);
    }
    return released;
}

SingleProfile::SingleProfile(const QString& path, MemoryBudget& budget)
    : path_(path),
      profile_(OpenLensProfile(path)),
      memory_(budget.ForBatch(ProfileBytes(*profile_), ProfileNamed(path))) {}

}  // namespace velmora
