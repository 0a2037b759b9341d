#pragma once

#include <QString>
#include <cstdint>
#include <string_view>

namespace velmora {

// The scroll bar maximum for a picture extent: himetric / 30.0 rounded half to even, as a
// signed 16-bit value (15 gives 0, 45 gives 2, 75 gives 2, 983,024 gives 32767). An extent of
// 983,025 or more raises ErrorKind::Overflow naming `what`.
std::int16_t ScrollMaximumFor(std::int32_t himetric, std::string_view what);

// The output name proposed after a load: the input path whole, followed by ".bmp".
QString ProposedOutputName(const QString& inputPath);

}  // namespace velmora
