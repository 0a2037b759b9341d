#pragma once

// lensfun's measured vignetting (Debian's liblensfun-data-v1), read with Qt's XML reader for the
// benchmarks of lens profiles.

#include <array>
#include <string>
#include <vector>

namespace velmora::scene {

// One <vignetting model="pa"> entry: the light is multiplied by 1 + k1 r^2 + k2 r^4 + k3 r^6
// at these settings of the lens. The texts are the numbers as lensfun writes them.
struct LensfunVignetting {
    std::string maker;  // of the lens
    std::string model;  // of the lens, its first name without a language
    std::string focalText, apertureText, distanceText;
    double focal = 0;     // millimetres
    double aperture = 0;  // f-number
    double distance = 0;  // metres
    std::array<double, 3> k{};
};

// Every "pa" entry of FOLDER/*.xml, files in name order, entries as they stand.
std::vector<LensfunVignetting> ReadLensfunVignetting(const std::string& folder);

}  // namespace velmora::scene
