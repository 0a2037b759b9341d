#pragma once

#include <cstdint>

namespace velmora {

// A per-press table of what every sum of picture byte and map cell (0 to 510) becomes.
// Entry 511 is padding so the table is 512 bytes long.
using SumLookupTable = std::uint8_t[512];

// picture[i] = table[picture[i] + cells[i]] for i < count. Runs the 64-byte permute kernel where
// the processor has AVX-512 VBMI, the portable loop elsewhere; both give the same bytes.
void LookUpSums(const SumLookupTable& table, std::uint8_t* picture, const std::uint8_t* cells,
                std::int32_t count);

void LookUpSumsPortable(const SumLookupTable& table, std::uint8_t* picture,
                        const std::uint8_t* cells, std::int32_t count);

// True when LookUpSums uses the vector kernel on this processor.
bool VectorSumLookupAvailable();

}  // namespace velmora
