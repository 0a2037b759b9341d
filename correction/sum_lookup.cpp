#include "correction/sum_lookup.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_X86_KERNELS 1
#endif

namespace velmora {

bool VectorSumLookupAvailable() {
    return AvailableKernels().back() == Kernel::Avx512;
}

void LookUpSumsPortable(const SumLookupTable& table, std::uint8_t* __restrict picture,
                        const std::uint8_t* __restrict cells, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i)
        picture[i] = table[picture[i] + cells[i]];
}

SumArithmetic OffsetArithmetic(std::int32_t offsetAmount) {
    // Beyond -255 every byte is 255 and beyond 510 every byte is 0, so the clamp keeps the
    // results and lets sum - offset fit 16-bit lanes.
    SumArithmetic arithmetic;
    arithmetic.form = SumArithmetic::Form::Offset;
    arithmetic.offset = std::clamp(offsetAmount, -255, 511);
    return arithmetic;
}

SumArithmetic ScaleArithmetic(std::int32_t scaleLimit) {
    SumArithmetic arithmetic;
    if (scaleLimit < 255 || scaleLimit > 510) return arithmetic;
    // factor is in [0.5, 1]: 15 significant bits in high keep sum (9 bits) x high exact.
    const double factor = 255.0 / double(scaleLimit);
    const double high = std::floor(factor * 32768.0) / 32768.0;
    arithmetic.form = SumArithmetic::Form::Scale;
    arithmetic.high = float(high);
    arithmetic.low = float(factor - high);
    return arithmetic;
}

#ifdef VELMORA_X86_KERNELS
namespace {

// A table lookup per byte does not vectorise, and costs about ten times the memory traffic of
// the pass (2.4 ms against 0.25 ms for a full map on a Zen 4 core). Byte permutes look up 128
// table entries for 64 bytes at once: the sum's low 7 bits index, bit 7 and the carry into bit 8
// pick one of the four 128-entry quarters of the table.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void LookUpSumsVbmi(
    const SumLookupTable& table, std::uint8_t* picture, const std::uint8_t* cells,
    std::int32_t count) {
    __m512i quarter[8];
    for (int i = 0; i < 8; ++i)
        quarter[i] = _mm512_loadu_si512(table + 64 * i);
    std::int32_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m512i p = _mm512_loadu_si512(picture + i);
        const __m512i m = _mm512_loadu_si512(cells + i);
        const __m512i low = _mm512_add_epi8(p, m);  // the sum's low 8 bits
        const __mmask64 carry = _mm512_cmplt_epu8_mask(low, p);
        const __mmask64 bit7 = _mm512_movepi8_mask(low);
        const __m512i below256 =
            _mm512_mask_blend_epi8(bit7, _mm512_permutex2var_epi8(quarter[0], low, quarter[1]),
                                   _mm512_permutex2var_epi8(quarter[2], low, quarter[3]));
        const __m512i from256 =
            _mm512_mask_blend_epi8(bit7, _mm512_permutex2var_epi8(quarter[4], low, quarter[5]),
                                   _mm512_permutex2var_epi8(quarter[6], low, quarter[7]));
        _mm512_storeu_si512(picture + i, _mm512_mask_blend_epi8(carry, below256, from256));
    }
    LookUpSumsPortable(table, picture + i, cells + i, count - i);
}

// The arithmetic kernels work in saturating byte lanes for the offset and in 32-bit float lanes
// for the scale, which pack back with unsigned saturation, the cut to 0..255. A row's last bytes
// go through the same vector code on a copy, so every byte sees the same arithmetic. The
// arithmetic comes by value: a byte store could alias a reference to it, and its constants
// would be made again for every block.

// The offset stays in byte lanes: with a = the offset cut to 0..255, n = its negative part and
// o2 = what lies beyond 255 (at most 255: past 510 every byte is 0 anyway), the cut of
// p + m - offset to 0..255 is subs(adds(adds(subs(p, a), subs(m, subs(a, p))), n), o2) in
// saturating byte arithmetic, for every p and m (checked for all of them and every offset).
struct OffsetBytes {
    std::uint8_t a;
    std::uint8_t n;
    std::uint8_t beyond;
    explicit OffsetBytes(std::int32_t offset)
        : a(std::uint8_t(std::clamp(offset, 0, 255))),
          n(std::uint8_t(std::max(-offset, 0))),
          beyond(std::uint8_t(std::clamp(offset - 255, 0, 255))) {}
};

__attribute__((target("sse2"))) __m128i OffsetBlockSse2(__m128i p, __m128i m,
                                                        const OffsetBytes& offset) {
    const __m128i a = _mm_set1_epi8(char(offset.a));
    const __m128i sum = _mm_adds_epu8(_mm_subs_epu8(p, a), _mm_subs_epu8(m, _mm_subs_epu8(a, p)));
    return _mm_subs_epu8(_mm_adds_epu8(sum, _mm_set1_epi8(char(offset.n))),
                         _mm_set1_epi8(char(offset.beyond)));
}

__attribute__((target("sse2"))) __m128i ScaleWordsSse2(__m128i sums, __m128 high, __m128 low) {
    const __m128i zero = _mm_setzero_si128();
    const __m128 a = _mm_cvtepi32_ps(_mm_unpacklo_epi16(sums, zero));
    const __m128 b = _mm_cvtepi32_ps(_mm_unpackhi_epi16(sums, zero));
    const __m128 qa = _mm_add_ps(_mm_mul_ps(a, high), _mm_mul_ps(a, low));
    const __m128 qb = _mm_add_ps(_mm_mul_ps(b, high), _mm_mul_ps(b, low));
    return _mm_packs_epi32(_mm_cvtps_epi32(qa), _mm_cvtps_epi32(qb));
}

__attribute__((target("sse2"))) __m128i ScaleBlockSse2(__m128i p, __m128i m, __m128 high,
                                                       __m128 low) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(p, zero), _mm_unpacklo_epi8(m, zero));
    const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(p, zero), _mm_unpackhi_epi8(m, zero));
    return _mm_packus_epi16(ScaleWordsSse2(lo, high, low), ScaleWordsSse2(hi, high, low));
}

__attribute__((target("sse2"))) inline void ArithmeticBlockSse2(SumArithmetic arithmetic,
                                                                std::uint8_t* picture,
                                                                const std::uint8_t* cells) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(picture));
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells));
    const __m128i result =
        arithmetic.form == SumArithmetic::Form::Scale
            ? ScaleBlockSse2(p, m, _mm_set1_ps(arithmetic.high), _mm_set1_ps(arithmetic.low))
            : OffsetBlockSse2(p, m, OffsetBytes(arithmetic.offset));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(picture), result);
}

__attribute__((target("sse2"))) void ArithmeticSse2(SumArithmetic arithmetic, std::uint8_t* picture,
                                                    const std::uint8_t* cells, std::int32_t count) {
    std::int32_t i = 0;
    for (; i + 16 <= count; i += 16)
        ArithmeticBlockSse2(arithmetic, picture + i, cells + i);
    if (i < count) {
        std::uint8_t p[16] = {};
        std::uint8_t m[16] = {};
        std::memcpy(p, picture + i, std::size_t(count - i));
        std::memcpy(m, cells + i, std::size_t(count - i));
        ArithmeticBlockSse2(arithmetic, p, m);
        std::memcpy(picture + i, p, std::size_t(count - i));
    }
}

// The even and odd 16-bit lanes are split with a mask and a shift and joined with a shift and an
// or, which keeps the byte shuffles (one port on most processors) to the unpacking and packing.
__attribute__((target("avx2,fma"))) __m256i ScaleWordsAvx2(__m256i sums, __m256 high, __m256 low) {
    const __m256 even = _mm256_cvtepi32_ps(_mm256_and_si256(sums, _mm256_set1_epi32(0xffff)));
    const __m256 odd = _mm256_cvtepi32_ps(_mm256_srli_epi32(sums, 16));
    // sum x high is exact, so the fused form rounds exactly as the separate product and sum do.
    const __m256 qEven = _mm256_fmadd_ps(even, high, _mm256_mul_ps(even, low));
    const __m256 qOdd = _mm256_fmadd_ps(odd, high, _mm256_mul_ps(odd, low));
    return _mm256_or_si256(_mm256_cvtps_epi32(qEven),
                           _mm256_slli_epi32(_mm256_cvtps_epi32(qOdd), 16));
}

// Unpacking and packing both work within 128-bit halves, so the bytes come back in order.
__attribute__((target("avx2,fma"))) inline void ArithmeticBlockAvx2(SumArithmetic arithmetic,
                                                                    std::uint8_t* picture,
                                                                    const std::uint8_t* cells) {
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(picture));
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cells));
    __m256i result;
    if (arithmetic.form == SumArithmetic::Form::Scale) {
        const __m256i zero = _mm256_setzero_si256();
        const __m256 high = _mm256_set1_ps(arithmetic.high);
        const __m256 low = _mm256_set1_ps(arithmetic.low);
        const __m256i lo =
            _mm256_add_epi16(_mm256_unpacklo_epi8(p, zero), _mm256_unpacklo_epi8(m, zero));
        const __m256i hi =
            _mm256_add_epi16(_mm256_unpackhi_epi8(p, zero), _mm256_unpackhi_epi8(m, zero));
        result = _mm256_packus_epi16(ScaleWordsAvx2(lo, high, low), ScaleWordsAvx2(hi, high, low));
    } else {
        const OffsetBytes offset(arithmetic.offset);
        const __m256i a = _mm256_set1_epi8(char(offset.a));
        const __m256i sum =
            _mm256_adds_epu8(_mm256_subs_epu8(p, a), _mm256_subs_epu8(m, _mm256_subs_epu8(a, p)));
        result = _mm256_subs_epu8(_mm256_adds_epu8(sum, _mm256_set1_epi8(char(offset.n))),
                                  _mm256_set1_epi8(char(offset.beyond)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(picture), result);
}

__attribute__((target("avx2,fma"))) void ArithmeticAvx2(SumArithmetic arithmetic,
                                                        std::uint8_t* picture,
                                                        const std::uint8_t* cells,
                                                        std::int32_t count) {
    std::int32_t i = 0;
    for (; i + 32 <= count; i += 32)
        ArithmeticBlockAvx2(arithmetic, picture + i, cells + i);
    if (i < count) {
        std::uint8_t p[32] = {};
        std::uint8_t m[32] = {};
        std::memcpy(p, picture + i, std::size_t(count - i));
        std::memcpy(m, cells + i, std::size_t(count - i));
        ArithmeticBlockAvx2(arithmetic, p, m);
        std::memcpy(picture + i, p, std::size_t(count - i));
    }
}

// The offset 64 bytes at a time; the scale keeps the permute lookup, faster than its arithmetic.
__attribute__((target("avx512f,avx512bw"))) void OffsetAvx512(SumArithmetic arithmetic,
                                                              std::uint8_t* picture,
                                                              const std::uint8_t* cells,
                                                              std::int32_t count) {
    const OffsetBytes offset(arithmetic.offset);
    const __m512i a = _mm512_set1_epi8(char(offset.a));
    const __m512i n = _mm512_set1_epi8(char(offset.n));
    const __m512i beyond = _mm512_set1_epi8(char(offset.beyond));
    std::int32_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m512i p = _mm512_loadu_si512(picture + i);
        const __m512i m = _mm512_loadu_si512(cells + i);
        const __m512i sum =
            _mm512_adds_epu8(_mm512_subs_epu8(p, a), _mm512_subs_epu8(m, _mm512_subs_epu8(a, p)));
        _mm512_storeu_si512(picture + i, _mm512_subs_epu8(_mm512_adds_epu8(sum, n), beyond));
    }
    ArithmeticAvx2(arithmetic, picture + i, cells + i, count - i);
}

}  // namespace
#endif

void LookUpSums(const SumLookupTable& table, std::uint8_t* picture, const std::uint8_t* cells,
                std::int32_t count) {
#ifdef VELMORA_X86_KERNELS
    if (ActiveKernel() == Kernel::Avx512) {
        LookUpSumsVbmi(table, picture, cells, count);
        return;
    }
#endif
    LookUpSumsPortable(table, picture, cells, count);
}

namespace {

// 256 full-width rows of a press (2.4 MB with the map's, more than most processors'
// second-level cache holds, as a whole picture is) through `kernel`, with the offset or scale that
// `form` names: the trial by which the pass chooses between the lookup and the arithmetic. Runs
// correct the picture again and again, which costs what correcting a fresh one does.
void TrialPress(SumArithmetic::Form form, Kernel kernel) {
    constexpr std::int32_t kWidth = 4800;
    constexpr std::size_t kRows = 256;
    constexpr std::size_t kBytes = std::size_t(kWidth) * kRows;
    static const std::vector<std::uint8_t> cells = [] {
        std::vector<std::uint8_t> c(kBytes);
        for (std::size_t i = 0; i < kBytes; ++i)
            c[i] = std::uint8_t((i % kWidth) * 80 / kWidth + i % 7);
        return c;
    }();
    static std::vector<std::uint8_t> picture = [] {
        std::vector<std::uint8_t> p(kBytes);
        for (std::size_t i = 0; i < kBytes; ++i)
            p[i] = std::uint8_t(40 + (i * 37) % 200);
        return p;
    }();
    const bool scale = form == SumArithmetic::Form::Scale;
    SumLookupTable table = {};
    for (int sum = 0; sum <= 510; ++sum)
        table[sum] = std::uint8_t(scale ? std::min(255L, std::lrint(sum * 255.0 / 400.0))
                                        : std::clamp(sum - 30, 0, 255));
    const SumPass pass(table, scale ? ScaleArithmetic(400) : OffsetArithmetic(30), kernel);
    for (std::size_t r = 0; r < kRows; ++r)
        pass.Run(picture.data() + r * kWidth, cells.data() + r * kWidth, kWidth);
}

std::vector<KernelVariant> EverySet() {
    std::vector<KernelVariant> sets;
    for (const Kernel kernel : AvailableKernels())
        sets.push_back({kernel, false});
    return sets;
}

Kernel ChosenFor(SumArithmetic::Form form) {
    static KernelChoice offset("peak offset", EverySet(), [](KernelVariant variant) {
        TrialPress(SumArithmetic::Form::Offset, variant.set);
    });
    static KernelChoice scale("peak scale", EverySet(), [](KernelVariant variant) {
        TrialPress(SumArithmetic::Form::Scale, variant.set);
    });
    if (form == SumArithmetic::Form::None) return ActiveKernel();
    return (form == SumArithmetic::Form::Scale ? scale : offset).Current().set;
}

}  // namespace

SumPass::SumPass(const SumLookupTable& table, SumArithmetic arithmetic)
    : SumPass(table, arithmetic, ChosenFor(arithmetic.form)) {}

SumPass::SumPass(const SumLookupTable& table, SumArithmetic arithmetic, Kernel kernel)
    : table_(table), arithmetic_(arithmetic), kernel_(kernel) {
    if (arithmetic.form == SumArithmetic::Form::None) return;
    const bool offsetOnAvx512 =
        kernel_ == Kernel::Avx512 && arithmetic.form == SumArithmetic::Form::Offset;
    if (kernel_ != Kernel::Sse2 && kernel_ != Kernel::Avx2 && !offsetOnAvx512) return;
    // Every sum once: picture byte min(sum, 255), cell the rest.
    std::uint8_t picture[511];
    std::uint8_t cells[511];
    for (int sum = 0; sum <= 510; ++sum) {
        picture[sum] = std::uint8_t(std::min(sum, 255));
        cells[sum] = std::uint8_t(sum - picture[sum]);
    }
    useArithmetic_ = true;
    Run(picture, cells, 511);
    useArithmetic_ = std::equal(picture, picture + 511, table);
}

void SumPass::Run(std::uint8_t* picture, const std::uint8_t* cells, std::int32_t count) const {
#ifdef VELMORA_X86_KERNELS
    if (useArithmetic_) {
        if (kernel_ == Kernel::Avx512) {
            OffsetAvx512(arithmetic_, picture, cells, count);
        } else if (kernel_ == Kernel::Avx2) {
            ArithmeticAvx2(arithmetic_, picture, cells, count);
        } else {
            ArithmeticSse2(arithmetic_, picture, cells, count);
        }
        return;
    }
    if (kernel_ == Kernel::Avx512) {
        LookUpSumsVbmi(table_, picture, cells, count);
        return;
    }
#endif
    LookUpSumsPortable(table_, picture, cells, count);
}

}  // namespace velmora
