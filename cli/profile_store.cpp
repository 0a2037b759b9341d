#include "cli/profile_store.h"

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
    if (pictures_[KeyOf(parts)]++ > 0) return;
    for (const ProfileChoice::Part& part : parts)
        ++combinationsOf_[part.profile];
}

ProfileStore::Loading ProfileStore::ProfileLocked(int index) {
    Loading& loading = profiles_[index];
    if (!loading.valid()) {
        loading = std::async(std::launch::async, [path = paths_[std::size_t(index)]] {
                      return std::make_shared<const LensProfile>(
                          LoadLensProfile(path, FlatValues::AsStored));
                  }).share();
    }
    return loading;
}

void ProfileStore::Start(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    // Two at a time: the gains of the first are made while the second is read, and no more
    // than two profiles wait in memory for their turn.
    int started = 0;
    for (const ProfileChoice::Part& part : parts) {
        if (served_[part.profile]) continue;
        ProfileLocked(part.profile);
        if (++started == 2) break;
    }
}

std::shared_ptr<const LensProfile> ProfileStore::Get(int index) {
    Loading loading;
    {
        const std::lock_guard lock(mutex_);
        loading = ProfileLocked(index);
    }
    return loading.get();
}

void ProfileStore::Served(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    for (const ProfileChoice::Part& part : parts) {
        served_[part.profile] = true;
        profiles_.erase(part.profile);
    }
}

QStringList ProfileStore::Done(const ProfileParts& parts) {
    const std::lock_guard lock(mutex_);
    QStringList released;
    const QString key = KeyOf(parts);
    const auto pictures = pictures_.find(key);
    if (pictures == pictures_.end() || --pictures->second > 0) return released;
    pictures_.erase(pictures);
    released << key;
    for (const ProfileChoice::Part& part : parts) {
        if (--combinationsOf_[part.profile] > 0) continue;
        profiles_.erase(part.profile);
        released << KeyOf({{part.profile, 1.0}});
    }
    released.removeDuplicates();
    return released;
}

}  // namespace velmora
