#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "correction/lens_profile.h"

namespace velmora {

// Starts the metadata library; call once, before any thread reads metadata.
void StartMetadataLibrary();

// Copies the EXIF, IPTC and XMP of the picture file `input` into `encoded`, a PNG or TIFF file
// held in memory, where the picture library leaves some out (EXIF and IPTC in TIFF, IPTC in
// PNG). The orientation tag goes along unchanged. An input whose metadata cannot be read gives
// none. Raises ErrorKind::Picture naming `output` when the metadata cannot be written.
// The camera, lens, focal length, f-number and focus distance that the picture file `path`
// records in its EXIF (or, lacking it, its XMP). What it does not record, or a file whose
// metadata cannot be read, stays empty or zero.
ShotSettings ReadShotSettings(const QString& path);

void CarryMetadata(const QString& input, std::vector<std::uint8_t>& encoded, const QString& output);

}  // namespace velmora
