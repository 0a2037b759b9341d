#include "correction/bitmap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "correction/error.h"

namespace velmora {

Bitmap::Bitmap(std::int32_t widthPixels, std::int32_t height)
    : width_(widthPixels), height_(height), rowBytes_(0) {
    const std::int64_t rowBytes = RowBytesFor(widthPixels);
    if (widthPixels < 0 || height < 0 || rowBytes > std::numeric_limits<std::int32_t>::max()) {
        throw Error(ErrorKind::Picture, "a picture of " + std::to_string(widthPixels) + " x " +
                                            std::to_string(height) + " pixels cannot be held.");
    }
    rowBytes_ = static_cast<std::int32_t>(rowBytes);
    try {
        bytes_.assign(std::size_t(rowBytes_) * std::size_t(height_), 0);
    } catch (const std::bad_alloc&) {
        throw Error(ErrorKind::Picture, "a picture of " + std::to_string(widthPixels) + " x " +
                                            std::to_string(height) +
                                            " pixels does not fit in memory.");
    }
}

BITMAP GetObject(const Bitmap* handle) {
    BITMAP record;
    if (handle != nullptr) {
        record.bmHeight = handle->height();
        record.bmWidthBytes = handle->rowBytes();
    }
    return record;
}

std::int64_t GetBitmapBits(const Bitmap* handle, std::int64_t count, std::uint8_t* destination) {
    if (handle == nullptr || count <= 0) return 0;
    const auto moved = std::min<std::int64_t>(count, std::int64_t(handle->byteCount()));
    std::memcpy(destination, handle->bits(), std::size_t(moved));
    return moved;
}

std::int64_t SetBitmapBits(Bitmap* handle, std::int64_t count, const std::uint8_t* source) {
    if (handle == nullptr || count <= 0) return 0;
    const auto moved = std::min<std::int64_t>(count, std::int64_t(handle->byteCount()));
    std::memcpy(handle->bits(), source, std::size_t(moved));
    return moved;
}

}  // namespace velmora
