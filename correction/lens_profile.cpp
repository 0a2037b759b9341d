#include "correction/lens_profile.h"

namespace velmora {

FlatField FlatWithValues(const LensProfile& profile) {
    if (profile.fileValues.empty()) return profile.flat;
    FlatField flat{profile.flat.width, profile.flat.height, profile.flat.channels, {}};
    flat.values.reserve(profile.fileValues.size());
    for (const std::uint16_t k : profile.fileValues)
        flat.values.push_back(FileValueLight(k));
    return flat;
}

}  // namespace velmora
