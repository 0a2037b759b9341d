#pragma once

#include <cstdint>
#include <string_view>

#include "correction/correction_map.h"
#include "correction/pixel_bytes.h"

namespace velmora {

enum class FilterMode {
    PlainAdd,    // a sum above 255 is cut to 255
    PeakScale,   // every sum scaled so that ScaleLimit lands on 255
    PeakOffset,  // every sum shifted down by OffsetAmount, then cut to 0..255
};

// Check box values: 0 unchecked, 1 checked, 2 grayed; only exactly 1 counts as checked.
// Check2 checked selects PeakScale whatever Check1 says; else Check1 checked selects PeakOffset.
FilterMode DecideFilterMode(int check1Value, int check2Value);

// The largest picture byte + map cell over the picture, never below 255. Raises
// ErrorKind::SubscriptOutOfRange when the picture is wider than 4800 bytes or taller than 1200
// rows.
std::int32_t FindPeakSum(const PixelBytes& pixels, const CorrectionMap& map);

// The strength percentage: an optional sign, digits with an optional decimal separator and
// fraction, an optional exponent (e or E, optional sign, digits); blanks around are ignored.
// Anything else, the empty text included, raises ErrorKind::TypeMismatch; a number beyond the
// double range raises ErrorKind::Overflow.
double ParseStrengthPercent(std::string_view text, char decimalSeparator);

// ScaleLimit = StrengthPercent x (PeakSum - 255) / 100.0 + 255.0 and
// OffsetAmount = StrengthPercent x (PeakSum - 255) / 100.0, in double precision in that order,
// rounded half to even. A step beyond the double range or a result beyond the signed 32-bit
// range raises ErrorKind::Overflow.
std::int32_t ComputeScaleLimit(double strengthPercent, std::int32_t peakSum);
std::int32_t ComputeOffsetAmount(double strengthPercent, std::int32_t peakSum);

// Filtering: byte b of row r takes map cell (b, r); with sum = byte + cell, the new byte is
//   PlainAdd:   min(sum, 255)
//   PeakScale:  sum x 255 / ScaleLimit in double precision, rounded half to even, at most 255;
//               a negative result raises ErrorKind::Overflow, a ScaleLimit of 0
//               ErrorKind::FloatingPoint (division by zero, or 0 / 0 where the sum is 0)
//   PeakOffset: sum - OffsetAmount, cut to 0..255 (ErrorKind::Overflow beyond 32 bits).
// The percentage text is converted only in the two peak modes, after the peak search. Every
// error is raised before the first byte changes, so a failed press leaves `pixels` as it was.
void FilterPixelBytes(PixelBytes& pixels, const CorrectionMap& map, FilterMode mode,
                      std::string_view strengthText, char decimalSeparator);

}  // namespace velmora
