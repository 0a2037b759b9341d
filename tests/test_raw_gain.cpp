#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "correction/cfa_planes.h"
#include "correction/lens_profile.h"
#include "correction/raw_gain.h"

namespace velmora {
namespace {

// The correction of one sample as its definition states it.
std::uint16_t Definition(double light, const double* dark, double flat, double black, double level,
                         double white) {
    if (light >= white) return std::uint16_t(std::min(white, 65535.0));
    if (!(flat > 0)) return std::uint16_t(light);
    const double signal = light - (dark != nullptr ? *dark : black);
    const double out = std::nearbyint(std::nearbyint(signal * level / flat) + black);
    return std::uint16_t(std::clamp(out, 0.0, 65535.0));
}

struct Layout {
    const char* name;
    std::string letters;  // empty: a linear picture of three channels
};

class RawGainTest : public ::testing::TestWithParam<std::tuple<Layout, Kernel>> {
  protected:
    void SetUp() override { UseKernel(std::get<1>(GetParam())); }
    void TearDown() override { UseKernel(AvailableKernels().back()); }
};

// Every phase of the pattern, samples at and past white, flats without light, a dark frame,
// black levels that are not whole, and quotients that fall on a half.
TEST_P(RawGainTest, RowsAreTheirDefinition) {
    const Layout layout = std::get<0>(GetParam());
    RawGain gain;
    gain.cfa = CfaFromLetters(layout.letters);
    gain.channels = gain.cfa.empty() ? 3 : 1;
    gain.levels.white = 15000;
    const int positions = gain.cfa.empty() ? 3 : Positions(gain.cfa);
    for (int p = 0; p < positions; ++p) {
        gain.levels.black[std::size_t(p)] = gain.cfa.empty() ? 512 : 500 + p + (p % 3) * 0.5;
        gain.level[std::size_t(p)] = 0.25 * (1 + p % 4);  // exact, so that halves occur
    }
    const std::int64_t width = 37;
    const std::int64_t samples = width * gain.channels;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> value(0, 16383);
    std::uniform_real_distribution<float> light(-0.05f, 0.5f);
    RawRowCorrector rows(gain, width);
    for (const bool withDark : {false, true}) {
        for (std::int64_t y = 0; y < 13; ++y) {
            std::vector<std::uint16_t> in(static_cast<std::size_t>(samples));
            std::vector<std::uint16_t> dark(in.size()), out(in.size());
            std::vector<float> flat(in.size());
            for (std::size_t i = 0; i < in.size(); ++i) {
                in[i] = std::uint16_t(value(random));
                dark[i] = std::uint16_t(value(random) / 16);
                flat[i] = light(random);
            }
            // Quotients of exactly k + 0.5 (a signal of 5 at a level of 0.25 or 0.75 over a flat
            // of 0.5): ties go to the even neighbour.
            for (std::size_t i = 0; i < 6; ++i) {
                const int p =
                    gain.cfa.empty() ? int(i % 3) : PositionAt(gain.cfa, std::int64_t(i), y);
                in[i] = std::uint16_t(
                    std::ceil(gain.levels.black[std::size_t(gain.cfa.empty() ? 0 : p)]) + 5);
                flat[i] = 0.5f;
            }
            std::int64_t pushed = 0;
            for (std::size_t i = 0; i < in.size(); ++i) {
                const int p =
                    gain.cfa.empty() ? int(i % 3) : PositionAt(gain.cfa, std::int64_t(i), y);
                const double black = gain.levels.black[std::size_t(gain.cfa.empty() ? 0 : p)];
                const double d = dark[i];
                const std::uint16_t want =
                    Definition(in[i], withDark ? &d : nullptr, flat[i], black,
                               gain.level[std::size_t(p)], gain.levels.white);
                if (in[i] < gain.levels.white && flat[i] > 0 && want > gain.levels.white) ++pushed;
                out[i] = want;
            }
            std::vector<std::uint16_t> got(in.size());
            EXPECT_EQ(rows.Correct(in.data(), withDark ? dark.data() : nullptr, flat.data(),
                                   got.data(), y),
                      pushed);
            EXPECT_EQ(got, out) << layout.name << " row " << y << (withDark ? " with dark" : "");
            // The flat as a profile file stores it: the same, through FileValueLight.
            std::vector<std::uint16_t> stored(in.size());
            for (std::size_t i = 0; i < in.size(); ++i) {
                stored[i] = std::uint16_t(std::max(0.0f, flat[i]) * 65535);
                const int p =
                    gain.cfa.empty() ? int(i % 3) : PositionAt(gain.cfa, std::int64_t(i), y);
                const double d = dark[i];
                out[i] = Definition(in[i], withDark ? &d : nullptr, FileValueLight(stored[i]),
                                    gain.levels.black[std::size_t(gain.cfa.empty() ? 0 : p)],
                                    gain.level[std::size_t(p)], gain.levels.white);
            }
            rows.Correct(in.data(), withDark ? dark.data() : nullptr, stored.data(), got.data(), y);
            EXPECT_EQ(got, out) << layout.name << " row " << y << " from file values";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RawGainTest,
    ::testing::Combine(::testing::Values(Layout{"RGGB", "RGGB"}, Layout{"GBRG", "GBRG"},
                                         Layout{"XTrans", "GGRGGBGGBGGRBRGRBGGGBGGRGGRGGBRBGBRG"},
                                         Layout{"Linear", ""}),
                       ::testing::ValuesIn(AvailableKernels())),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               KernelName(std::get<1>(info.param));
    });

// Smoothing, levels and corners keep to each position's own samples: a mosaic whose positions
// differ sharply stays as it was, whatever the radius.
TEST(CfaPlanes, NoColourIsMixedIntoAnother) {
    for (const std::string letters : {"RGGB", "GGRGGBGGBGGRBRGRBGGGBGGRGGRGGBRBGBRG"}) {
        const CfaPattern cfa = CfaFromLetters(letters);
        FlatField mosaic;
        mosaic.width = 61;  // not a whole number of patterns
        mosaic.height = 43;
        mosaic.channels = 1;
        mosaic.values.resize(mosaic.places());
        for (std::int32_t y = 0; y < mosaic.height; ++y) {
            for (std::int32_t x = 0; x < mosaic.width; ++x)
                mosaic.values[std::size_t(y) * 61 + std::size_t(x)] =
                    0.1f + 0.02f * float(PositionAt(cfa, x, y));
        }
        const FlatField before = mosaic;
        SmoothPlanes(mosaic, cfa, 5);
        for (std::size_t i = 0; i < mosaic.values.size(); ++i)
            ASSERT_NEAR(mosaic.values[i], before.values[i], 1e-6) << letters << " at " << i;
        for (const PlaneLevel kind : {PlaneLevel::Centre, PlaneLevel::Mean}) {
            const std::vector<double> levels = PlaneLevels(mosaic, cfa, kind, 2);
            for (int p = 0; p < Positions(cfa); ++p)
                EXPECT_NEAR(levels[std::size_t(p)], 0.1 + 0.02 * p, 1e-6) << letters;
        }
        const auto corners = PlaneCorners(mosaic, cfa, 2);
        for (int p = 0; p < Positions(cfa); ++p) {
            for (const double corner : corners[std::size_t(p)])
                EXPECT_NEAR(corner, 0.1 + 0.02 * p, 1e-6) << letters;
        }
        EXPECT_EQ(CfaLetters(cfa), letters);
        EXPECT_EQ(CfaLetters(ShiftedCfa(ShiftedCfa(cfa, 1, 1), cfa.width - 1, cfa.height - 1)),
                  letters);
    }
}

}  // namespace
}  // namespace velmora
