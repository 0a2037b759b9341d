#pragma once

#include <tiffio.h>

#include <QString>
#include <memory>
#include <string>

namespace velmora {

using TiffFile = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

// Options that make libtiff keep its first complaint in `error` instead of printing it, and
// ignore its warnings. `error` must outlive the handles opened with them.
using TiffOptions = std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)>;
TiffOptions QuietTiffOptions(std::string& error);

// libtiff on the file at `path` in `mode` ("r", "w", "r+"), its first complaint kept in `error`
// instead of printed; null where it cannot be opened. `error` must outlive the handle.
TiffFile OpenTiffFile(const QString& path, const char* mode, std::string& error);

}  // namespace velmora
