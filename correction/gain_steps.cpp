#include "correction/gain_steps.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "correction/lens_profile.h"
#include "correction/sum_lookup.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_X86_KERNELS 1
#endif

namespace velmora {

namespace {

// Step s begins where a gain is nearer to step s than to s - 1 in the logarithm:
// 2^((s - 0.5) / 2048 - 4). A gain's step is the number of those beginnings at or below it,
// found from its top bits (8192 parts per octave, so that each part holds one beginning at
// most) and one comparison: the logarithm of every gain of a picture took 110 ns each.
struct StepTables {
    static constexpr int kPartBits = 13;
    std::vector<double> beginning;  // [s], s = 1 .. kGainSteps - 1; [0] = 0, [kGainSteps] = inf
    std::vector<std::uint16_t> partStart;
    std::uint32_t firstPart = 0;

    StepTables() : beginning(kGainSteps + 1) {
        beginning[0] = 0;
        for (int s = 1; s < kGainSteps; ++s)
            beginning[std::size_t(s)] =
                std::exp2((s - 0.5) / kGainStepsPerOctave + kLowestGainOctave);
        beginning[kGainSteps] = HUGE_VAL;
        firstPart = std::bit_cast<std::uint32_t>(float(std::exp2(kLowestGainOctave - 1))) >>
                    (23 - kPartBits);
        const std::uint32_t lastPart =
            std::bit_cast<std::uint32_t>(float(std::exp2(kLowestGainOctave + 9))) >>
            (23 - kPartBits);
        partStart.resize(lastPart - firstPart + 1);
        int step = 0;
        for (std::uint32_t part = firstPart; part <= lastPart; ++part) {
            const double lower = std::bit_cast<float>(part << (23 - kPartBits));
            while (step + 1 < kGainSteps && beginning[std::size_t(step) + 1] <= lower)
                ++step;
            partStart[part - firstPart] = std::uint16_t(step);
        }
    }
};

const StepTables& Steps() {
    static const StepTables tables;
    return tables;
}

}  // namespace

std::uint16_t GainStep(float gain) {
    const StepTables& tables = Steps();
    if (!(gain > tables.beginning[1])) return 0;  // also NaN
    if (gain >= tables.beginning[kGainSteps - 1]) return kGainSteps - 1;
    const std::uint32_t part =
        (std::bit_cast<std::uint32_t>(gain) >> (23 - StepTables::kPartBits)) - tables.firstPart;
    std::uint16_t step = tables.partStart[part];
    step += double(gain) >= tables.beginning[std::size_t(step) + 1];
    return step;
}

float StepGain(std::uint16_t step) {
    return float(std::exp2(double(step) / kGainStepsPerOctave + kLowestGainOctave));
}

std::vector<std::uint16_t> ToGainSteps(const std::vector<float>& gains) {
    std::vector<std::uint16_t> steps(gains.size());
    std::transform(gains.begin(), gains.end(), steps.begin(), GainStep);
    return steps;
}

FileValueGains::FileValueGains(const std::array<double, 3>& centre, int channels,
                               const std::vector<const ToneTables*>& codeCurves)
    : channels_(channels) {
    // Made by the very calls that ComputeGainSteps makes, on a flat holding every file value.
    FlatField every{65536, 1, channels, std::vector<float>(65536 * std::size_t(channels))};
    for (std::uint32_t k = 0; k < 65536; ++k) {
        for (int c = 0; c < channels; ++c)
            every.values[k * std::size_t(channels) + std::size_t(c)] =
                FileValueLight(std::uint16_t(k));
    }
    std::array<double, 3> levels = centre;
    if (!codeCurves.empty()) {
        FlatInCodeValues(every.values.data(), every.values.size(), channels, codeCurves);
        levels = CentreInCodeValues(centre, codeCurves);
    }
    const std::vector<float> gains = ComputeGains(every, levels, CorrectWhat::Both, channels);
    for (std::size_t c = 0; c < std::size_t(channels); ++c) {
        gains_[c].resize(65536);
        steps_[c].resize(65536);
        for (std::size_t k = 0; k < 65536; ++k) {
            gains_[c][k] = gains[k * std::size_t(channels) + c];
            steps_[c][k] = GainStep(gains_[c][k]);
        }
    }
}

namespace {

template <typename Value>
void LookUpPlaces(const std::array<std::vector<Value>, 3>& tables, int channels,
                  const std::uint16_t* values, std::size_t places, Value* out) {
    if (channels == 1) {
        const Value* grey = tables[0].data();
        for (std::size_t p = 0; p < places; ++p)
            out[p] = grey[values[p]];
        return;
    }
    const Value* red = tables[0].data();
    const Value* green = tables[1].data();
    const Value* blue = tables[2].data();
    for (std::size_t p = 0; p < places; ++p, values += 3, out += 3) {
        out[0] = red[values[0]];
        out[1] = green[values[1]];
        out[2] = blue[values[2]];
    }
}

}  // namespace

void FileValueGains::Gains(const std::uint16_t* values, std::size_t places, float* out) const {
    LookUpPlaces(gains_, channels_, values, places, out);
}

void FileValueGains::Steps(const std::uint16_t* values, std::size_t places,
                           std::uint16_t* out) const {
    LookUpPlaces(steps_, channels_, values, places, out);
}

void ComputeGainSteps(const FlatField& flat, const std::array<double, 3>& centre, CorrectWhat what,
                      int pictureChannels, std::size_t firstPlace, std::size_t places,
                      std::uint16_t* out) {
    ComputeGainSteps(flat.values.data() + firstPlace * std::size_t(flat.channels), flat.channels,
                     centre, what, pictureChannels, places, out);
}

namespace {

#ifdef VELMORA_X86_KERNELS
// Speed-up of the usual case, each channel's gain C / F (Both, the flat of the picture's
// channels) and its step at once, four samples a vector and no table: a step is the floor of
// u = (log2(gain) + 4) x 2048 + 1/2, and log2 of the float gain comes from its exponent and an
// odd series in (m - 1) / (m + 1) of its mantissa m, within 2.1e-6 of u over every float from
// 1/32 to 16 (checked one by one). Where u lies within 1e-5 of a whole number (one gain in
// 40,000), GainStep decides. The search by table took 3.8 ns a sample, this 2.1 (AMD EPYC of
// the Zen 5 generation, one core).
__attribute__((target("avx2,fma"))) inline void BothStepsOfFour(const float* flat, __m256d centre,
                                                                std::uint16_t* out) {
    const __m256d sixteen = _mm256_set1_pd(kLargestProfileGain);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d f = _mm256_cvtps_pd(_mm_loadu_ps(flat));
    const __m256d dark = _mm256_cmp_pd(_mm256_mul_pd(f, sixteen), centre, _CMP_GT_OQ);
    const __m256d gain = _mm256_blendv_pd(sixteen, _mm256_div_pd(centre, f), dark);
    const __m256d g = _mm256_cvtps_pd(_mm256_cvtpd_ps(gain));  // the float gain
    // g = m x 2^e with m in [1, 2), then in [sqrt(1/2), sqrt(2)).
    const __m256i bits = _mm256_castpd_si256(g);
    __m256d m = _mm256_castsi256_pd(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000fffffffffffffLL)),
                        _mm256_set1_epi64x(0x3ff0000000000000LL)));
    const __m128i e32 = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
        _mm256_srli_epi64(bits, 52), _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)));
    const __m256d high = _mm256_cmp_pd(m, _mm256_set1_pd(1.4142135623730951), _CMP_GT_OQ);
    m = _mm256_blendv_pd(m, _mm256_mul_pd(m, _mm256_set1_pd(0.5)), high);
    const __m256d e = _mm256_add_pd(_mm256_cvtepi32_pd(e32), _mm256_and_pd(high, one));
    // u = 2048 (e - 1023) + 8192.5 + 2048 x 2 t (1 + t^2/3 + t^4/5 + t^6/7 + t^8/9) / ln 2.
    const __m256d t = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
    const __m256d t2 = _mm256_mul_pd(t, t);
    const __m256d t4 = _mm256_mul_pd(t2, t2);
    const __m256d low = _mm256_fmadd_pd(t2, _mm256_set1_pd(1.0 / 3), one);
    const __m256d rest =
        _mm256_fmadd_pd(t4, _mm256_set1_pd(1.0 / 9),
                        _mm256_fmadd_pd(t2, _mm256_set1_pd(1.0 / 7), _mm256_set1_pd(1.0 / 5)));
    const __m256d series = _mm256_mul_pd(t, _mm256_fmadd_pd(t4, rest, low));
    const __m256d base = _mm256_fmadd_pd(e, _mm256_set1_pd(kGainStepsPerOctave),
                                         _mm256_set1_pd(8192.5 - 1023.0 * kGainStepsPerOctave));
    const __m256d u = _mm256_fmadd_pd(
        series, _mm256_set1_pd(2.0 * kGainStepsPerOctave / 0.69314718055994530942), base);
    const __m256d whole = _mm256_floor_pd(u);
    const __m256d fraction = _mm256_sub_pd(u, whole);
    const __m256d step =
        _mm256_min_pd(_mm256_max_pd(whole, _mm256_setzero_pd()), _mm256_set1_pd(kGainSteps - 1));
    const __m128i codes = _mm256_cvttpd_epi32(step);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi32(codes, codes));
    const __m256d margin = _mm256_set1_pd(1e-5);
    const int unsure = _mm256_movemask_pd(
        _mm256_or_pd(_mm256_cmp_pd(fraction, margin, _CMP_LT_OQ),
                     _mm256_cmp_pd(fraction, _mm256_sub_pd(one, margin), _CMP_GT_OQ)));
    if (unsure != 0) {
        alignas(32) double gains[4];
        _mm256_store_pd(gains, g);
        for (int l = 0; l < 4; ++l) {
            if ((unsure >> l) & 1) out[l] = GainStep(float(gains[l]));
        }
    }
}

// Returns the samples done: whole groups of 12.
__attribute__((target("avx2,fma"))) std::size_t BothStepsAvx2(const float* flat,
                                                              const double* centre, int channels,
                                                              std::size_t count,
                                                              std::uint16_t* out) {
    __m256d levels[3];
    for (int j = 0; j < 3; ++j) {
        levels[j] = _mm256_setr_pd(centre[(4 * j) % channels], centre[(4 * j + 1) % channels],
                                   centre[(4 * j + 2) % channels], centre[(4 * j + 3) % channels]);
    }
    std::size_t s = 0;
    for (; s + 12 <= count; s += 12) {
        for (int j = 0; j < 3; ++j)
            BothStepsOfFour(flat + s + 4 * j, levels[j], out + s + 4 * j);
    }
    return s;
}
// The same arithmetic eight samples a vector: 1.1 ns a sample against the AVX2 kernel's 2.1
// (AMD EPYC of the Zen 5 generation, one core). Whole groups of 24.
// GCC 12 takes the unset pass-through operand of its own AVX-512 intrinsics for an uninitialised
// value (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define VELMORA_AVX512 "avx512f,avx512dq,avx512vl,avx512bw"
__attribute__((target(VELMORA_AVX512))) inline void BothStepsOfEight(const float* flat,
                                                                     __m512d centre,
                                                                     std::uint16_t* out) {
    const __m512d sixteen = _mm512_set1_pd(kLargestProfileGain);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d f = _mm512_cvtps_pd(_mm256_loadu_ps(flat));
    const __mmask8 dark = _mm512_cmp_pd_mask(_mm512_mul_pd(f, sixteen), centre, _CMP_GT_OQ);
    const __m512d gain = _mm512_mask_div_pd(sixteen, dark, centre, f);
    const __m512d g = _mm512_cvtps_pd(_mm512_cvtpd_ps(gain));
    const __m512i bits = _mm512_castpd_si512(g);
    __m512d m = _mm512_castsi512_pd(
        _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi64(0x000fffffffffffffLL)),
                        _mm512_set1_epi64(0x3ff0000000000000LL)));
    __m512d e = _mm512_cvtepi64_pd(_mm512_srli_epi64(bits, 52));
    const __mmask8 high = _mm512_cmp_pd_mask(m, _mm512_set1_pd(1.4142135623730951), _CMP_GT_OQ);
    m = _mm512_mask_mul_pd(m, high, m, _mm512_set1_pd(0.5));
    e = _mm512_mask_add_pd(e, high, e, one);
    const __m512d t = _mm512_div_pd(_mm512_sub_pd(m, one), _mm512_add_pd(m, one));
    const __m512d t2 = _mm512_mul_pd(t, t);
    const __m512d t4 = _mm512_mul_pd(t2, t2);
    const __m512d low = _mm512_fmadd_pd(t2, _mm512_set1_pd(1.0 / 3), one);
    const __m512d rest =
        _mm512_fmadd_pd(t4, _mm512_set1_pd(1.0 / 9),
                        _mm512_fmadd_pd(t2, _mm512_set1_pd(1.0 / 7), _mm512_set1_pd(1.0 / 5)));
    const __m512d series = _mm512_mul_pd(t, _mm512_fmadd_pd(t4, rest, low));
    const __m512d base = _mm512_fmadd_pd(e, _mm512_set1_pd(kGainStepsPerOctave),
                                         _mm512_set1_pd(8192.5 - 1023.0 * kGainStepsPerOctave));
    const __m512d u = _mm512_fmadd_pd(
        series, _mm512_set1_pd(2.0 * kGainStepsPerOctave / 0.69314718055994530942), base);
    const __m512d whole = _mm512_roundscale_pd(u, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512d fraction = _mm512_sub_pd(u, whole);
    const __m512d step = _mm512_max_pd(whole, _mm512_setzero_pd());
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm256_cvtepi32_epi16(_mm512_cvttpd_epi32(step)));
    const __m512d margin = _mm512_set1_pd(1e-5);
    const __mmask8 unsure = _mm512_cmp_pd_mask(fraction, margin, _CMP_LT_OQ) |
                            _mm512_cmp_pd_mask(fraction, _mm512_sub_pd(one, margin), _CMP_GT_OQ);
    if (unsure != 0) {
        alignas(64) double gains[8];
        _mm512_store_pd(gains, g);
        for (int l = 0; l < 8; ++l) {
            if ((unsure >> l) & 1) out[l] = GainStep(float(gains[l]));
        }
    }
}

__attribute__((target(VELMORA_AVX512))) std::size_t BothStepsAvx512(const float* flat,
                                                                    const double* centre,
                                                                    int channels, std::size_t count,
                                                                    std::uint16_t* out) {
    __m512d levels[3];
    for (int j = 0; j < 3; ++j) {
        alignas(64) double lanes[8];
        for (int l = 0; l < 8; ++l)
            lanes[l] = centre[(8 * j + l) % channels];
        levels[j] = _mm512_load_pd(lanes);
    }
    std::size_t s = 0;
    for (; s + 24 <= count; s += 24) {
        for (int j = 0; j < 3; ++j)
            BothStepsOfEight(flat + s + 8 * j, levels[j], out + s + 8 * j);
    }
    return s;
}
#undef VELMORA_AVX512
#pragma GCC diagnostic pop
#endif

}  // namespace

void ComputeGainSteps(const float* flat, int flatChannels, const std::array<double, 3>& centre,
                      CorrectWhat what, int pictureChannels, std::size_t places,
                      std::uint16_t* out) {
    std::size_t done = 0;
#ifdef VELMORA_X86_KERNELS
    if (what == CorrectWhat::Both && flatChannels == pictureChannels &&
        ActiveKernel() >= Kernel::Avx2) {
        // The centre levels ComputeGains divides by: a grey picture's through its float.
        const std::array<double, 3> levels =
            pictureChannels == 1 ? std::array<double, 3>{double(float(centre[0]))} : centre;
        const std::size_t samples = places * std::size_t(pictureChannels);
        const bool wide = ActiveKernel() >= Kernel::Avx512 && __builtin_cpu_supports("avx512dq") &&
                          __builtin_cpu_supports("avx512vl");
        std::size_t samplesDone =
            wide ? BothStepsAvx512(flat, levels.data(), pictureChannels, samples, out) : 0;
        samplesDone += BothStepsAvx2(flat + samplesDone, levels.data(), pictureChannels,
                                     samples - samplesDone, out + samplesDone);
        done = samplesDone / std::size_t(pictureChannels);
    }
#endif
    // Rows the vector kernels took leave a few places at most: room for those alone.
    constexpr std::size_t kPlacesAtOnce = 4096;
    std::vector<float> gains(std::min(kPlacesAtOnce, places - done) * std::size_t(pictureChannels));
    for (; done < places; done += kPlacesAtOnce) {
        const std::size_t count = std::min(kPlacesAtOnce, places - done);
        ComputeGains(flat + done * std::size_t(flatChannels), flatChannels, centre, what,
                     pictureChannels, count, gains.data());
        std::transform(gains.begin(), gains.begin() + std::ptrdiff_t(count * pictureChannels),
                       out + done * std::size_t(pictureChannels), GainStep);
    }
}

GainLookup::GainLookup(const ToneTables& tables, GainSpace space)
    : results_(std::size_t(256) * kGainSteps + kPadding) {
    // Each step's row is one call of the row kernel: every value under the step's gain.
    std::vector<float> gains(256);
    const ToneTables* perChannel[] = {&tables};
    for (int step = 0; step < kGainSteps; ++step) {
        std::fill(gains.begin(), gains.end(), StepGain(std::uint16_t(step)));
        std::uint8_t* row = results_.data() + std::size_t(step) * 256;
        for (int value = 0; value < 256; ++value)
            row[value] = std::uint8_t(value);
        ApplyGainRow(row, 256, 1, 1, gains.data(), perChannel, space);
    }
}

namespace {

// One scalar load per sample, from each channel's table held in a register: every processor
// issues two or three loads a cycle, and the table rows that neighbouring pixels read stay in
// the cache. All of a pixel's results are read before any is stored, since a byte store could
// otherwise alias the tables' pointers and force them to be read again.
void StepsPortable(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel, int gainsPerPixel,
                   const std::uint16_t* steps, const GainLookup* const* lookups) {
    const std::size_t count = std::size_t(pixels);
    if (samplesPerPixel == 3 && gainsPerPixel == 3) {
        const std::uint8_t* red = lookups[0]->results();
        const std::uint8_t* green = lookups[1]->results();
        const std::uint8_t* blue = lookups[2]->results();
        for (std::size_t i = 0; i < count; ++i, row += 3, steps += 3) {
            const std::uint8_t r = red[std::size_t(steps[0]) * 256 + row[0]];
            const std::uint8_t g = green[std::size_t(steps[1]) * 256 + row[1]];
            const std::uint8_t b = blue[std::size_t(steps[2]) * 256 + row[2]];
            row[0] = r;
            row[1] = g;
            row[2] = b;
        }
        return;
    }
    const std::uint8_t* tables[4] = {};
    for (int c = 0; c < gainsPerPixel; ++c)
        tables[c] = lookups[c]->results();
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* pixel = row + i * std::size_t(samplesPerPixel);
        const std::uint16_t* step = steps + i * std::size_t(gainsPerPixel);
        for (int c = 0; c < gainsPerPixel; ++c)
            pixel[c] = tables[c][std::size_t(step[c]) * 256 + pixel[c]];
    }
}

#ifdef VELMORA_X86_KERNELS
// The vector kernels gather four bytes at each sample's place in its channel's table, counted
// from the first channel's table, and keep the first; they serve rows without alpha whose
// tables lie within 2 GiB of the first. Lane l of vector j of a group of three holds channel
// (lanes * j + l) % channels, so a group's offsets repeat from group to group.
struct LaneOffsets {
    static constexpr int kLanes = 8;
    alignas(32) std::int32_t offset[3][kLanes];
};

bool OffsetsFor(const GainLookup* const* lookups, int channels, LaneOffsets& lanes) {
    const std::uint8_t* first = lookups[0]->results();
    constexpr std::int64_t kLowest = INT32_MIN;
    constexpr std::int64_t kHighest = INT32_MAX - std::int64_t(256) * kGainSteps;
    for (int j = 0; j < 3; ++j) {
        for (int l = 0; l < LaneOffsets::kLanes; ++l) {
            const std::int64_t offset =
                lookups[(LaneOffsets::kLanes * j + l) % channels]->results() - first;
            if (offset < kLowest || offset > kHighest) return false;
            lanes.offset[j][l] = std::int32_t(offset);
        }
    }
    return true;
}

// Eight samples a vector. 30 ms for a 24-megapixel RGB picture against 45 ms for the plain loop
// (Xeon, one core); sixteen lanes of AVX-512 gathers took 40 ms there. On AMD's Zen 3 gathers
// cost several times the loads, so the lookup times both ways at first use (StepsChoice).
// Returns the samples done: whole groups of 24.
__attribute__((target("avx2"))) std::size_t StepsAvx2(std::uint8_t* samples, std::size_t count,
                                                      const std::uint16_t* steps,
                                                      const std::uint8_t* table,
                                                      const LaneOffsets& lanes) {
    const __m256i low = _mm256_set1_epi32(0xff);
    std::size_t s = 0;
    for (; s + 24 <= count; s += 24) {
        for (int j = 0; j < 3; ++j) {
            std::uint8_t* at = samples + s + 8 * std::size_t(j);
            const __m256i step = _mm256_cvtepu16_epi32(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(steps + s + 8 * j)));
            const __m256i value =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
            const __m256i index = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_slli_epi32(step, 8), value),
                _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.offset[j])));
            const __m256i found = _mm256_and_si256(
                _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), index, 1), low);
            const __m256i words = _mm256_packus_epi32(found, found);
            const __m256i bytes = _mm256_packus_epi16(words, words);
            const std::uint32_t first = std::uint32_t(_mm256_extract_epi32(bytes, 0));
            const std::uint32_t second = std::uint32_t(_mm256_extract_epi32(bytes, 4));
            std::memcpy(at, &first, 4);
            std::memcpy(at + 4, &second, 4);
        }
    }
    return s;
}
#endif

}  // namespace

namespace {

void StepsRow(KernelVariant variant, std::uint8_t* row, std::int32_t pixels, int samplesPerPixel,
              int gainsPerPixel, const std::uint16_t* steps, const GainLookup* const* lookups) {
#ifdef VELMORA_X86_KERNELS
    if (samplesPerPixel == gainsPerPixel && variant.gathers) {
        LaneOffsets lanes;
        if (OffsetsFor(lookups, gainsPerPixel, lanes)) {
            const std::size_t done =
                StepsAvx2(row, std::size_t(pixels) * std::size_t(gainsPerPixel), steps,
                          lookups[0]->results(), lanes);
            const std::int32_t donePixels = std::int32_t(done / std::size_t(gainsPerPixel));
            StepsPortable(row + done, pixels - donePixels, samplesPerPixel, gainsPerPixel,
                          steps + done, lookups);
            return;
        }
    }
#endif
    (void)variant;
    StepsPortable(row, pixels, samplesPerPixel, gainsPerPixel, steps, lookups);
}

// Eight rows of a 6000-pixel RGB picture whose steps climb slowly, as a smooth falloff's do,
// through one table: the trial by which the lookup chooses between loads and gathers.
void TrialSteps(KernelVariant variant) {
    constexpr std::int32_t kPixels = 6000;
    constexpr std::size_t kSamples = 3 * std::size_t(kPixels);
    // Kept for the process, as the cache keeps its own tables.
    static const GainLookup* const table = [] {
        const ToneTables curve([](double code) { return code; }, 255);
        return new GainLookup(curve, GainSpace::Code);
    }();
    static const std::vector<std::uint16_t> steps = [] {
        std::vector<std::uint16_t> s(kSamples * 8);
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = std::uint16_t(kGainStepsPerOctave * 4 + (i % kSamples) / 9 + i % 3);
        return s;
    }();
    static std::vector<std::uint8_t> picture = [] {
        std::vector<std::uint8_t> p(kSamples);
        for (std::size_t i = 0; i < kSamples; ++i)
            p[i] = std::uint8_t(40 + (i * 37) % 151);
        return p;
    }();
    const GainLookup* lookups[] = {table, table, table};
    for (int r = 0; r < 8; ++r) {
        StepsRow(variant, picture.data(), kPixels, 3, 3, steps.data() + kSamples * std::size_t(r),
                 lookups);
    }
}

KernelChoice& StepsChoice() {
    static KernelChoice choice("8-bit gain steps",
                               {{Kernel::Portable, false}, {Kernel::Avx2, true}}, TrialSteps);
    return choice;
}

}  // namespace

void ApplyGainStepsRow(std::uint8_t* row, std::int32_t pixels, int samplesPerPixel,
                       int gainsPerPixel, const std::uint16_t* steps,
                       const GainLookup* const* lookups) {
    StepsRow(StepsChoice().Current(), row, pixels, samplesPerPixel, gainsPerPixel, steps, lookups);
}

}  // namespace velmora
