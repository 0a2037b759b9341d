#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "correction/correction_map.h"
#include "correction/pixel_bytes.h"

namespace velmora {

// The reference group: the three bytes at the middle of the middle row, one per lane.
struct ReferenceGroup {
    std::int32_t row = 0;                  // rc = H / 2, rounded half to even
    std::array<std::int32_t, 3> bytes{};   // W / 2, W / 2 + 1, W / 2 + 2, each rounded alike
    std::array<std::uint8_t, 3> values{};  // R0, R1, R2
};

// Raises ErrorKind::SubscriptOutOfRange when a reference byte lies outside the picture (W < 6).
ReferenceGroup FindReferenceGroup(const PixelBytes& pixels);

// Tuning: for byte b of row r, in lane k = b mod 3, cell (b, r) becomes Rk - p when the picture
// byte p is darker than its reference byte, else 0. Exactly the cells b < W, r < H are written.
// Every condition that can fail (W < 6, W > 4800, W not a multiple of 3, H > 1200) is decided
// first and raises ErrorKind::SubscriptOutOfRange with `map` untouched.
ReferenceGroup TuneCorrectionMap(const PixelBytes& pixels, CorrectionMap& map);

// The map's cells over a picture's area, as a block of `rows` rows of `widthBytes` bytes laid
// out like the picture's bitmap: what tuning shows in place of the picture.
std::vector<std::uint8_t> MapPreview(const CorrectionMap& map, std::int32_t widthBytes,
                                     std::int32_t rows);

}  // namespace velmora
