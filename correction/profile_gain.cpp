#include "correction/profile_gain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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
// table of channel s % channels. The definition and the fallback of the vector kernels; `from`
// and `to` are whole pixels.
template <typename Sample>
void LinearSamples(Sample* samples, const float* gains, std::size_t from, std::size_t to,
                   int channels, const ToneTables* const* tables) {
    for (std::size_t s = from; s < to; s += std::size_t(channels)) {
        for (int c = 0; c < channels; ++c) {
            const ToneTables& table = *tables[c];
            samples[s + c] =
                Sample(table.Encode(table.decode()[samples[s + c]] * double(gains[s + c])));
        }
    }
}

template <typename Sample>
void CodeSamples(Sample* samples, const float* gains, std::size_t from, std::size_t to,
                 double top) {
    for (std::size_t s = from; s < to; ++s)
        samples[s] = Sample(std::min(top, std::rint(double(samples[s]) * double(gains[s]))));
}

#ifdef VELMORA_X86_KERNELS
// Each lane's bucket numbering for 3 vectors of 4 lanes: with 3 channels the lane pattern repeats
// every 3 vectors.
struct LaneTables {
    alignas(32) std::int64_t shift[3][4];
    alignas(32) std::int64_t first[3][4];
    alignas(32) std::int64_t last[3][4];

    LaneTables(const ToneTables* const* tables, int channels) {
        for (int j = 0; j < 3; ++j) {
            for (int lane = 0; lane < 4; ++lane) {
                const ToneTables::Layout at = tables[(4 * j + lane) % channels]->layout();
                shift[j][lane] = at.bucketShift;
                first[j][lane] = std::int64_t(at.firstBucket);
                last[j][lane] = std::int64_t(at.lastBucket);
            }
        }
    }
};

__attribute__((target("avx2"))) inline __m256i Lane4(int j, const std::int64_t (&values)[3][4]) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(values[j]));
}

// Four codes, each within the sample's range, stored as four samples.
template <typename Sample>
__attribute__((target("avx2"))) void StoreFour(Sample* at, __m128i codes) {
    if constexpr (sizeof(Sample) == 1) {
        const std::int32_t four =
            _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(codes, codes), codes));
        std::memcpy(at, &four, 4);
    } else {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_packus_epi32(codes, codes));
    }
}

// Four samples per vector in double precision, each lane reading decode[v], its bucket's start
// and the two bounds after it with plain loads: gathers bought little on the Sapphire Rapids this
// was first measured on (5.1 ns a sample against 6.0 for the scalar loop, 8-bit) and run four
// times slower on Zen 3. Bucket numbers fit 32 bits, so the clamp of Encode is exact in signed
// 64-bit lanes. Where a curve has crowded buckets (`Crowded`), each lane also reads where its
// bucket ends, and lanes in a crowded one are encoded again one by one.
template <typename Sample, bool Crowded>
__attribute__((target("avx2"))) void LinearAvx2(Sample* samples, const float* gains,
                                                std::size_t count, int channels,
                                                const ToneTables* const* tables) {
    const LaneTables lanes(tables, channels);
    const double* decode[12];
    const std::uint16_t* start[12];
    const double* bound[12];
    for (int l = 0; l < 12; ++l) {
        const ToneTables::Layout at = tables[l % channels]->layout();
        decode[l] = at.decode;
        start[l] = at.bucketStart;
        bound[l] = at.bound + 1;
    }
    const __m256i zero = _mm256_setzero_si256();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d largest = _mm256_set1_pd(std::numeric_limits<double>::max());
    std::size_t s = 0;
    for (; s + 12 <= count; s += 12) {
        for (int j = 0; j < 3; ++j) {
            Sample* at = samples + s + 4 * j;
            const double* const* dec = decode + 4 * j;
            const __m256d decoded =
                _mm256_setr_pd(dec[0][at[0]], dec[1][at[1]], dec[2][at[2]], dec[3][at[3]]);
            const __m256d x =
                _mm256_mul_pd(decoded, _mm256_cvtps_pd(_mm_loadu_ps(gains + s + 4 * j)));
            // As Encode: +inf stays below +inf bounds (NaN becomes the largest, cut below).
            const __m256d cut = _mm256_min_pd(x, largest);
            const __m256i last = Lane4(j, lanes.last);
            __m256i bucket =
                _mm256_sub_epi64(_mm256_srlv_epi64(_mm256_castpd_si256(cut), Lane4(j, lanes.shift)),
                                 Lane4(j, lanes.first));
            bucket = _mm256_andnot_si256(_mm256_cmpgt_epi64(zero, bucket), bucket);
            bucket = _mm256_blendv_epi8(bucket, last, _mm256_cmpgt_epi64(bucket, last));
            alignas(32) std::int64_t b[4];
            _mm256_store_si256(reinterpret_cast<__m256i*>(b), bucket);
            // A bucket's start and, in the high half, its end (the next bucket's start).
            std::uint32_t k[4];
            for (int l = 0; l < 4; ++l) {
                if constexpr (Crowded) {
                    std::memcpy(&k[l], start[4 * j + l] + b[l], 4);
                } else {
                    k[l] = start[4 * j + l][b[l]];
                }
            }
            __m128i ends = _mm_setr_epi32(std::int32_t(k[0]), std::int32_t(k[1]),
                                          std::int32_t(k[2]), std::int32_t(k[3]));
            const __m128i starts = Crowded ? _mm_and_si128(ends, _mm_set1_epi32(0xffff)) : ends;
            const double* const* bo = bound + 4 * j;
            const std::uint32_t low = Crowded ? 0xffff : 0xffffffff;
            // Lanes 0 and 2, 1 and 3 side by side, so that unpacking leaves them in order.
            const __m256d even =
                _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(bo[0] + (k[0] & low))),
                                     _mm_loadu_pd(bo[2] + (k[2] & low)), 1);
            const __m256d odd =
                _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(bo[1] + (k[1] & low))),
                                     _mm_loadu_pd(bo[3] + (k[3] & low)), 1);
            const __m256d passed = _mm256_add_pd(
                _mm256_and_pd(_mm256_cmp_pd(cut, _mm256_unpacklo_pd(even, odd), _CMP_GT_OQ), one),
                _mm256_and_pd(_mm256_cmp_pd(cut, _mm256_unpackhi_pd(even, odd), _CMP_GT_OQ), one));
            const __m256d code = _mm256_and_pd(_mm256_add_pd(_mm256_cvtepi32_pd(starts), passed),
                                               _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GT_OQ));
            StoreFour(at, _mm256_cvttpd_epi32(code));
            if constexpr (Crowded) {
                ends = _mm_srli_epi32(ends, 16);
                const int crowded = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(
                    _mm_sub_epi32(ends, starts), _mm_set1_epi32(ToneTables::kMostKernelSteps))));
                if (crowded != 0) [[unlikely]] {
                    alignas(32) double xs[4];
                    _mm256_store_pd(xs, x);
                    for (int l = 0; l < 4; ++l) {
                        if (crowded & (1 << l))
                            at[l] = Sample(tables[(4 * j + l) % channels]->Encode(xs[l]));
                    }
                }
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
        StoreFour(at, codes);
    }
    CodeSamples(samples, gains, s, count, top);
}

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
        bool crowded = false;
        for (int c = 0; c < gainsPerPixel; ++c)
            crowded = crowded || tables[c]->layout().crowded;
        // avx512 runs the AVX2 kernel: eight lanes with hardware gathers took 3.2 ns a sample
        // (8-bit) against its 2.2 on the Sapphire Rapids this was measured on.
        if (kernel >= Kernel::Avx2) {
            if (crowded) {
                LinearAvx2<Sample, true>(row, gains, count, gainsPerPixel, tables);
            } else {
                LinearAvx2<Sample, false>(row, gains, count, gainsPerPixel, tables);
            }
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

void ComputeGains(const FlatField& flat, const std::array<double, 3>& centre, CorrectWhat what,
                  int pictureChannels, std::size_t firstPlace, std::size_t places, float* out) {
    ComputeGains(flat.values.data() + firstPlace * std::size_t(flat.channels), flat.channels,
                 centre, what, pictureChannels, places, out);
}

void ComputeGains(const float* flat, int flatChannels, const std::array<double, 3>& centre,
                  CorrectWhat what, int pictureChannels, std::size_t places, float* out) {
    const int fc = flatChannels;
    std::array<float, 3> centreLevels{};
    for (int c = 0; c < fc; ++c)
        centreLevels[std::size_t(c)] = float(centre[std::size_t(c)]);
    const double centreLuminance = Luminance(centreLevels.data(), fc);
    for (std::size_t i = 0; i < places; ++i) {
        const float* f = flat + i * std::size_t(fc);
        float* g = out + i * std::size_t(pictureChannels);
        // Both, on colour, needs no luminance: the usual case skips it.
        const bool perChannel = what == CorrectWhat::Both && pictureChannels > 1;
        const double luminanceGain = perChannel ? 1.0 : Gain(centreLuminance, Luminance(f, fc));
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
}

std::vector<float> ComputeGains(const FlatField& flat, const std::array<double, 3>& centre,
                                CorrectWhat what, int pictureChannels) {
    std::vector<float> gains(flat.places() * std::size_t(pictureChannels));
    ComputeGains(flat, centre, what, pictureChannels, 0, flat.places(), gains.data());
    return gains;
}

namespace {

const ToneTables& CurveOf(const std::vector<const ToneTables*>& curves, std::size_t channel) {
    return *curves[std::min(channel, curves.size() - 1)];
}

}  // namespace

std::array<double, 3> CentreInCodeValues(const std::array<double, 3>& centre,
                                         const std::vector<const ToneTables*>& curves) {
    std::array<double, 3> code{};
    for (std::size_t c = 0; c < 3; ++c)
        code[c] = CurveOf(curves, c).ToCode(centre[c]);
    return code;
}

void FlatInCodeValues(float* values, std::size_t count, int channels,
                      const std::vector<const ToneTables*>& curves) {
    for (std::size_t i = 0; i < count; ++i)
        values[i] = float(CurveOf(curves, i % std::size_t(channels)).ToCode(values[i]));
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
