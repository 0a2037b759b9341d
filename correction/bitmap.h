#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// The two fields of a bitmap description that the correction handlers use.
struct BITMAP {
    std::int32_t bmHeight = 0;      // H, the number of rows
    std::int32_t bmWidthBytes = 0;  // W, bytes per row including the filler byte
};

// The working picture's bitmap: 24 bits per pixel, bytes in B, G, R order, rows top-down.
// Every row holds 3 x width bytes rounded up to an even count, so an odd width carries one
// filler byte per row: the word-aligned rows that stored correction maps were measured on.
class Bitmap {
  public:
    // A black picture. Raises ErrorKind::Picture when the bytes would not fit in memory.
    Bitmap(std::int32_t widthPixels, std::int32_t height);

    static std::int64_t RowBytesFor(std::int64_t widthPixels) {
        return (3 * widthPixels + 1) / 2 * 2;
    }

    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    std::int32_t rowBytes() const { return rowBytes_; }

    std::uint8_t* row(std::int32_t r) { return bytes_.data() + std::size_t(r) * rowBytes_; }
    const std::uint8_t* row(std::int32_t r) const {
        return bytes_.data() + std::size_t(r) * rowBytes_;
    }
    std::uint8_t* bits() { return bytes_.data(); }
    const std::uint8_t* bits() const { return bytes_.data(); }
    std::size_t byteCount() const { return bytes_.size(); }

  private:
    std::int32_t width_;
    std::int32_t height_;
    std::int32_t rowBytes_;
    std::vector<std::uint8_t> bytes_;
};

// The bitmap calls of the correction handlers. A null handle means no picture is loaded:
// GetObject then reports H = W = 0 and the copies move nothing. The copies return the number
// of bytes moved, at most the bitmap's own size.
BITMAP GetObject(const Bitmap* handle);
std::int64_t GetBitmapBits(const Bitmap* handle, std::int64_t count, std::uint8_t* destination);
std::int64_t SetBitmapBits(Bitmap* handle, std::int64_t count, const std::uint8_t* source);

}  // namespace velmora
