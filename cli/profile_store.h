#pragma once

#include <QString>
#include <QStringList>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "correction/lens_profile.h"
#include "correction/profile_choice.h"

namespace velmora {

using ProfileParts = std::vector<ProfileChoice::Part>;

// The profiles of a library, each read while pictures still need it: a 24-megapixel profile
// holds 290 MB, and once its gains for the pictures' size are made (see Served) only a picture
// of another size needs it again, so it is let go and read again for such a picture. Safe to
// use from every worker at once.
class ProfileStore {
  public:
    explicit ProfileStore(std::vector<QString> paths) : paths_(std::move(paths)) {}

    // The name of a combination of profiles and weights, the same for the same combination;
    // a profile alone is the combination of itself with weight 1.
    static QString KeyOf(const ProfileParts& parts);

    // One more picture will need `parts`; call for every picture before the first Start.
    void Expect(const ProfileParts& parts);
    // Starts reading the first two profiles of `parts` that are neither read nor served in the
    // background.
    void Start(const ProfileParts& parts);
    // Profile `index`, waiting for it; raises what reading raised.
    std::shared_ptr<const LensProfile> Get(int index);
    // The gains of `parts` are made for a picture's size: their profiles are let go.
    void Served(const ProfileParts& parts);
    // A picture that needed `parts` is done. Returns the combinations (KeyOf) that no picture
    // needs any more: `parts` after its last picture, and each profile alone once no picture's
    // combination holds it; those profiles are let go.
    QStringList Done(const ProfileParts& parts);

  private:
    using Loading = std::shared_future<std::shared_ptr<const LensProfile>>;

    Loading ProfileLocked(int index);

    const std::vector<QString> paths_;
    std::mutex mutex_;
    std::map<QString, int> pictures_;    // per combination, the pictures that still need it
    std::map<int, int> combinationsOf_;  // per profile, the combinations that still need it
    std::map<int, Loading> profiles_;
    std::map<int, bool> served_;
};

}  // namespace velmora
