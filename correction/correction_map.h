#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

inline constexpr std::int32_t kMapRowBytes = 4800;
inline constexpr std::int32_t kMapRows = 1200;
inline constexpr std::size_t kMapBytes = std::size_t(kMapRowBytes) * kMapRows;  // 5,760,000

// One unsigned correction for byte b of row r of any picture up to 1200 rows of 4800 bytes,
// cell (b, r) at offset r x 4800 + b. All zero when made; never resized.
class CorrectionMap {
  public:
    CorrectionMap() : cells_(kMapBytes, 0) {}

    std::uint8_t& operator()(std::int32_t b, std::int32_t r) {
        return cells_[std::size_t(r) * kMapRowBytes + b];
    }
    std::uint8_t operator()(std::int32_t b, std::int32_t r) const {
        return cells_[std::size_t(r) * kMapRowBytes + b];
    }
    std::uint8_t* row(std::int32_t r) { return cells_.data() + std::size_t(r) * kMapRowBytes; }
    const std::uint8_t* row(std::int32_t r) const {
        return cells_.data() + std::size_t(r) * kMapRowBytes;
    }
    std::uint8_t* data() { return cells_.data(); }
    const std::uint8_t* data() const { return cells_.data(); }

    friend bool operator==(const CorrectionMap&, const CorrectionMap&) = default;

  private:
    std::vector<std::uint8_t> cells_;
};

// The map serves pictures of at most 4800 bytes per row and 1200 rows; these raise
// ErrorKind::SubscriptOutOfRange, naming both sizes, for a picture beyond either.
void CheckRowFitsMap(std::int32_t widthBytes);
void CheckRowsFitMap(std::int32_t rows);

}  // namespace velmora
