#pragma once

#include <QString>

#include "correction/atomic_file.h"
#include "correction/image_view.h"
#include "platform/photo_file.h"

namespace velmora {

// Develops the raw file `input` with `samples` (its visible area, corrected) in place of its
// own, as LibRaw develops it by default but for the camera's white balance, the sRGB curve
// and no automatic brightening, turned upright, into `output` as `format` (16-bit TIFF or PNG,
// 8-bit JPEG at `quality` or BMP) with the input's metadata, replaced atomically. Raises
// ErrorKind::Picture naming the input with LibRaw's reason when it cannot be developed, and
// ErrorKind::File naming `output` when it cannot be written.
void DevelopRaw(const QString& input, ImageView<const std::uint16_t> samples, const QString& output,
                PhotoFormat format, int quality, Durability durability);

}  // namespace velmora
