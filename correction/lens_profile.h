#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "correction/flat_field.h"
#include "correction/unset_vector.h"

namespace velmora {

// What a camera records of how a picture was taken, as far as a lens's falloff depends on it.
// Zero stands for a number that is not known; an empty text for a name that is not.
struct ShotSettings {
    std::string make;   // of the camera
    std::string model;  // of the camera
    std::string lens;
    double focalLength = 0;    // millimetres
    double fNumber = 0;        // the aperture: 2.8 for f/2.8
    double focusDistance = 0;  // metres

    bool operator==(const ShotSettings&) const = default;
};

// A lens profile: the smoothed flat field of one or more references, in linear light at their
// full resolution, and the centre level of each channel that the gains bring every place up to.
struct LensProfile {
    FlatField flat;  // its values empty where the profile keeps only `fileValues`
    // The flat as its file stores it, k for k / 65535, where it was read that way: a batch makes
    // its gains from these by lookup and needs the flat's float values only for other sizes or
    // kinds of correction.
    UnsetVector<std::uint16_t> fileValues;
    std::array<double, 3> centre{};  // per channel; a grey profile repeats its one level
    int referenceBits = 8;
    int smoothRadius = 0;
    std::vector<std::string> references;  // file names, in the order given
    ShotSettings shot;                    // of the references
};

// The light a file value k stands for, k / 65535 as the nearest float: the one conversion that
// the file's reader and every lookup by file value share.
inline float FileValueLight(std::uint16_t k) {
    return float(double(k) / 65535.0);
}

// The profile's flat with its float values, made from its file values where it keeps only those.
FlatField FlatWithValues(const LensProfile& profile);

}  // namespace velmora
