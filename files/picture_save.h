#pragma once

#include <QString>

#include "correction/bitmap.h"

namespace velmora {

// "save(bmp)": writes the working picture as a 24-bit BMP at exactly `path`, replacing any file
// there. With no picture loaded (a null handle) it raises ErrorKind::Picture and writes nothing;
// a failed write raises ErrorKind::File and leaves an existing file whole.
void SaveWorkingPicture(const Bitmap* picture, const QString& path);

}  // namespace velmora
