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
    std::string missing;  // when empty `parts`: what the picture or the library lacks
    std::string warning;  // when the picture lies outside what the library measured
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

// The settings on which two shots differ ("lens", "f-number", ...), by the same measure of
// sameness the choice uses; a setting one of them does not record differs from a recorded one.
std::vector<std::string> DifferingSettings(const ShotSettings& a, const ShotSettings& b);

// "Canon EOS R5, RF24-105mm F4 L IS USM, 50 mm, f/5.6, 2 m": what is known of the shot.
std::string DescribeShot(const ShotSettings& shot);
std::string FNumberText(double fNumber);    // "f/2.8"
std::string FocalText(double millimetres);  // "50 mm"

}  // namespace velmora
