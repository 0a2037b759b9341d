#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// The working picture's bytes as H rows of W bytes, byte index fastest: element (b, r) lies at
// offset r x W + b, the bitmap's own layout, so one bulk copy fills or drains it.
class PixelBytes {
  public:
    // Drops the old contents; the new bytes are zero.
    void Recreate(std::int32_t widthBytes, std::int32_t rows) {
        widthBytes_ = widthBytes;
        rows_ = rows;
        bytes_.assign(std::size_t(widthBytes) * std::size_t(rows), 0);
    }

    std::int32_t widthBytes() const { return widthBytes_; }
    std::int32_t rows() const { return rows_; }
    bool empty() const { return bytes_.empty(); }

    std::uint8_t& operator()(std::int32_t b, std::int32_t r) {
        return bytes_[std::size_t(r) * widthBytes_ + b];
    }
    std::uint8_t operator()(std::int32_t b, std::int32_t r) const {
        return bytes_[std::size_t(r) * widthBytes_ + b];
    }
    std::uint8_t* row(std::int32_t r) { return bytes_.data() + std::size_t(r) * widthBytes_; }
    const std::uint8_t* row(std::int32_t r) const {
        return bytes_.data() + std::size_t(r) * widthBytes_;
    }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

  private:
    std::int32_t widthBytes_ = 0;
    std::int32_t rows_ = 0;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace velmora
