#include "correction/gain.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "correction/error.h"
#include "correction/sum_lookup.h"

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

void FillGainTable(std::uint8_t* table, std::uint8_t c) {
    for (int m = 0; m < 256; ++m) {
        std::uint8_t* results = table + 256 * m;
        if (m == 0) {
            for (int p = 0; p < 256; ++p)
                results[p] = std::uint8_t(p);
            continue;
        }
        const double gain = std::min(16.0, double(c) / double(std::max(c - m, 1)));
        for (int p = 0; p < 256; ++p) {
            // rint for 0 <= x < 2^52: adding and taking away 2^52 rounds half to even in the
            // default rounding mode, without the library call that rint is on plain x86-64
            // (a third of the gain pass: 196,608 calls a press).
            const double rounded = (double(p) * gain + 0x1p52) - 0x1p52;
            results[p] = std::uint8_t(std::min(255.0, rounded));
        }
    }
}

void GainRowPortable(const std::uint8_t* tables, std::uint8_t* picture, const std::uint8_t* cells,
                     std::int32_t from, std::int32_t groupBytes) {
    for (std::int32_t j = from; j < groupBytes; j += 3) {
        picture[j] = tables[256 * cells[j] + picture[j]];
        picture[j + 1] = tables[kLaneTable + 256 * cells[j + 1] + picture[j + 1]];
        picture[j + 2] = tables[2 * kLaneTable + 256 * cells[j + 2] + picture[j + 2]];
    }
}

#ifdef VELMORA_X86_KERNELS
// Eight table reads per gather instead of one load each: the scalar loop is bound by its loads.
// Byte j's lane is j % 3, so over 24 bytes the three gathers of 8 have fixed lane patterns. Each
// gather reads 4 bytes at the entry; the shuffle keeps the first.
__attribute__((target("avx2"))) void GainRowAvx2(const std::uint8_t* tables, std::uint8_t* picture,
                                                 const std::uint8_t* cells,
                                                 std::int32_t groupBytes) {
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
    GainRowPortable(tables, picture, cells, j, groupBytes);
}
#endif

}  // namespace

std::uint8_t GainedByte(std::uint8_t p, std::uint8_t m, std::uint8_t c) {
    if (m == 0) return p;
    const double gain = std::min(16.0, double(c) / double(std::max(int(c) - int(m), 1)));
    return std::uint8_t(std::min(255.0, std::rint(double(p) * gain)));
}

void ApplyGain(PixelBytes& pixels, const CorrectionMap& map,
               const std::array<std::uint8_t, 3>& centre) {
    if (pixels.empty()) throw Error(ErrorKind::SubscriptOutOfRange, "no picture is loaded.");
    CheckRowFitsMap(pixels.widthBytes());
    CheckRowsFitMap(pixels.rows());

    // Every byte is filled below; value-initialising it first cost a pass of its own.
    const std::unique_ptr<std::uint8_t[]> tables(new std::uint8_t[kTablesBytes]);
    for (int k = 0; k < 3; ++k)
        FillGainTable(tables.get() + kLaneTable * k, centre[k]);

    const std::int32_t groupBytes = pixels.widthBytes() / 3 * 3;
#ifdef VELMORA_X86_KERNELS
    if (ActiveKernel() >= Kernel::Avx2) {
        for (std::int32_t r = 0; r < pixels.rows(); ++r)
            GainRowAvx2(tables.get(), pixels.row(r), map.row(r), groupBytes);
        return;
    }
#endif
    for (std::int32_t r = 0; r < pixels.rows(); ++r)
        GainRowPortable(tables.get(), pixels.row(r), map.row(r), 0, groupBytes);
}

}  // namespace velmora
