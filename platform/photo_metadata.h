#pragma once

#include <QString>
#include <filesystem>

#include "correction/lens_profile.h"

namespace velmora {

// Starts the metadata library; call once, before any thread reads metadata.
void StartMetadataLibrary();

// The camera, lens, focal length, f-number and focus distance that the picture file `path`
// records in its EXIF (or, lacking it, its XMP). What it does not record, or a file whose
// metadata cannot be read, stays empty or zero.
ShotSettings ReadShotSettings(const QString& path);

// The exposure time, in seconds, that the picture file `path` records in its EXIF (or XMP); zero
// where it records none.
double ReadExposureTime(const QString& path);

// Copies the EXIF, IPTC and XMP of the picture file `input` into the PNG or TIFF file `written`,
// where the picture library leaves some out (EXIF and IPTC in TIFF, IPTC in PNG). The
// orientation tag goes along unchanged. An input whose metadata cannot be read gives none.
// Raises ErrorKind::Picture naming `output`, the file `written` will become, when the metadata
// cannot be written.
void CarryMetadata(const QString& input, const std::filesystem::path& written,
                   const QString& output);

// Sets the EXIF orientation of the picture file `written` to `orientation` (1 to 8) where it
// has one. Raises as CarryMetadata does.
void SetOrientation(const std::filesystem::path& written, int orientation);

}  // namespace velmora
