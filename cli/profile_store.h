#pragma once

#include <QString>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "correction/lens_profile.h"
#include "correction/profile_choice.h"

namespace velmora {

using ProfileParts = std::vector<ProfileChoice::Part>;

// The profiles of a library and their blends, each read or blended once, while pictures still
// need it: a 24-megapixel profile holds 290 MB, so a batch over many lenses and apertures keeps
// only those of the pictures under way. Safe to use from every worker at once.
class ProfileStore {
  public:
    ProfileStore(std::vector<QString> paths, int jobs) : paths_(std::move(paths)), jobs_(jobs) {}

    // The name of a combination of profiles and weights, the same for the same combination.
    static QString KeyOf(const ProfileParts& parts);

    // One more picture will need `parts`; call for every picture before the first Start.
    void Expect(const ProfileParts& parts);
    // Starts reading (and blending) `parts` in the background, when it is not under way yet.
    void Start(const ProfileParts& parts);
    // The profile of `parts`, waiting for it; raises what reading a profile or blending raised.
    std::shared_ptr<const LensProfile> Get(const ProfileParts& parts);
    // A picture that needed `parts` is done. Returns whether it was the last, and the profiles
    // that no other picture needs are let go.
    bool Done(const ProfileParts& parts);

  private:
    using Loading = std::shared_future<std::shared_ptr<const LensProfile>>;
    struct Combination {
        int pictures = 0;  // that still need it
        Loading loading;
    };

    Loading ProfileLocked(int index);
    std::shared_ptr<const LensProfile> Blend(const ProfileParts& parts,
                                             const std::vector<Loading>& loading) const;

    const std::vector<QString> paths_;
    const int jobs_;
    std::mutex mutex_;
    std::map<QString, Combination> combinations_;
    std::map<int, int> combinationsOf_;  // per profile, the combinations that still need it
    std::map<int, Loading> profiles_;
};

}  // namespace velmora
