// The core passes of filter's plain and gain modes on one picture of 1600 x 1200 pixels
// (4800 x 1200 bytes), without decoding or saving: the gain's table lookups against the plain
// saturating add. Also the cost --smooth 8 adds to a tuning. Prints the ratio gain / plain
// after the usual table.
//
//   velmora_bench_gain_passes [Google Benchmark options]

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "correction/filtering.h"
#include "correction/gain.h"
#include "correction/smoothing.h"
#include "correction/tuning.h"

namespace {

using namespace velmora;

constexpr std::int32_t kWidth = 4800;
constexpr std::int32_t kRows = 1200;

// A lens losing about 1.5 EV in the corners.
double Falloff(std::int32_t b, std::int32_t r) {
    const double x = (b / 3 + 0.5 - 800) / 1000.0;
    const double y = (r + 0.5 - 600) / 1000.0;
    const double k = std::pow(2.0, 0.75) - 1.0;
    return 1.0 / std::pow(1.0 + k * (x * x + y * y), 2);
}

struct Scene {
    PixelBytes card;
    PixelBytes picture;
    CorrectionMap map;
    ReferenceGroup reference;
};

const Scene& TheScene() {
    static const Scene scene = [] {
        Scene s;
        s.card.Recreate(kWidth, kRows);
        s.picture.Recreate(kWidth, kRows);
        std::mt19937 rng(1);
        std::normal_distribution<double> grain(0.0, 1.5);
        for (std::int32_t r = 0; r < kRows; ++r) {
            for (std::int32_t b = 0; b < kWidth; ++b) {
                const double f = Falloff(b, r);
                s.card(b, r) =
                    std::uint8_t(std::clamp(std::nearbyint(200 * f + grain(rng)), 0.0, 255.0));
                const double scene = 128 + 100 * std::sin(b / 97.0) * std::cos(r / 131.0);
                s.picture(b, r) = std::uint8_t(std::nearbyint(scene * f));
            }
        }
        s.reference = TuneCorrectionMap(s.card, s.map);
        return s;
    }();
    return scene;
}

// Times `pass` on a fresh copy of `source` each round; the copy is not timed.
template <typename Pass>
void TimeOnFreshCopy(benchmark::State& state, const PixelBytes& source, Pass pass) {
    PixelBytes pixels = source;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(pixels.data(), source.data(), pixels.size());
        state.ResumeTiming();
        pass(pixels);
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
}

void BM_PlainAdd(benchmark::State& state) {
    const Scene& scene = TheScene();
    TimeOnFreshCopy(state, scene.picture, [&](PixelBytes& pixels) {
        FilterPixelBytes(pixels, scene.map, FilterMode::PlainAdd, "30", '.');
    });
}
BENCHMARK(BM_PlainAdd)->Unit(benchmark::kMillisecond);

void BM_Gain(benchmark::State& state) {
    const Scene& scene = TheScene();
    TimeOnFreshCopy(state, scene.picture, [&](PixelBytes& pixels) {
        ApplyGain(pixels, scene.map, scene.reference.values);
    });
}
BENCHMARK(BM_Gain)->Unit(benchmark::kMillisecond);

void BM_Tuning(benchmark::State& state) {
    const Scene& scene = TheScene();
    CorrectionMap map;
    for (auto _ : state) {
        TuneCorrectionMap(scene.card, map);
        benchmark::DoNotOptimize(map.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Tuning)->Unit(benchmark::kMillisecond);

void BM_SmoothRadius8(benchmark::State& state) {
    TimeOnFreshCopy(state, TheScene().card, [](PixelBytes& card) { SmoothPixelBytes(card, 8); });
}
BENCHMARK(BM_SmoothRadius8)->Unit(benchmark::kMillisecond);

class TimeKeeper : public benchmark::ConsoleReporter {
  public:
    // Plain text: the table is mostly read from a script's output.
    TimeKeeper() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TimeKeeper keeper;
    benchmark::RunSpecifiedBenchmarks(&keeper);
    const auto plain = keeper.times.find("BM_PlainAdd");
    const auto gain = keeper.times.find("BM_Gain");
    if (plain == keeper.times.end() || gain == keeper.times.end()) return 0;
    const double ratio = gain->second / plain->second;
    std::printf(
        "\nCore passes on 1600 x 1200: plain %.2f ms, gain %.2f ms; gain / plain %.2fx\n"
        "(the pass alone: a table lookup a byte against a vector add; the 2x goal is on a "
        "picture's whole round trip, above)\n",
        plain->second, gain->second, ratio);
    return 0;
}
