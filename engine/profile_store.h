#pragma once

#include <QString>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "correction/lens_profile.h"
#include "engine/memory_budget.h"
#include "engine/profile_correction.h"
#include "engine/work_pool.h"

namespace velmora {

// Profiles and their weights, as a picture takes them (see GainRecipe).
using ProfileParts = std::vector<std::pair<int, double>>;

// The profiles of a batch, each read while pictures still need it and let go after the last:
// a 24-megapixel profile holds 144 MB. Profiles are read on the pool's free threads while the
// pictures before them are corrected. Safe to use from every worker at once.
class ProfileStore final : public ProfileSource {
  public:
    // `headers` are the profiles' descriptions (see ReadLensProfileHeader), one per path.
    ProfileStore(std::vector<QString> paths, std::vector<LensProfile> headers, WorkPool& pool,
                 MemoryBudget& budget);
    ~ProfileStore() override;

    const LensProfile& Header(int profile) const override { return headers_[std::size_t(profile)]; }
    std::shared_ptr<const LensProfile> Get(int profile) override;
    QString Path(int profile) const override { return paths_[std::size_t(profile)]; }

    // One more picture will need `parts`; call for every picture before the first Start.
    void Expect(const ProfileParts& parts);
    // Starts reading, in the background, the first two profiles of `parts` not read yet.
    void Start(const ProfileParts& parts);
    // A picture that needed `parts` is done. Returns the combinations that no picture needs any
    // more: `parts` after its last picture, and each of its profiles alone once no picture's
    // combination holds it; those profiles are let go.
    std::vector<ProfileParts> Done(const ProfileParts& parts);

  private:
    struct Loaded {
        std::shared_ptr<const LensProfile> profile;
        MemoryBudget::Hold memory;
    };
    using Loading = WorkPool::Deferred<std::shared_ptr<Loaded>>;

    Loading LoadingLocked(int profile);

    const std::vector<QString> paths_;
    const std::vector<LensProfile> headers_;
    WorkPool& pool_;
    MemoryBudget& budget_;
    std::mutex mutex_;
    std::map<ProfileParts, int> pictures_;  // per combination, the pictures that still need it
    std::map<int, int> combinationsOf_;     // per profile, the combinations that still need it
    std::map<int, Loading> loading_;
    std::vector<Loading::Pending> started_;  // every read begun, settled before the store goes
};

// The one profile of a batch, its rows decoded as the first picture needs them (see
// OpenLensProfile), so that reading it overlaps correcting that picture.
class SingleProfile final : public ProfileSource {
  public:
    // Raises as OpenLensProfile does, and when the profile alone exceeds the budget.
    SingleProfile(const QString& path, MemoryBudget& budget);

    const LensProfile& Header(int) const override { return *profile_; }
    std::shared_ptr<const LensProfile> Get(int) override { return profile_; }
    QString Path(int) const override { return path_; }

  private:
    QString path_;
    std::shared_ptr<const LensProfile> profile_;  // its values' pages untouched until decoded
    MemoryBudget::Hold memory_;
};

// What a profile kept as its file's values holds: two bytes a sample.
std::int64_t ProfileBytes(const LensProfile& header);

}  // namespace velmora
