#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace velmora {

// Starts the metadata library; call once, before any thread reads metadata.
void StartMetadataLibrary();

// Copies the EXIF, IPTC and XMP of the picture file `input` into `encoded`, a PNG or TIFF file
// held in memory, where the picture library leaves some out (EXIF and IPTC in TIFF, IPTC in
// PNG). The orientation tag goes along unchanged. An input whose metadata cannot be read gives
// none. Raises ErrorKind::Picture naming `output` when the metadata cannot be written.
void CarryMetadata(const QString& input, std::vector<std::uint8_t>& encoded, const QString& output);

}  // namespace velmora
