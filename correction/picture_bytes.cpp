#include "correction/picture_bytes.h"

#include "correction/checked_math.h"
#include "correction/error.h"

namespace velmora {

BITMAP ReadPictureBytes(const Bitmap* picture, PixelBytes& pixels) {
    const BITMAP size = GetObject(picture);
    CheckedSub(size.bmWidthBytes, 1, "the last byte index W - 1");
    CheckedSub(size.bmHeight, 1, "the last row index H - 1");
    if (size.bmWidthBytes <= 0 || size.bmHeight <= 0) {
        throw Error(ErrorKind::SubscriptOutOfRange, picture == nullptr
                                                        ? "no picture is loaded."
                                                        : "the picture's bitmap holds no bytes.");
    }
    const std::int32_t count = CheckedMul(size.bmHeight, size.bmWidthBytes, "the byte count H x W");
    pixels.Recreate(size.bmWidthBytes, size.bmHeight);
    GetBitmapBits(picture, count, pixels.data());
    return size;
}

void WritePictureBytes(Bitmap* picture, const BITMAP& size, const std::uint8_t* block,
                       const std::function<void()>& refresh) {
    const std::int32_t count = CheckedMul(size.bmHeight, size.bmWidthBytes, "the byte count H x W");
    SetBitmapBits(picture, count, block);
    if (refresh) refresh();
}

}  // namespace velmora
