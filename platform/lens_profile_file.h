#pragma once

#include <QString>
#include <memory>

#include "correction/lens_profile.h"
#include "correction/parallel.h"

namespace velmora {

// The lens profile file: a 16-bit TIFF whose pixels are the flat field in linear light
// (0..65535 for 0..1), so that any viewer shows it, and whose image description is a JSON object
// that records what made it: {"format": "velmora lens profile", "version": 1, "width", "height",
// "channels", "values": "linear", "centre": [...], "referenceBits", "smooth", "references":
// [...], "shot": {"make", "model", "lens", "focalLength", "fNumber", "focusDistance"} (only
// those known), "crc32"}. The checksum covers the description without it (compact, keys sorted) and
// the stored samples.
//
// Written atomically; raises ErrorKind::File naming the file when it cannot be.
void SaveLensProfile(const LensProfile& profile, const QString& path);

// How a loaded profile keeps its flat: as float values (LensProfile::flat), or as the file's
// samples (LensProfile::fileValues), half the memory and no conversion, for a batch's gains.
enum class FlatValues { Float, AsStored };

// Raises ErrorKind::File naming the file and what is wrong: it cannot be read, is not a TIFF,
// is cut short, is not a lens profile, is of another version (Problem::ProfileVersion), or does
// not match its checksum. Its strips are decoded as `parallel` shares them out.
LensProfile LoadLensProfile(const QString& path, FlatValues kept = FlatValues::Float,
                            const ParallelFor& parallel = Serially);

// The profile with its description read and checked as LoadLensProfile does, its file values
// decoded as they are asked for (see LazyRows): kept as the file stores them. A file that is
// cut short or damaged raises when its rows are asked for, or when it is verified.
std::shared_ptr<const LensProfile> OpenLensProfile(const QString& path);

// What the profile's description tells, without reading its pixels or checking its checksum (the
// flat's values stay empty): enough to choose among a library of profiles. Raises as
// LoadLensProfile does for a file that is not a lens profile of this version.
LensProfile ReadLensProfileHeader(const QString& path);

}  // namespace velmora
