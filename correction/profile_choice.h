#pragma once

#include <string>
#include <vector>

#include "correction/lens_profile.h"

namespace velmora {

// Which profiles of a library serve a picture, and how much each one counts.
struct ProfileChoice {
    struct Part {
        int profile = 0;  // index into the library
        double weight = 0;
    };
    std::vector<Part> parts;  // weights add up to 1; empty when none serves
    std::string missing;      // when empty `parts`: what the picture or the library lacks
    std::string warning;      // when the picture lies outside what the library measured
};

// Chooses among `library` (the profiles' shot settings) for a picture taken with `shot`:
// the profiles of its camera and lens; among them the one of its focal length and f-number, or
// the neighbours around them blended linearly in log2 f-number and log focal length (each part's
// weight applies to its log gain), or, outside the measured range, the nearest with a warning.
ProfileChoice ChooseProfiles(const ShotSettings& shot, const std::vector<ShotSettings>& library);

}  // namespace velmora
