#pragma once

#include <cstdint>
#include <string_view>

namespace velmora {

// Signed 32-bit steps that raise ErrorKind::Overflow instead of wrapping.
// `what` names the quantity in the report ("the byte count H x W").
std::int32_t CheckedAdd(std::int32_t a, std::int32_t b, std::string_view what);
std::int32_t CheckedSub(std::int32_t a, std::int32_t b, std::string_view what);
std::int32_t CheckedMul(std::int32_t a, std::int32_t b, std::string_view what);

// Round to the nearest integer, a value exactly half-way going to the even neighbour
// (268.5 -> 268, 13.5 -> 14, -22.5 -> -22). NaN, infinities and values whose rounded
// result lies outside the target range raise ErrorKind::Overflow.
std::int32_t RoundToInt32(double value, std::string_view what);
std::int16_t RoundToInt16(double value, std::string_view what);

}  // namespace velmora
