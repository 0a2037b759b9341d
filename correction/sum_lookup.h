#pragma once

#include <cstdint>

#include "correction/kernel_choice.h"

namespace velmora {

// A per-press table of what every sum of picture byte and map cell (0 to 510) becomes.
// Entry 511 is padding so the table is 512 bytes long.
using SumLookupTable = std::uint8_t[512];

// picture[i] = table[picture[i] + cells[i]] for i < count. Runs the 64-byte permute kernel when
// the active kernel is avx512, the portable loop otherwise; both give the same bytes.
void LookUpSums(const SumLookupTable& table, std::uint8_t* picture, const std::uint8_t* cells,
                std::int32_t count);

void LookUpSumsPortable(const SumLookupTable& table, std::uint8_t* picture,
                        const std::uint8_t* cells, std::int32_t count);

// True when the processor runs the permute kernel.
bool VectorSumLookupAvailable();

// A press's table as arithmetic on the sum, for the kernels that have no fast lookup.
struct SumArithmetic {
    enum class Form : std::uint8_t { None, Offset, Scale };
    Form form = Form::None;
    std::int32_t offset = 0;  // Offset: sum - offset, cut to 0..255
    float high = 0;           // Scale: sum x high + sum x low in single precision, rounded half
    float low = 0;            // to even, cut to 0..255
};

SumArithmetic OffsetArithmetic(std::int32_t offsetAmount);

// sum x 255 / scaleLimit, for the limits 255 to 510; Form::None for any other limit. 255 /
// scaleLimit is split so that sum x high is exact and the rest is far below half a unit of the
// quotient: ties land exactly on the half, which the conversion rounds to even as rint does.
SumArithmetic ScaleArithmetic(std::int32_t scaleLimit);

// One press's pass: picture[i] = table[picture[i] + cells[i]]. Made once per press, with the
// kernel its form chose at run time (the lookup of avx512 is not always the faster) or the one
// given: an sse2 or avx2 kernel runs the arithmetic instead of the lookup when it gives the
// table's byte for every sum 0 to 510, which the constructor checks by running it on them; so
// does an avx512 kernel for an offset.
class SumPass {
  public:
    SumPass(const SumLookupTable& table, SumArithmetic arithmetic);
    SumPass(const SumLookupTable& table, SumArithmetic arithmetic, Kernel kernel);
    void Run(std::uint8_t* picture, const std::uint8_t* cells, std::int32_t count) const;
    Kernel kernel() const { return kernel_; }
    bool usesArithmetic() const { return useArithmetic_; }

  private:
    const SumLookupTable& table_;
    SumArithmetic arithmetic_;
    Kernel kernel_;
    bool useArithmetic_ = false;
};

}  // namespace velmora
