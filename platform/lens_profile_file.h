#pragma once

#include <QString>

#include "correction/lens_profile.h"

namespace velmora {

// The lens profile file: a 16-bit TIFF whose pixels are the flat field in linear light
// (0..65535 for 0..1), so that any viewer shows it, and whose image description is a JSON object
// that records what made it: {"format": "velmora lens profile", "version": 1, "width", "height",
// "channels", "values": "linear", "centre": [...], "referenceBits", "smooth", "references":
// [...], "crc32"}. The checksum covers the description without it (compact, keys sorted) and the
// stored samples.
//
// Written atomically; raises ErrorKind::File naming the file when it cannot be.
void SaveLensProfile(const LensProfile& profile, const QString& path);

// Raises ErrorKind::File naming the file and what is wrong: it cannot be read, is not a TIFF,
// is cut short, is not a lens profile, is of another version, or does not match its checksum.
LensProfile LoadLensProfile(const QString& path);

}  // namespace velmora
