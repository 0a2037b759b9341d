#pragma once

#include <cstdint>
#include <functional>

#include "correction/bitmap.h"
#include "correction/pixel_bytes.h"

namespace velmora {

// The read-in: sizes `pixels` afresh to the picture's H rows of W bytes and fills it with one
// bulk copy. Returns H and W for the rest of the press. With no picture (a null handle, or a
// bitmap without bytes) it raises ErrorKind::SubscriptOutOfRange and reads nothing.
BITMAP ReadPictureBytes(const Bitmap* picture, PixelBytes& pixels);

// The write-back: the H x W bytes of `block`, laid out like the bitmap, replace the picture's
// bytes in one copy; then `refresh` repaints the view (it may be empty).
void WritePictureBytes(Bitmap* picture, const BITMAP& size, const std::uint8_t* block,
                       const std::function<void()>& refresh);

}  // namespace velmora
