#pragma once

#include <array>
#include <cstdint>

#include "correction/correction_map.h"
#include "correction/pixel_bytes.h"

namespace velmora {

// Gain correction, for lenses that darken by a factor: each byte is multiplied by how much its
// position was darkened in the reference, instead of having the reference's deficit added.
//
// For byte p of row r in lane k (the group model: bytes 3g, 3g + 1, 3g + 2 of a row), with m the
// map cell (b, r) and C the reference's centre byte of lane k:
//   m = 0:     p stays as it is;
//   otherwise: g = min(16, C / max(C - m, 1)), and p becomes min(255, p x g rounded half to even),
//              the product taken exactly (a fraction of whole numbers, not a double).
// A filler byte at the end of a row (a row length that is no multiple of 3) belongs to no group
// and is left as it is.
std::uint8_t GainedByte(std::uint8_t p, std::uint8_t m, std::uint8_t c);

// Applies the gain to every byte of the picture. Raises ErrorKind::SubscriptOutOfRange, before
// any byte changes, for a picture wider than 4800 bytes or taller than 1200 rows.
void ApplyGain(PixelBytes& pixels, const CorrectionMap& map,
               const std::array<std::uint8_t, 3>& centre);

}  // namespace velmora
