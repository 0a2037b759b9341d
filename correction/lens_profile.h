#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "correction/flat_field.h"
#include "correction/image_view.h"
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

// The file values of a profile decoded as they are needed, a few rows at a time: a picture's
// first strips need only the flat's first rows, so that reading a profile overlaps correcting
// the first picture instead of coming before it. Safe to use from every thread at once.
class LazyRows {
  public:
    virtual ~LazyRows() = default;
    // Rows `first` to `last` (exclusive) of the file values are there. Raises what decoding
    // them raises (ErrorKind::File naming the profile).
    virtual void Ready(std::int64_t first, std::int64_t last) const = 0;
    // Every row is there and the profile's checksum matches. Raises ErrorKind::File naming the
    // profile when it does not.
    virtual void Verify() const = 0;
};

// What a profile measured from raw pictures records of them. Its flat is then the signal above
// black of every sample of the frame as a one-channel mosaic (or, for linear raw pictures, of
// every channel), in units of the references' range from black to white, smoothed plane by
// plane; it serves raw pictures of the same layout only.
struct RawProfileInfo {
    CfaPattern cfa;             // empty for linear raw pictures
    SampleLevels levels;        // of the first reference
    std::vector<double> level;  // the level C of each position's plane (each channel's)
    bool meanLevel = false;     // C is the plane's mean over the frame, not its centre's
    std::string camera;

    // The positions of the pattern, or the channels of a linear picture.
    int positions() const { return cfa.empty() ? int(level.size()) : cfa.width * cfa.height; }
};

// A lens profile: the smoothed flat field of one or more references, in linear light at their
// full resolution, and the centre level of each channel that the gains bring every place up to.
struct LensProfile {
    FlatField flat;  // its values empty where the profile keeps only `fileValues`
    // The flat as its file stores it, k for k / 65535, where it was read that way: a batch makes
    // its gains from these by lookup and needs the flat's float values only for other sizes or
    // kinds of correction.
    UnsetVector<std::uint16_t> fileValues;
    // Where `fileValues` are decoded as they are needed (see LazyRows); null when they are
    // there whole.
    std::shared_ptr<const LazyRows> lazy;
    std::array<double, 3> centre{};  // per channel; a grey profile repeats its one level
    int referenceBits = 8;
    int smoothRadius = 0;
    std::vector<std::string> references;  // file names, in the order given
    ShotSettings shot;                    // of the references
    std::optional<RawProfileInfo> raw;    // for a profile of raw pictures
};

// Rows `first` to `last` (exclusive) of the profile's file values are there (see LazyRows).
inline void RowsReady(const LensProfile& profile, std::int64_t first, std::int64_t last) {
    if (profile.lazy != nullptr) profile.lazy->Ready(first, last);
}

// The light a file value k stands for, k / 65535 as the nearest float: the one conversion that
// the file's reader and every lookup by file value share.
inline float FileValueLight(std::uint16_t k) {
    return float(double(k) / 65535.0);
}

// The profile's flat with its float values, made from its file values where it keeps only those.
FlatField FlatWithValues(const LensProfile& profile);

}  // namespace velmora
