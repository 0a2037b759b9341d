#pragma once

#include <tiffio.h>

#include <QString>
#include <memory>
#include <string>

namespace velmora {

using TiffFile = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

// libtiff on the file at `path` in `mode` ("r", "w", "r+"), its first complaint kept in `error`
// instead of printed; null where it cannot be opened. `error` must outlive the handle.
TiffFile OpenTiffFile(const QString& path, const char* mode, std::string& error);

}  // namespace velmora
