#include "correction/profile_gain.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "correction/sum_lookup.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_X86_KERNELS 1
#endif

namespace velmora {
namespace {

constexpr std::array<double, 3> kLuminanceWeights{0.2126, 0.7152, 0.0722};

double Luminance(const float* rgb, int channels) {
    if (channels == 1) return rgb[0];
    return kLuminanceWeights[0] * rgb[0] + kLuminanceWeights[1] * rgb[1] +
           kLuminanceWeights[2] * rgb[2];
}

double Gain(double centre, double flat) {
    if (!(flat * kLargestProfileGain > centre)) return kLargestProfileGain;
    return centre / flat;
}

// Samples laid out like their gains (grey, or RGB without alpha): sample s has gain s and the
// table of channel s % channels. The definition and the fallback of the vector kernels.
template <typename Sample>
void LinearSamples(Sample* samples, const float* gains, std::size_t from, std::size_t to,
                   int channels, const ToneTables* const* tables) {
    for (std::size_t s = from; s < to; ++s) {
        const ToneTables& table = *tables[s % std::size_t(channels)];
        samples[s] = Sample(table.Encode(table.decode()[samples[s]] * double(gains[s])));
    }
}

template <typename Sample>
void CodeSamples(Sample* samples, const float* gains, std::size_t from, std::size_t to,
                 double top) {
    for (std::size_t s = from; s < to; ++s)
        samples[s] = Sample(std::min(top, std::rint(double(samples[s]) * double(gains[s]))));
}

// More steps than this and the scalar search, with its early exit, is as quick.
constexpr std::uint32_t kMostVectorSteps = 8;

#ifdef VELMORA_X86_KERNELS
std::int64_t ByteOffset(const void* at, const void* from) {
    return std::int64_t(reinterpret_cast<std::uintptr_t>(at) -
                        reinterpret_cast<std::uintptr_t>(from));
}

// Each lane's table, as byte offsets from the first channel's arrays, for `vectors` vectors of
// `width` lanes: with 3 channels the lane pattern repeats every 3 vectors.
struct LaneTables {
    alignas(64) std::int64_t decode[3][8];
    alignas(64) std::int64_t threshold[3][8];
    alignas(64) std::int64_t bucketStart[3][8];
    alignas(64) std::int64_t shift[3][8];
    alignas(64) std::int64_t first[3][8];
    alignas(64) std::int64_t last[3][8];

    LaneTables(const ToneTables* const* tables, int channels, int width) {
        const ToneTables::Layout base = tables[0]->layout();
        for (int j = 0; j < 3; ++j) {
            for (int lane = 0; lane < width; ++lane) {
                const ToneTables::Layout at = tables[(width * j + lane) % channels]->layout();
                decode[j][lane] = ByteOffset(at.decode, base.decode);
                threshold[j][lane] = ByteOffset(at.threshold, base.threshold);
                bucketStart[j][lane] = ByteOffset(at.bucketStart, base.bucketStart);
                shift[j][lane] = at.bucketShift;
                first[j][lane] = std::int64_t(at.firstBucket);
                last[j][lane] = std::int64_t(at.lastBucket);
            }
        }
    }
};

__attribute__((target("avx2"))) inline __m256i Lane4(int j, const std::int64_t (&values)[3][8]) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(values[j]));
}

__attribute__((target("avx512f"))) inline __m512i Lane8(int j, const std::int64_t (&values)[3][8]) {
    return _mm512_load_si512(values[j]);
}

// Four samples per vector in double precision, every table read a gather: decode[v], the
// bucket's start, then `steps` half-way points. Bucket numbers fit 25 bits, so the clamp of
// Encode is exact in signed 64-bit lanes.
template <typename Sample>
__attribute__((target("avx2"))) void LinearAvx2(Sample* samples, const float* gains,
                                                std::size_t count, int channels,
                                                const ToneTables* const* tables,
                                                std::uint32_t steps) {
    const LaneTables lanes(tables, channels, 4);
    const ToneTables::Layout base = tables[0]->layout();
    const int* bucketStart = reinterpret_cast<const int*>(base.bucketStart);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i low16 = _mm256_set1_epi64x(0xFFFF);
    const __m256i lowHalves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    std::size_t s = 0;
    for (; s + 12 <= count; s += 12) {
        for (int j = 0; j < 3; ++j) {
            Sample* at = samples + s + 4 * j;
            __m256i v;
            if constexpr (sizeof(Sample) == 1) {
                std::int32_t four;
                std::memcpy(&four, at, 4);
                v = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(four));
            } else {
                v = _mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
            }
            const __m256d decoded = _mm256_i64gather_pd(
                base.decode, _mm256_add_epi64(Lane4(j, lanes.decode), _mm256_slli_epi64(v, 3)), 1);
            const __m256d x =
                _mm256_mul_pd(decoded, _mm256_cvtps_pd(_mm_loadu_ps(gains + s + 4 * j)));
            const __m256i last = Lane4(j, lanes.last);
            __m256i bucket =
                _mm256_sub_epi64(_mm256_srlv_epi64(_mm256_castpd_si256(x), Lane4(j, lanes.shift)),
                                 Lane4(j, lanes.first));
            bucket = _mm256_andnot_si256(_mm256_cmpgt_epi64(zero, bucket), bucket);
            bucket = _mm256_blendv_epi8(bucket, last, _mm256_cmpgt_epi64(bucket, last));
            const __m128i start = _mm256_i64gather_epi32(
                bucketStart,
                _mm256_add_epi64(Lane4(j, lanes.bucketStart), _mm256_add_epi64(bucket, bucket)), 1);
            __m256i k = _mm256_and_si256(_mm256_cvtepu32_epi64(start), low16);
            const __m256i thresholdAt = Lane4(j, lanes.threshold);
            for (std::uint32_t step = 0; step < steps; ++step) {
                const __m256i next = _mm256_add_epi64(k, one);
                const __m256d t = _mm256_i64gather_pd(
                    base.threshold, _mm256_add_epi64(thresholdAt, _mm256_slli_epi64(next, 3)), 1);
                const __m256i even = _mm256_cmpeq_epi64(_mm256_and_si256(next, one), zero);
                const __m256i above = _mm256_castpd_si256(_mm256_cmp_pd(x, t, _CMP_GT_OQ));
                const __m256i equal = _mm256_castpd_si256(_mm256_cmp_pd(x, t, _CMP_EQ_OQ));
                k = _mm256_sub_epi64(k, _mm256_or_si256(above, _mm256_and_si256(equal, even)));
            }
            const __m256d positive = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GT_OQ);
            k = _mm256_and_si256(k, _mm256_castpd_si256(positive));
            const __m128i codes = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(k, lowHalves));
            if constexpr (sizeof(Sample) == 1) {
                const std::int32_t four =
                    _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(codes, codes), codes));
                std::memcpy(at, &four, 4);
            } else {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_packus_epi32(codes, codes));
            }
        }
    }
    LinearSamples(samples, gains, s, count, channels, tables);
}

// v x g is exact in double (at most 16 + 24 bits), so rounding it is rint's.
template <typename Sample>
__attribute__((target("avx2"))) void CodeAvx2(Sample* samples, const float* gains,
                                              std::size_t count, double top) {
    const __m256d most = _mm256_set1_pd(top);
    std::size_t s = 0;
    for (; s + 4 <= count; s += 4) {
        Sample* at = samples + s;
        __m128i v;
        if constexpr (sizeof(Sample) == 1) {
            std::int32_t four;
            std::memcpy(&four, at, 4);
            v = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(four));
        } else {
            v = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
        }
        const __m256d product =
            _mm256_mul_pd(_mm256_cvtepi32_pd(v), _mm256_cvtps_pd(_mm_loadu_ps(gains + s)));
        // min_pd(a, b) is a < b ? a : b, as std::min(top, r) is r < top ? r : top.
        const __m256d rounded =
            _mm256_min_pd(_mm256_round_pd(product, _MM_FROUND_CUR_DIRECTION), most);
        const __m128i codes = _mm256_cvttpd_epi32(rounded);
        if constexpr (sizeof(Sample) == 1) {
            const std::int32_t four =
                _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(codes, codes), codes));
            std::memcpy(at, &four, 4);
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_packus_epi32(codes, codes));
        }
    }
    CodeSamples(samples, gains, s, count, top);
}

// GCC 12 takes the self-initialised placeholders of its AVX-512 headers for uninitialised data.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The AVX2 kernel with eight lanes, masks for the compares and 64-bit min and max.
template <typename Sample>
__attribute__((target("avx512f,avx512bw"))) void LinearAvx512(Sample* samples, const float* gains,
                                                              std::size_t count, int channels,
                                                              const ToneTables* const* tables,
                                                              std::uint32_t steps) {
    const LaneTables lanes(tables, channels, 8);
    const ToneTables::Layout base = tables[0]->layout();
    const int* bucketStart = reinterpret_cast<const int*>(base.bucketStart);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i low16 = _mm512_set1_epi64(0xFFFF);
    std::size_t s = 0;
    for (; s + 24 <= count; s += 24) {
        for (int j = 0; j < 3; ++j) {
            Sample* at = samples + s + 8 * j;
            __m512i v;
            if constexpr (sizeof(Sample) == 1) {
                v = _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
            } else {
                v = _mm512_cvtepu16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
            }
            const __m512d decoded = _mm512_i64gather_pd(
                _mm512_add_epi64(Lane8(j, lanes.decode), _mm512_slli_epi64(v, 3)), base.decode, 1);
            const __m512d x =
                _mm512_mul_pd(decoded, _mm512_cvtps_pd(_mm256_loadu_ps(gains + s + 8 * j)));
            __m512i bucket =
                _mm512_sub_epi64(_mm512_srlv_epi64(_mm512_castpd_si512(x), Lane8(j, lanes.shift)),
                                 Lane8(j, lanes.first));
            bucket = _mm512_min_epi64(_mm512_max_epi64(bucket, zero), Lane8(j, lanes.last));
            const __m256i start = _mm512_i64gather_epi32(
                _mm512_add_epi64(Lane8(j, lanes.bucketStart), _mm512_add_epi64(bucket, bucket)),
                bucketStart, 1);
            __m512i k = _mm512_and_si512(_mm512_cvtepu32_epi64(start), low16);
            const __m512i thresholdAt = Lane8(j, lanes.threshold);
            for (std::uint32_t step = 0; step < steps; ++step) {
                const __m512i next = _mm512_add_epi64(k, one);
                const __m512d t = _mm512_i64gather_pd(
                    _mm512_add_epi64(thresholdAt, _mm512_slli_epi64(next, 3)), base.threshold, 1);
                const __mmask8 even = _mm512_testn_epi64_mask(next, one);
                const __mmask8 passes = _mm512_cmp_pd_mask(x, t, _CMP_GT_OQ) |
                                        (_mm512_cmp_pd_mask(x, t, _CMP_EQ_OQ) & even);
                k = _mm512_mask_add_epi64(k, passes, k, one);
            }
            k = _mm512_maskz_mov_epi64(_mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GT_OQ), k);
            if constexpr (sizeof(Sample) == 1) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm512_cvtepi64_epi8(k));
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm512_cvtepi64_epi16(k));
            }
        }
    }
    LinearSamples(samples, gains, s, count, channels, tables);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

template <typename Sample>
void GainRow(Sample* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
             const float* gains, const ToneTables* const* tables, GainSpace space) {
    if (samplesPerPixel == gainsPerPixel && (gainsPerPixel == 1 || gainsPerPixel == 3)) {
        const std::size_t count = std::size_t(pixels) * std::size_t(gainsPerPixel);
        const double top = double(tables[0]->maxCode());
#ifdef VELMORA_X86_KERNELS
        const Kernel kernel = ActiveKernel();
        if (kernel >= Kernel::Avx2 && space == GainSpace::Code) {
            CodeAvx2(row, gains, count, top);
            return;
        }
        std::uint32_t steps = 0;
        for (int c = 0; c < gainsPerPixel; ++c)
            steps = std::max(steps, tables[c]->layout().steps);
        if (kernel == Kernel::Avx512 && steps <= kMostVectorSteps) {
            LinearAvx512(row, gains, count, gainsPerPixel, tables, steps);
            return;
        }
        if (kernel == Kernel::Avx2 && steps <= kMostVectorSteps) {
            LinearAvx2(row, gains, count, gainsPerPixel, tables, steps);
            return;
        }
#endif
        if (space == GainSpace::Code) {
            CodeSamples(row, gains, 0, count, top);
        } else {
            LinearSamples(row, gains, 0, count, gainsPerPixel, tables);
        }
        return;
    }
    if (space == GainSpace::Code) {
        const double top = double(tables[0]->maxCode());
        for (std::int32_t i = 0; i < pixels; ++i) {
            Sample* pixel = row + std::size_t(i) * samplesPerPixel;
            const float* g = gains + std::size_t(i) * gainsPerPixel;
            for (int c = 0; c < gainsPerPixel; ++c)
                pixel[c] = Sample(std::min(top, std::rint(double(pixel[c]) * double(g[c]))));
        }
        return;
    }
    for (std::int32_t i = 0; i < pixels; ++i) {
        Sample* pixel = row + std::size_t(i) * samplesPerPixel;
        const float* g = gains + std::size_t(i) * gainsPerPixel;
        for (int c = 0; c < gainsPerPixel; ++c) {
            const ToneTables& table = *tables[c];
            pixel[c] = Sample(table.Encode(table.decode()[pixel[c]] * double(g[c])));
        }
    }
}

}  // namespace

std::vector<float> ComputeGains(const FlatField& flat, const std::array<double, 3>& centre,
                                CorrectWhat what, int pictureChannels) {
    const std::size_t places = std::size_t(flat.width) * std::size_t(flat.height);
    std::vector<float> gains(places * std::size_t(pictureChannels));
    const int fc = flat.channels;
    std::array<float, 3> centreLevels{};
    for (int c = 0; c < fc; ++c)
        centreLevels[std::size_t(c)] = float(centre[std::size_t(c)]);
    const double centreLuminance = Luminance(centreLevels.data(), fc);
    for (std::size_t i = 0; i < places; ++i) {
        const float* f = flat.values.data() + i * std::size_t(fc);
        float* g = gains.data() + i * std::size_t(pictureChannels);
        const double luminanceGain = Gain(centreLuminance, Luminance(f, fc));
        for (int c = 0; c < pictureChannels; ++c) {
            if (pictureChannels == 1 || what == CorrectWhat::Luminance) {
                g[c] = what == CorrectWhat::Colour ? 1.0f : float(luminanceGain);
                continue;
            }
            const int fcI = fc == 1 ? 0 : c;
            const double channelGain = Gain(centre[std::size_t(fcI)], f[fcI]);
            g[c] = float(what == CorrectWhat::Both ? channelGain : channelGain / luminanceGain);
        }
    }
    return gains;
}

void ApplyGainRow(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                  const float* gains, const ToneTables* const* tables, GainSpace space) {
    GainRow(row, pixels, samplesPerPixel, gainsPerPixel, gains, tables, space);
}

void ApplyGainRow(std::uint16_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                  const float* gains, const ToneTables* const* tables, GainSpace space) {
    GainRow(row, pixels, samplesPerPixel, gainsPerPixel, gains, tables, space);
}

}  // namespace velmora
