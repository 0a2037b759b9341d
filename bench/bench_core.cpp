// Tuning and filtering on a full-size picture (1600 x 1200 pixels, 4800 x 1200 bytes) against
// the memory floor: one plain pass that reads two 5,760,000-byte arrays and writes one.
// Prints each operation's time and its ratio to the floor. The passes that differ per kernel run
// once for every kernel this processor has (only the one VELMORA_KERNEL names, when it is set),
// each row named after its kernel, and the passes that choose their kernel at run time once more
// as "chosen"; tuning and plain add are the same code for every kernel. The lens profile's rows
// work on a 24-megapixel picture and print their ratio to copying it (ProfileFloor). Last come
// the run-time choices and why they fell as they did.

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "correction/filtering.h"
#include "correction/flat_upsample.h"
#include "correction/gain.h"
#include "correction/gain_steps.h"
#include "correction/kernel_choice.h"
#include "correction/profile_gain.h"
#include "correction/sum_lookup.h"
#include "correction/tone_curve.h"
#include "correction/tuning.h"

namespace {

using namespace velmora;

constexpr std::int32_t kWidth = 4800;
constexpr std::int32_t kRows = 1200;

// Corrections from 0 at the centre to about 80 in the corners, a little different per lane.
const CorrectionMap& RealisticMap() {
    static const CorrectionMap map = [] {
        CorrectionMap m;
        for (std::int32_t r = 0; r < kRows; ++r) {
            for (std::int32_t b = 0; b < kWidth; ++b) {
                const double x = (b / 3 - 800) / 800.0;
                const double y = (r - 600) / 600.0;
                const double falloff = (x * x + y * y) / 2.0;
                m(b, r) =
                    std::uint8_t(std::lround((70 + 5 * (b % 3)) * falloff * falloff + 5 * falloff));
            }
        }
        return m;
    }();
    return map;
}

// A scene of smooth gradients with noise, bright enough that some sums pass 255.
const PixelBytes& ScenePixels() {
    static const PixelBytes pixels = [] {
        PixelBytes p;
        p.Recreate(kWidth, kRows);
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> noise(-12, 12);
        for (std::int32_t r = 0; r < kRows; ++r) {
            for (std::int32_t b = 0; b < kWidth; ++b) {
                const int base = 40 + (b / 3 + r) * 200 / (1600 + 1200);
                p(b, r) = std::uint8_t(std::clamp(base + noise(rng), 0, 255));
            }
        }
        return p;
    }();
    return pixels;
}

void BM_MemoryFloor(benchmark::State& state) {
    const PixelBytes& a = ScenePixels();
    const CorrectionMap& m = RealisticMap();
    std::vector<std::uint8_t> out(a.size());
    for (auto _ : state) {
        const std::uint8_t* x = a.data();
        const std::uint8_t* y = m.data();
        std::uint8_t* z = out.data();
        for (std::size_t i = 0; i < out.size(); ++i)
            z[i] = std::uint8_t(x[i] | y[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * 3 * std::int64_t(out.size()));
}
BENCHMARK(BM_MemoryFloor)->Unit(benchmark::kMillisecond);

void BM_Tuning(benchmark::State& state) {
    const PixelBytes& reference = ScenePixels();
    CorrectionMap map;
    for (auto _ : state) {
        TuneCorrectionMap(reference, map);
        benchmark::DoNotOptimize(map.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Tuning)->Name("Tuning/every kernel")->Unit(benchmark::kMillisecond);

// Forces `variant`, or with none lets the passes choose as they would unforced.
void Use(std::optional<KernelVariant> variant) {
    ForceVariant(variant);
}

void PeakSearch(benchmark::State& state, Kernel kernel) {
    UseKernel(kernel);
    for (auto _ : state)
        benchmark::DoNotOptimize(FindPeakSum(ScenePixels(), RealisticMap()));
}

// Times `pass` on a fresh copy of `scene` in every iteration; the copy is not timed.
template <typename Picture, typename Pass>
void TimeOnFreshCopies(benchmark::State& state, const Picture& scene, Pass pass) {
    Picture picture = scene;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(scene.data(), scene.data() + scene.size(), picture.data());
        state.ResumeTiming();
        pass(picture);
        benchmark::DoNotOptimize(picture.data());
        benchmark::ClobberMemory();
    }
}

void Filter(benchmark::State& state, FilterMode mode, std::optional<Kernel> kernel) {
    if (kernel) {
        UseKernel(*kernel);
    } else {
        Use(std::nullopt);
    }
    const CorrectionMap& map = RealisticMap();
    TimeOnFreshCopies(state, ScenePixels(),
                      [&](PixelBytes& pixels) { FilterPixelBytes(pixels, map, mode, "30", '.'); });
}

// The gain pass with a grey card of about 200 per lane, as velmora-cli's gain mode runs it.
void Gain(benchmark::State& state, std::optional<KernelVariant> variant) {
    Use(variant);
    const CorrectionMap& map = RealisticMap();
    TimeOnFreshCopies(state, ScenePixels(), [&](PixelBytes& pixels) {
        ApplyGain(pixels, map, {200, 205, 210});
    });
}

// A lens profile's gain on a 6000 x 4000 RGB picture through the sRGB curve, as velmora-cli
// filter --profile runs it: a noisy gradient scene, gains from 1 at the centre to about 3 in the
// corners. Each row prints its time per sample.
constexpr std::int32_t kProfileWidth = 6000;
constexpr std::int32_t kProfileHeight = 4000;
constexpr std::size_t kProfileSamples = std::size_t(kProfileWidth) * kProfileHeight * 3;

const std::vector<float>& ProfileGains() {
    static const std::vector<float> gains = [] {
        std::vector<float> g(kProfileSamples);
        for (std::int32_t y = 0; y < kProfileHeight; ++y) {
            for (std::int32_t x = 0; x < kProfileWidth; ++x) {
                const double dx = (x - kProfileWidth / 2) / double(kProfileWidth / 2);
                const double dy = (y - kProfileHeight / 2) / double(kProfileHeight / 2);
                const double falloff = (dx * dx + dy * dy) / 2.0;
                for (int c = 0; c < 3; ++c) {
                    g[(std::size_t(y) * kProfileWidth + x) * 3 + c] =
                        float(1.0 + (1.9 + 0.05 * c) * falloff);
                }
            }
        }
        return g;
    }();
    return gains;
}

template <typename Sample>
const std::vector<Sample>& ProfileScene() {
    static const std::vector<Sample> scene = [] {
        std::vector<Sample> p(kProfileSamples);
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> noise(-12 * 257, 12 * 257);
        for (std::int32_t y = 0; y < kProfileHeight; ++y) {
            for (std::int32_t x = 0; x < kProfileWidth * 3; ++x) {
                const int base = (40 + (x / 3 + y) * 200 / (kProfileWidth + kProfileHeight)) * 257;
                const int v = std::clamp(base + noise(rng), 0, 65535);
                p[std::size_t(y) * kProfileWidth * 3 + x] =
                    Sample(sizeof(Sample) == 1 ? v / 257 : v);
            }
        }
        return p;
    }();
    return scene;
}

void CountPerSample(benchmark::State& state) {
    state.counters["per_sample"] =
        benchmark::Counter(double(kProfileSamples), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

template <typename Sample>
void ProfileGain(benchmark::State& state, Kernel kernel, GainSpace space) {
    UseKernel(kernel);
    const ToneTables tables(SrgbToLinear, sizeof(Sample) == 1 ? 255 : 65535);
    const ToneTables* perChannel[] = {&tables, &tables, &tables};
    const std::vector<float>& gains = ProfileGains();
    TimeOnFreshCopies(state, ProfileScene<Sample>(), [&](std::vector<Sample>& pixels) {
        for (std::int32_t y = 0; y < kProfileHeight; ++y) {
            const std::size_t at = std::size_t(y) * kProfileWidth * 3;
            ApplyGainRow(pixels.data() + at, kProfileWidth, 3, 3, gains.data() + at, perChannel,
                         space);
        }
    });
    CountPerSample(state);
}

// Copying the 24-megapixel picture once: what any pass over it costs at the least.
template <typename Sample>
void ProfileFloor(benchmark::State& state) {
    const std::vector<Sample>& scene = ProfileScene<Sample>();
    std::vector<Sample> copy(scene.size(), Sample(1));
    for (auto _ : state) {
        std::memcpy(copy.data(), scene.data(), scene.size() * sizeof(Sample));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    CountPerSample(state);
}

// 8-bit pictures' lookup by gain step, as velmora-cli runs it: the steps of the whole picture
// kept, one table row of 256 results per step.
void ProfileGainSteps(benchmark::State& state, std::optional<KernelVariant> variant) {
    Use(variant);
    const ToneTables tables(SrgbToLinear, 255);
    const GainLookup lookup(tables, GainSpace::Linear);
    const GainLookup* perChannel[] = {&lookup, &lookup, &lookup};
    static const std::vector<std::uint16_t> steps = ToGainSteps(ProfileGains());
    TimeOnFreshCopies(state, ProfileScene<std::uint8_t>(), [&](std::vector<std::uint8_t>& pixels) {
        for (std::int32_t y = 0; y < kProfileHeight; ++y) {
            const std::size_t at = std::size_t(y) * kProfileWidth * 3;
            ApplyGainStepsRow(pixels.data() + at, kProfileWidth, 3, 3, steps.data() + at,
                              perChannel);
        }
    });
    CountPerSample(state);
}

// A 5472 x 3078 colour flat (a 16.8-megapixel profile) enlarged to an 11996 x 6748 picture, a
// row at a time into one row's buffer, as a picture corrected in strips takes it. Each row
// prints its time per output pixel.
constexpr std::int32_t kFlatWidth = 5472;
constexpr std::int32_t kFlatHeight = 3078;
constexpr std::int32_t kEnlargedWidth = 11996;
constexpr std::int32_t kEnlargedHeight = 6748;

const std::vector<float>& LargeFlat() {
    static const std::vector<float> flat = [] {
        std::vector<float> f(std::size_t(kFlatWidth) * kFlatHeight * 3);
        for (std::int32_t y = 0; y < kFlatHeight; ++y) {
            for (std::int32_t x = 0; x < kFlatWidth; ++x) {
                const double dx = (x - kFlatWidth / 2) / double(kFlatWidth / 2);
                const double dy = (y - kFlatHeight / 2) / double(kFlatHeight / 2);
                const double falloff = (dx * dx + dy * dy) / 2.0;
                for (int c = 0; c < 3; ++c) {
                    f[(std::size_t(y) * kFlatWidth + x) * 3 + c] =
                        float(1.0 / (1.0 + (0.9 + 0.05 * c) * falloff));
                }
            }
        }
        return f;
    }();
    return flat;
}

void FlatUpsampleRows(benchmark::State& state, Kernel kernel) {
    UseKernel(kernel);
    const std::vector<float>& flat = LargeFlat();
    const FlatUpsample upsample =
        UpsampleFor(kFlatWidth, kFlatHeight, 3, kEnlargedWidth, kEnlargedHeight, false);
    const std::size_t rowSamples = std::size_t(kFlatWidth) * 3;
    std::vector<float> row(std::size_t(kEnlargedWidth) * 3);
    for (auto _ : state) {
        for (std::int32_t y = 0; y < kEnlargedHeight; ++y) {
            const auto [upper, lower] = upsample.SourceRows(y);
            upsample.Row(y, flat.data() + std::size_t(upper) * rowSamples,
                         flat.data() + std::size_t(lower) * rowSamples, row.data());
            benchmark::DoNotOptimize(row.data());
            benchmark::ClobberMemory();
        }
    }
    const double pixels = double(kEnlargedWidth) * kEnlargedHeight;
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(pixels));
    state.counters["per_pixel"] = benchmark::Counter(
        pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Each row's gains C / F and their steps (see ComputeGainSteps), from the flat's rows at the
// picture's size, as 8-bit pictures of another size than their profile take them.
void GainStepsOfFlat(benchmark::State& state, Kernel kernel) {
    UseKernel(kernel);
    const std::vector<float>& flat = LargeFlat();
    const std::array<double, 3> centre{0.93, 0.95, 0.91};
    std::vector<std::uint16_t> steps(std::size_t(kFlatWidth) * 3);
    for (auto _ : state) {
        for (std::int32_t y = 0; y < kFlatHeight; ++y) {
            ComputeGainSteps(flat.data() + std::size_t(y) * kFlatWidth * 3, 3, centre,
                             CorrectWhat::Both, 3, std::size_t(kFlatWidth), steps.data());
            benchmark::DoNotOptimize(steps.data());
        }
    }
    const double samples = double(kFlatWidth) * kFlatHeight * 3;
    state.counters["per_sample"] = benchmark::Counter(
        samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RegisterKernelBenchmarks() {
    const std::optional<KernelVariant> forced = ForcedVariant();
    benchmark::RegisterBenchmark("ProfileFloor/8-bit", ProfileFloor<std::uint8_t>)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ProfileFloor/16-bit", ProfileFloor<std::uint16_t>)
        ->Unit(benchmark::kMillisecond);
    // The passes that choose: a row per variant, and the choice itself where none is forced.
    for (const KernelVariant variant : AvailableVariants()) {
        if (forced && variant != *forced) continue;
        std::string suffix = "/";  // built up: GCC 12 warns wrongly of "/" + a string
        suffix += VariantName(variant);
        benchmark::RegisterBenchmark(("Gain" + suffix).c_str(), Gain, variant)
            ->Unit(benchmark::kMillisecond);
        if (variant.set == Kernel::Portable || variant.gathers) {
            benchmark::RegisterBenchmark(("ProfileGain/8-bit" + suffix).c_str(), ProfileGainSteps,
                                         variant)
                ->Unit(benchmark::kMillisecond);
        }
    }
    if (!forced) {
        benchmark::RegisterBenchmark("Gain/chosen", Gain, std::nullopt)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("ProfileGain/8-bit/chosen", ProfileGainSteps, std::nullopt)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("Filter/PeakScale/chosen", Filter, FilterMode::PeakScale,
                                     std::nullopt)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("Filter/PeakOffset/chosen", Filter, FilterMode::PeakOffset,
                                     std::nullopt)
            ->Unit(benchmark::kMillisecond);
    }
    for (const Kernel kernel : AvailableKernels()) {
        if (forced && kernel != forced->set) continue;
        const std::string suffix = std::string("/") + KernelName(kernel);
        benchmark::RegisterBenchmark(("PeakSearch" + suffix).c_str(), PeakSearch, kernel)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Filter/PeakScale" + suffix).c_str(), Filter,
                                     FilterMode::PeakScale, std::optional(kernel))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Filter/PeakOffset" + suffix).c_str(), Filter,
                                     FilterMode::PeakOffset, std::optional(kernel))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("ProfileGain/16-bit" + suffix).c_str(),
                                     ProfileGain<std::uint16_t>, kernel, GainSpace::Linear)
            ->Unit(benchmark::kMillisecond);
        // One multiply a sample: what any pass over the float gains costs at the least.
        benchmark::RegisterBenchmark(("ProfileGain/16-bit code space" + suffix).c_str(),
                                     ProfileGain<std::uint16_t>, kernel, GainSpace::Code)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("FlatUpsample" + suffix).c_str(), FlatUpsampleRows, kernel)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("GainStepsOfFlat" + suffix).c_str(), GainStepsOfFlat, kernel)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("Filter/PlainAdd/every kernel", Filter, FilterMode::PlainAdd,
                                 std::optional(ActiveKernel()))
        ->Unit(benchmark::kMillisecond);
}

// Keeps each benchmark's time per iteration, to print the ratios after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_repetitions, the median of the repetitions stands for the row.
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 &&
                !medians_.count(run.run_name.str())) {
                seconds_[run.run_name.str()] = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds_[run.run_name.str()] = run.GetAdjustedRealTime();
                medians_.insert(run.run_name.str());
            }
        }
    }
    const std::map<std::string, double>& times() const { return seconds_; }

  private:
    std::map<std::string, double> seconds_;
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RegisterKernelBenchmarks();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& times = reporter.times();
    const auto floor = times.find("BM_MemoryFloor");
    if (floor != times.end()) {
        std::cout << "\nRatio to the memory floor (" << floor->second
                  << " ms: read two 5,760,000-byte arrays, write one); goal: 2.0 or less\n"
                  << "(3.0 for sse2); each row names its kernel\n";
        for (const auto& [name, time] : times) {
            // The profile and flat rows work on other pictures.
            if (name == floor->first || name.rfind("Profile", 0) == 0 ||
                name.rfind("FlatUpsample", 0) == 0 || name.rfind("GainStepsOfFlat", 0) == 0)
                continue;
            std::printf("  %-32s %8.3f ms  %5.2fx\n", name.c_str(), time, time / floor->second);
        }
    }
    for (const auto& [depth, goal] : {std::pair{"8-bit", 3.0}, std::pair{"16-bit", 5.0}}) {
        const auto profileFloor = times.find(std::string("ProfileFloor/") + depth);
        if (profileFloor == times.end()) continue;
        std::printf(
            "\nRatio to copying the %s picture once (%.3f ms); goal for the lens profile's "
            "gain: %.1f or less\n",
            depth, profileFloor->second, goal);
        const std::string prefix = std::string("ProfileGain/") + depth;
        for (const auto& [name, time] : times) {
            if (name.rfind(prefix, 0) != 0) continue;
            std::printf("  %-40s %8.3f ms  %5.2fx\n", name.c_str(), time,
                        time / profileFloor->second);
        }
    }
    ForceVariant(ForcingNamed(std::getenv("VELMORA_KERNEL")));  // the process's own forcing again
    const std::vector<ChoiceRecord> choices = KernelChoices();
    if (!choices.empty()) std::cout << "\nKernels chosen at run time\n";
    for (const ChoiceRecord& choice : choices)
        std::printf("  %-20s %-12s %s\n", choice.pass.c_str(), choice.chosen.c_str(),
                    choice.why.c_str());
    return 0;
}
