#include "correction/gain.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "correction/error.h"
#include "correction/kernel_choice.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_X86_KERNELS 1
#endif

namespace velmora {
namespace {

// What every (cell, byte) pair of one lane becomes, indexed [m][p]: with the centre byte fixed
// for the press, the result depends on those two bytes only. The three lanes' tables lie one
// after the other, lane k at kLaneTable x k, with padding so that a 4-byte read at the last entry
// stays inside.
constexpr std::int32_t kLaneTable = 256 * 256;
constexpr std::size_t kTablesBytes = 3 * kLaneTable + 4;

struct GainTables {
    std::unique_ptr<std::uint8_t[]> bytes;

    explicit GainTables(const std::array<std::uint8_t, 3>& centre)
        : bytes(new std::uint8_t[kTablesBytes]) {  // every byte is filled below
        for (int k = 0; k < 3; ++k) {
            std::uint8_t* table = bytes.get() + kLaneTable * k;
            for (int m = 0; m < 256; ++m) {
                for (int p = 0; p < 256; ++p)
                    table[256 * m + p] = GainedByte(std::uint8_t(p), std::uint8_t(m), centre[k]);
            }
        }
    }
};

void GainRowLookup(const std::uint8_t* tables, std::uint8_t* picture, const std::uint8_t* cells,
                   std::int32_t from, std::int32_t groupBytes) {
    for (std::int32_t j = from; j < groupBytes; j += 3) {
        picture[j] = tables[256 * cells[j] + picture[j]];
        picture[j + 1] = tables[kLaneTable + 256 * cells[j + 1] + picture[j + 1]];
        picture[j + 2] = tables[2 * kLaneTable + 256 * cells[j + 2] + picture[j + 2]];
    }
}

// The quotient p x min(C, 16 d) / d with d = max(C - m, 1) is at most 4080 with a denominator of
// at most 255: a single-precision division gives its nearest float, and no quotient that is not
// a half lies within 1/510 of one, far beyond a float's error of 2.5e-4 there. So rounding the
// float to the nearest whole number, half to even (the conversion's rounding), is rounding the
// exact quotient. Numerator and denominator are made in 16-bit lanes, divided in 32-bit float
// lanes and packed back, the cut to 255 being the packing's saturation. Unpacking and packing
// work within 128-bit halves alike, so the centre bytes, unpacked the same way, stay with their
// lanes; the byte model's lane pattern repeats every three vectors.
using GainRowFunction = void (*)(const std::uint8_t* tables, std::uint8_t* picture,
                                 const std::uint8_t* cells, std::int32_t groupBytes,
                                 const std::array<std::uint8_t, 3>& centre);

void GainRowPortable(const std::uint8_t* tables, std::uint8_t* picture, const std::uint8_t* cells,
                     std::int32_t groupBytes, const std::array<std::uint8_t, 3>&) {
    GainRowLookup(tables, picture, cells, 0, groupBytes);
}

#ifdef VELMORA_X86_KERNELS
// The centre byte of every lane of three vectors of `bytes` bytes.
template <int bytes>
std::array<std::array<std::uint8_t, bytes>, 3> CentreLanes(const std::array<std::uint8_t, 3>& c) {
    std::array<std::array<std::uint8_t, bytes>, 3> lanes{};
    for (int v = 0; v < 3; ++v) {
        for (int l = 0; l < bytes; ++l)
            lanes[std::size_t(v)][std::size_t(l)] = c[std::size_t((bytes * v + l) % 3)];
    }
    return lanes;
}

bool HasZero(const std::array<std::uint8_t, 3>& centre) {
    return centre[0] == 0 || centre[1] == 0 || centre[2] == 0;
}

// A row's last groups, fewer than three vectors of `bytes`, through the row kernel on a copy:
// the lane pattern stays and they get the same arithmetic.
template <int bytes>
void PaddedTail(GainRowFunction row, std::uint8_t* picture, const std::uint8_t* cells,
                std::int32_t count, const std::array<std::uint8_t, 3>& centre) {
    std::uint8_t p[3 * bytes] = {};
    std::uint8_t m[3 * bytes] = {};
    std::memcpy(p, picture, std::size_t(count));
    std::memcpy(m, cells, std::size_t(count));
    row(nullptr, p, m, 3 * bytes, centre);
    std::memcpy(picture, p, std::size_t(count));
}

__attribute__((target("sse2"))) inline __m128i QuotientsSse2(__m128i p, __m128i m, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i d = _mm_max_epi16(_mm_sub_epi16(c, m), _mm_set1_epi16(1));
    const __m128i q = _mm_mullo_epi16(p, _mm_min_epi16(c, _mm_slli_epi16(d, 4)));
    const __m128i low = _mm_cvtps_epi32(_mm_div_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(q, zero)),
                                                   _mm_cvtepi32_ps(_mm_unpacklo_epi16(d, zero))));
    const __m128i high = _mm_cvtps_epi32(_mm_div_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(q, zero)),
                                                    _mm_cvtepi32_ps(_mm_unpackhi_epi16(d, zero))));
    return _mm_packs_epi32(low, high);
}

__attribute__((target("sse2"))) void GainRowSse2(const std::uint8_t*, std::uint8_t* picture,
                                                 const std::uint8_t* cells, std::int32_t groupBytes,
                                                 const std::array<std::uint8_t, 3>& centre) {
    const auto lanes = CentreLanes<16>(centre);
    const __m128i zero = _mm_setzero_si128();
    __m128i low[3];
    __m128i high[3];
    for (int v = 0; v < 3; ++v) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes[v].data()));
        low[v] = _mm_unpacklo_epi8(c, zero);
        high[v] = _mm_unpackhi_epi8(c, zero);
    }
    const bool zeroCentre = HasZero(centre);
    std::int32_t j = 0;
    for (; j + 3 * 16 <= groupBytes; j += 3 * 16) {
        for (int v = 0; v < 3; ++v) {
            std::uint8_t* at = picture + j + 16 * v;
            const std::uint8_t* cell = cells + j + 16 * v;
            const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cell));
            __m128i out = _mm_packus_epi16(
                QuotientsSse2(_mm_unpacklo_epi8(p, zero), _mm_unpacklo_epi8(m, zero), low[v]),
                QuotientsSse2(_mm_unpackhi_epi8(p, zero), _mm_unpackhi_epi8(m, zero), high[v]));
            // Only a centre byte of 0 needs this: there d = 1 and n = 0, where m = 0 must keep p.
            if (zeroCentre) {
                const __m128i keep = _mm_cmpeq_epi8(m, zero);
                out = _mm_or_si128(_mm_and_si128(keep, p), _mm_andnot_si128(keep, out));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(at), out);
        }
    }
    if (j < groupBytes) PaddedTail<16>(GainRowSse2, picture + j, cells + j, groupBytes - j, centre);
}

__attribute__((target("avx2"))) inline __m256i QuotientsAvx2(__m256i p, __m256i m, __m256i c) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i d = _mm256_max_epi16(_mm256_sub_epi16(c, m), _mm256_set1_epi16(1));
    const __m256i q = _mm256_mullo_epi16(p, _mm256_min_epi16(c, _mm256_slli_epi16(d, 4)));
    const __m256i low =
        _mm256_cvtps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(_mm256_unpacklo_epi16(q, zero)),
                                         _mm256_cvtepi32_ps(_mm256_unpacklo_epi16(d, zero))));
    const __m256i high =
        _mm256_cvtps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(_mm256_unpackhi_epi16(q, zero)),
                                         _mm256_cvtepi32_ps(_mm256_unpackhi_epi16(d, zero))));
    return _mm256_packs_epi32(low, high);
}

__attribute__((target("avx2"))) void GainRowAvx2(const std::uint8_t*, std::uint8_t* picture,
                                                 const std::uint8_t* cells, std::int32_t groupBytes,
                                                 const std::array<std::uint8_t, 3>& centre) {
    const auto lanes = CentreLanes<32>(centre);
    const __m256i zero = _mm256_setzero_si256();
    __m256i low[3];
    __m256i high[3];
    for (int v = 0; v < 3; ++v) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes[v].data()));
        low[v] = _mm256_unpacklo_epi8(c, zero);
        high[v] = _mm256_unpackhi_epi8(c, zero);
    }
    const bool zeroCentre = HasZero(centre);
    std::int32_t j = 0;
    for (; j + 3 * 32 <= groupBytes; j += 3 * 32) {
        for (int v = 0; v < 3; ++v) {
            std::uint8_t* at = picture + j + 32 * v;
            const std::uint8_t* cell = cells + j + 32 * v;
            const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
            const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cell));
            __m256i out = _mm256_packus_epi16(
                QuotientsAvx2(_mm256_unpacklo_epi8(p, zero), _mm256_unpacklo_epi8(m, zero), low[v]),
                QuotientsAvx2(_mm256_unpackhi_epi8(p, zero), _mm256_unpackhi_epi8(m, zero),
                              high[v]));
            if (zeroCentre) out = _mm256_blendv_epi8(out, p, _mm256_cmpeq_epi8(m, zero));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), out);
        }
    }
    if (j < groupBytes) PaddedTail<32>(GainRowAvx2, picture + j, cells + j, groupBytes - j, centre);
}

// GCC 12 takes the unset pass-through operand of its own AVX-512 intrinsics for an uninitialised
// value (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define VELMORA_AVX512 "avx512f,avx512bw"
__attribute__((target(VELMORA_AVX512))) inline __m512i QuotientsAvx512(__m512i p, __m512i m,
                                                                       __m512i c) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i d = _mm512_max_epi16(_mm512_sub_epi16(c, m), _mm512_set1_epi16(1));
    const __m512i q = _mm512_mullo_epi16(p, _mm512_min_epi16(c, _mm512_slli_epi16(d, 4)));
    const __m512i low =
        _mm512_cvtps_epi32(_mm512_div_ps(_mm512_cvtepi32_ps(_mm512_unpacklo_epi16(q, zero)),
                                         _mm512_cvtepi32_ps(_mm512_unpacklo_epi16(d, zero))));
    const __m512i high =
        _mm512_cvtps_epi32(_mm512_div_ps(_mm512_cvtepi32_ps(_mm512_unpackhi_epi16(q, zero)),
                                         _mm512_cvtepi32_ps(_mm512_unpackhi_epi16(d, zero))));
    return _mm512_packs_epi32(low, high);
}

__attribute__((target(VELMORA_AVX512))) void GainRowAvx512(
    const std::uint8_t*, std::uint8_t* picture, const std::uint8_t* cells, std::int32_t groupBytes,
    const std::array<std::uint8_t, 3>& centre) {
    const auto lanes = CentreLanes<64>(centre);
    const __m512i zero = _mm512_setzero_si512();
    __m512i low[3];
    __m512i high[3];
    for (int v = 0; v < 3; ++v) {
        const __m512i c = _mm512_loadu_si512(lanes[v].data());
        low[v] = _mm512_unpacklo_epi8(c, zero);
        high[v] = _mm512_unpackhi_epi8(c, zero);
    }
    const bool zeroCentre = HasZero(centre);
    std::int32_t j = 0;
    for (; j + 3 * 64 <= groupBytes; j += 3 * 64) {
        for (int v = 0; v < 3; ++v) {
            std::uint8_t* at = picture + j + 64 * v;
            const std::uint8_t* cell = cells + j + 64 * v;
            const __m512i p = _mm512_loadu_si512(at);
            const __m512i m = _mm512_loadu_si512(cell);
            __m512i out =
                _mm512_packus_epi16(QuotientsAvx512(_mm512_unpacklo_epi8(p, zero),
                                                    _mm512_unpacklo_epi8(m, zero), low[v]),
                                    QuotientsAvx512(_mm512_unpackhi_epi8(p, zero),
                                                    _mm512_unpackhi_epi8(m, zero), high[v]));
            if (zeroCentre) out = _mm512_mask_blend_epi8(_mm512_cmpeq_epi8_mask(m, zero), out, p);
            _mm512_storeu_si512(at, out);
        }
    }
    if (j < groupBytes)
        PaddedTail<64>(GainRowAvx512, picture + j, cells + j, groupBytes - j, centre);
}
#undef VELMORA_AVX512
#pragma GCC diagnostic pop

// Eight table reads per gather instead of one load each. Byte j's lane is j % 3, so over 24
// bytes the three gathers of 8 have fixed lane patterns. Each gather reads 4 bytes at the entry;
// the shuffle keeps the first.
__attribute__((target("avx2"))) void GainRowGather(const std::uint8_t* tables,
                                                   std::uint8_t* picture, const std::uint8_t* cells,
                                                   std::int32_t groupBytes,
                                                   const std::array<std::uint8_t, 3>&) {
    const __m256i lane[3] = {_mm256_setr_epi32(0, 1, 2, 0, 1, 2, 0, 1),
                             _mm256_setr_epi32(2, 0, 1, 2, 0, 1, 2, 0),
                             _mm256_setr_epi32(1, 2, 0, 1, 2, 0, 1, 2)};
    __m256i base[3];
    for (int v = 0; v < 3; ++v)
        base[v] = _mm256_slli_epi32(lane[v], 16);
    const __m256i firstBytes =
        _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12,
                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const int* entries = reinterpret_cast<const int*>(tables);
    std::int32_t j = 0;
    for (; j + 24 <= groupBytes; j += 24) {
        for (int v = 0; v < 3; ++v) {
            std::uint8_t* at = picture + j + 8 * v;
            const __m256i p =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
            const __m256i m = _mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cells + j + 8 * v)));
            const __m256i index =
                _mm256_add_epi32(_mm256_add_epi32(base[v], _mm256_slli_epi32(m, 8)), p);
            const __m256i bytes =
                _mm256_shuffle_epi8(_mm256_i32gather_epi32(entries, index, 1), firstBytes);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at),
                             _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes),
                                                _mm256_extracti128_si256(bytes, 1)));
        }
    }
    GainRowLookup(tables, picture, cells, j, groupBytes);
}
#endif

GainRowFunction RowFunction(KernelVariant variant) {
#ifdef VELMORA_X86_KERNELS
    if (variant.gathers) return GainRowGather;
    if (variant.set == Kernel::Avx512) return GainRowAvx512;
    if (variant.set == Kernel::Avx2) return GainRowAvx2;
    if (variant.set == Kernel::Sse2) return GainRowSse2;
#endif
    (void)variant;
    return GainRowPortable;
}

bool NeedsTables(KernelVariant variant) {
    return RowFunction(variant) == GainRowPortable || variant.gathers;
}

// 256 rows of a full-width press with a smooth map and a busy picture (2.4 MB with the map's,
// more than most processors' second-level cache holds, as a whole picture is): the gain pass's
// trial for choosing its variant. Runs correct the picture again and again, which costs what
// correcting a fresh one does.
void TrialPress(KernelVariant variant) {
    constexpr std::int32_t kWidth = 4800;
    constexpr std::int32_t kRows = 256;
    static const std::array<std::uint8_t, 3> centre{200, 205, 210};
    static const GainTables tables(centre);
    static const std::vector<std::uint8_t> cells = [] {
        std::vector<std::uint8_t> c(std::size_t(kWidth) * kRows);
        for (std::size_t i = 0; i < c.size(); ++i)
            c[i] = std::uint8_t((i % kWidth) * 80 / kWidth + i % 7);
        return c;
    }();
    static std::vector<std::uint8_t> picture = [] {
        std::vector<std::uint8_t> p(cells.size());
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = std::uint8_t(40 + (i * 37) % 151);
        return p;
    }();
    const GainRowFunction row = RowFunction(variant);
    for (std::int32_t r = 0; r < kRows; ++r)
        row(tables.bytes.get(), picture.data() + std::size_t(r) * kWidth,
            cells.data() + std::size_t(r) * kWidth, kWidth, centre);
}

KernelChoice& GainChoice() {
    static KernelChoice choice("gain", AvailableVariants(), TrialPress);
    return choice;
}

}  // namespace

std::uint8_t GainedByte(std::uint8_t p, std::uint8_t m, std::uint8_t c) {
    if (m == 0) return p;
    const int d = std::max(int(c) - int(m), 1);
    const int q = int(p) * std::min(int(c), 16 * d);
    const int whole = q / d;
    const int twiceRest = 2 * (q % d);
    const bool up = twiceRest > d || (twiceRest == d && whole % 2 == 1);
    return std::uint8_t(std::min(255, whole + int(up)));
}

void ApplyGain(PixelBytes& pixels, const CorrectionMap& map,
               const std::array<std::uint8_t, 3>& centre) {
    if (pixels.empty()) throw Error(ErrorKind::SubscriptOutOfRange, "no picture is loaded.");
    CheckRowFitsMap(pixels.widthBytes());
    CheckRowsFitMap(pixels.rows());

    const KernelVariant variant = GainChoice().Current();
    const std::optional<GainTables> tables =
        NeedsTables(variant) ? std::make_optional<GainTables>(centre) : std::nullopt;
    const GainRowFunction row = RowFunction(variant);
    const std::int32_t groupBytes = pixels.widthBytes() / 3 * 3;
    for (std::int32_t r = 0; r < pixels.rows(); ++r)
        row(tables ? tables->bytes.get() : nullptr, pixels.row(r), map.row(r), groupBytes, centre);
}

}  // namespace velmora
