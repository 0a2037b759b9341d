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
    // Between two f-numbers of a lens measured at three or more around the picture's, the
    // neighbours' gains and those of the next f-number on each side (with weight 0) are
    // interpolated by the monotone cubic (see MonotoneCubic) in log2 f-number: the parts' log2
    // f-numbers, ascending, and the picture's. Empty when the weights blend the parts.
    std::vector<double> cubicNodes;
    double cubicAt = 0;

    // When `parts` is empty: what the picture or the library lacks.
    enum class Lack {
        Nothing,
        Exif,         // the picture records no camera, lens or aperture
        Camera,       // the picture records no camera make and model
        Profile,      // no profile is of the picture's camera and lens
        FocalLength,  // the picture records none, and the lens's profiles are of several
        FNumber,      // likewise for the f-number
    };
    Lack lack = Lack::Nothing;
    std::vector<double> measured;  // FocalLength, FNumber: the known ones the profiles are of

    // A setting of the picture outside the range the library measured: the nearest was taken.
    struct Outside {
        bool fNumber = false;  // else the focal length
        double wanted = 0;
        double took = 0;
        std::vector<double> measured;  // the known ones, ascending
        double atFocalLength = 0;      // f-numbers: the focal length they were measured at
    };
    std::vector<Outside> outside;
};

// Chooses among `library` (the profiles' shot settings) for a picture taken with `shot`:
// the profiles of its camera and lens; among them the one of its focal length and f-number, or
// the neighbours around them blended linearly in log2 f-number and log focal length (each part's
// weight applies to its log gain), or, where three or more f-numbers were measured around the
// picture's at its focal length, the monotone cubic through them; outside the measured range the
// nearest with a warning.
// `cubic` false keeps to the two neighbours' blend.
ProfileChoice ChooseProfiles(const ShotSettings& shot, const std::vector<ShotSettings>& library,
                             bool cubic = true);

}  // namespace velmora

namespace velmora {

// The settings of a shot that a lens's falloff depends on.
enum class ShotSetting { Make, Model, Lens, FocalLength, FNumber, FocusDistance };

// The settings on which two shots differ, by the same measure of sameness the choice uses; a
// setting one of them does not record differs from a recorded one.
std::vector<ShotSetting> DifferingSettings(const ShotSettings& a, const ShotSettings& b);

// Names that differ only in case and spacing are the same name: the name in one form.
std::string NormalisedName(const std::string& name);

}  // namespace velmora
