#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "correction/flat_field.h"
#include "correction/gain_steps.h"
#include "correction/lens_profile.h"
#include "correction/profile_gain.h"
#include "correction/tone_curve.h"
#include "test_support.h"

namespace velmora {
namespace {

// The gain's steps written plainly in double precision: decode through the curve, multiply,
// then find the nearest code whose curve value is x by bisection, a value exactly half-way
// going to the even code, and cut at the top.
std::uint32_t Defined(std::uint32_t v, float g, const ToneCurve& curve, std::uint32_t maxCode,
                      GainSpace space) {
    const double top = double(maxCode);
    if (space == GainSpace::Code)
        return std::uint32_t(std::min(top, std::nearbyint(v * double(g))));
    const double x = curve(double(v) / top) * double(g);
    if (!(x > 0)) return 0;
    if (curve(1.0) <= x) return maxCode;
    double lo = 0, hi = 1;
    for (int i = 0; i < 64; ++i) {
        const double mid = (lo + hi) / 2;
        (curve(mid) < x ? lo : hi) = mid;
    }
    // Bisection brackets x between codes k and k + 1; the nearer is the one on x's side of the
    // curve's value half-way between them, the even one when x is exactly that value.
    const double k = std::min(std::floor(lo * top), top - 1);
    const double halfWay = curve((k + 0.5) / top);
    if (x == halfWay) return std::uint32_t(std::fmod(k, 2) == 0 ? k : k + 1);
    return std::uint32_t(x < halfWay ? k : k + 1);
}

struct CurveCase {
    const char* name;
    ToneCurve curve;
};

std::vector<CurveCase> Curves() {
    return {{"sRGB", SrgbToLinear},
            {"gamma 2.2", [](double c) { return std::pow(c, 2.2); }},
            {"linear", [](double c) { return c; }},
            // A flat toe and a steep shoulder, as a sampled camera curve may have.
            {"toe", [](double c) { return c < 0.1 ? 0.0 : std::pow((c - 0.1) / 0.9, 3.0); }}};
}

// Every 8-bit value under 1,025 gains from 1/16 to 16 (the powers of two among them land on
// half-way points), and 200,000 random 16-bit pairs.
struct Pairs {
    std::vector<std::uint32_t> values;
    std::vector<float> gains;
};

template <typename Sample>
const Pairs& PairsFor() {
    static const Pairs pairs = [] {
        Pairs p;
        if (sizeof(Sample) == 1) {
            for (int i = 0; i <= 1024; ++i) {
                for (std::uint32_t v = 0; v < 256; ++v) {
                    p.values.push_back(v);
                    p.gains.push_back(float(std::exp2(-4.0 + 8.0 * i / 1024.0)));
                }
            }
            return p;
        }
        std::mt19937 random(7);
        std::uniform_int_distribution<std::uint32_t> code(0, 65535);
        std::uniform_real_distribution<float> exponent(-4.0f, 4.0f);
        for (int i = 0; i < 200000; ++i) {
            p.values.push_back(code(random));
            p.gains.push_back(std::exp2(exponent(random)));
        }
        return p;
    }();
    return pairs;
}

// The definition's result for every pair, worked out once per curve and space for all kernels.
template <typename Sample>
const std::vector<std::uint32_t>& Expected(std::size_t curve, GainSpace space) {
    static std::map<std::pair<std::size_t, GainSpace>, std::vector<std::uint32_t>> cache;
    std::vector<std::uint32_t>& results = cache[{curve, space}];
    if (results.empty()) {
        const Pairs& pairs = PairsFor<Sample>();
        const std::uint32_t maxCode = (1u << (8 * sizeof(Sample))) - 1;
        for (std::size_t i = 0; i < pairs.values.size(); ++i) {
            results.push_back(
                Defined(pairs.values[i], pairs.gains[i], Curves()[curve].curve, maxCode, space));
        }
    }
    return results;
}

// Runs the pairs through ApplyGainRow as one row in each layout the kernels tell apart: grey +
// alpha (the alpha must stay), grey, and RGB whose channels take curves `curve`, `curve + 1` and
// `curve + 2`, and compares each result with the definition.
template <typename Sample>
void ExpectRowsMatch(std::size_t curve, GainSpace space) {
    const std::uint32_t maxCode = (1u << (8 * sizeof(Sample))) - 1;
    const Pairs& pairs = PairsFor<Sample>();
    const std::vector<CurveCase> curves = Curves();
    std::vector<ToneTables> tables;
    for (std::size_t c = 0; c < 3; ++c)
        tables.emplace_back(curves[(curve + c) % curves.size()].curve, maxCode);
    const ToneTables* perChannel[] = {&tables[0], &tables[1], &tables[2]};
    for (const auto& [samplesPerPixel, gainsPerPixel] : {std::pair{2, 1}, {1, 1}, {3, 3}}) {
        const std::size_t pixels = pairs.values.size() / std::size_t(gainsPerPixel);
        std::vector<Sample> row;
        for (std::size_t s = 0; s < pixels * gainsPerPixel; ++s) {
            row.push_back(Sample(pairs.values[s]));
            if (samplesPerPixel > gainsPerPixel) row.push_back(Sample(maxCode / 3));
        }
        ApplyGainRow(row.data(), std::int32_t(pixels), samplesPerPixel, gainsPerPixel,
                     pairs.gains.data(), perChannel, space);
        int wrong = 0;
        for (std::size_t s = 0; s < pixels * gainsPerPixel && wrong < 5; ++s) {
            const std::size_t c = s % std::size_t(gainsPerPixel);
            const std::size_t at = s / gainsPerPixel * samplesPerPixel + c;
            const std::size_t curveOfC = (curve + c) % curves.size();
            const std::uint32_t expected = Expected<Sample>(curveOfC, space)[s];
            const bool alphaKept = samplesPerPixel == gainsPerPixel || row[at + 1] == maxCode / 3;
            if (row[at] != expected || !alphaKept) {
                ADD_FAILURE() << curves[curveOfC].name << ", " << 8 * sizeof(Sample) << " bits, "
                              << samplesPerPixel << " samples per pixel: v " << pairs.values[s]
                              << " x " << pairs.gains[s] << " gave " << int(row[at]) << ", not "
                              << expected;
                ++wrong;
            }
        }
    }
}

// Every kernel, in both spaces and for curves of every shape.
using ProfileGainKernels = testing::KernelTest;
INSTANTIATE_TEST_SUITE_P(Kernels, ProfileGainKernels, testing::EachKernel(),
                         testing::KernelTestName);

TEST_P(ProfileGainKernels, EqualsTheDefinitionForEveryCurveDepthAndSpace) {
    for (std::size_t curve = 0; curve < Curves().size(); ++curve) {
        for (const GainSpace space : {GainSpace::Linear, GainSpace::Code}) {
            ExpectRowsMatch<std::uint8_t>(curve, space);
            ExpectRowsMatch<std::uint16_t>(curve, space);
        }
    }
}

// Curves whose half-way points crowd buckets as well as plain ones: Rec. 709 (its two pieces
// meet a little out of step, so the half-way points made nondecreasing stay equal for a while),
// L*, a shoulder clipped at full light and a flat stretch in the middle.
std::vector<CurveCase> ShapedCurves() {
    return {
        {"sRGB", SrgbToLinear},
        {"gamma 1.8", [](double c) { return std::pow(c, 1.8); }},
        {"linear", [](double c) { return c; }},
        {"Rec. 709",
         [](double c) { return c < 0.081 ? c / 4.5 : std::pow((c + 0.099) / 1.099, 1 / 0.45); }},
        {"L*",
         [](double c) {
             return c <= 0.08 ? c * 100 / 903.3 : std::pow((c * 100 + 16) / 116, 3.0);
         }},
        {"clipped", [](double c) { return std::min(1.0, 1.2 * c); }},
        {"flat middle", [](double c) { return c < 0.4   ? c
                                              : c < 0.6 ? 0.4
                                                        : c; }}};
}

// Encode is the number of half-way points passed, ties to even, for every curve and depth: at
// each half-way point, the doubles either side of it, and values at or below 0, tiny, above 1,
// +inf and NaN.
TEST(ProfileGain, EncodeCountsTheHalfWayPointsPassed) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (const CurveCase& c : ShapedCurves()) {
        for (const std::uint32_t maxCode : {255u, 65535u}) {
            const ToneTables tables(c.curve, maxCode);
            std::vector<double> halfWay(maxCode);  // [k - 1] = half-way point k
            double previous = 0;
            for (std::uint32_t k = 1; k <= maxCode; ++k)
                halfWay[k - 1] = previous = std::max(previous, c.curve((k - 0.5) / maxCode));
            const auto defined = [&](double x) {
                if (std::isnan(x)) return 0u;
                const auto below = std::lower_bound(halfWay.begin(), halfWay.end(), x);
                const auto equal = std::upper_bound(below, halfWay.end(), x);
                std::uint32_t passed = std::uint32_t(below - halfWay.begin());
                for (auto at = below; at != equal; ++at)
                    passed += (at - halfWay.begin() + 1) % 2 == 0;
                return passed;
            };
            std::vector<double> values{0.0,          -0.0, -1.0,
                                       std::nan(""), kInf, 1e-300,
                                       2.0,          16.0, std::numeric_limits<double>::max()};
            for (const double t : halfWay) {
                values.insert(values.end(), {std::nextafter(t, -kInf), t, std::nextafter(t, kInf)});
            }
            int wrong = 0;
            for (const double x : values) {
                if (tables.Encode(x) != defined(x) && ++wrong <= 5) {
                    ADD_FAILURE() << c.name << ", " << maxCode << ": " << x << " gave "
                                  << tables.Encode(x) << ", not " << defined(x);
                }
            }
        }
    }
}

// Every code under a set of gains (to 16, the powers of two putting linear light on half-way
// points, and 0, negative, +inf and NaN) through the active kernel, in grey and in RGB with a
// curve per channel, crowded and plain: the codes Encode gives.
template <typename Sample>
void ExpectEveryCodeAsEncode(const std::vector<CurveCase>& curves) {
    const std::uint32_t maxCode = (1u << (8 * sizeof(Sample))) - 1;
    std::vector<ToneTables> tables;
    for (const CurveCase& c : curves)
        tables.emplace_back(c.curve, maxCode);
    const std::vector<float> gainSet{
        0.0f,         0.0625f, 0.25f, 0.5f,  0.7f,  1.0f,
        1.0001f,      2.0f,    3.7f,  16.0f, -1.0f, std::numeric_limits<float>::infinity(),
        std::nanf("")};
    std::vector<Sample> row;
    std::vector<float> gains;
    for (const float g : gainSet) {
        for (std::uint32_t v = 0; v <= maxCode; ++v) {
            for (int c = 0; c < 3; ++c) {
                row.push_back(Sample(v));
                gains.push_back(g);
            }
        }
    }
    for (std::size_t first = 0; first < tables.size(); first += 3) {
        const ToneTables* perChannel[] = {&tables[first], &tables[first + 1], &tables[first + 2]};
        for (const int channels : {1, 3}) {
            std::vector<Sample> out = row;
            ApplyGainRow(out.data(), std::int32_t(out.size() / channels), channels, channels,
                         gains.data(), perChannel, GainSpace::Linear);
            int wrong = 0;
            for (std::size_t s = 0; s < out.size() && wrong < 5; ++s) {
                const ToneTables& t = *perChannel[s % channels];
                const std::uint32_t expected = t.Encode(t.Decode(row[s]) * double(gains[s]));
                if (out[s] != expected) {
                    ADD_FAILURE() << curves[first + s % channels].name << ", " << maxCode << ": v "
                                  << row[s] << " x " << gains[s] << " gave " << out[s] << ", not "
                                  << expected;
                    ++wrong;
                }
            }
        }
    }
}

TEST_P(ProfileGainKernels, EncodesEveryCodeAsEncodeDoes) {
    const std::vector<CurveCase> curves = ShapedCurves();
    // Three plain curves, then three with a crowded one among them.
    const std::vector<CurveCase> sets{curves[0], curves[1], curves[2],
                                      curves[4], curves[3], curves[5]};
    ExpectEveryCodeAsEncode<std::uint8_t>(sets);
    ExpectEveryCodeAsEncode<std::uint16_t>(sets);
    ExpectEveryCodeAsEncode<std::uint16_t>({curves[6], curves[0], curves[2]});
}

// Each kind of correction keeps the promise its name makes, on a flat with a blue cast.
// 8-bit rows by gain step: the same bytes as the search under each step's gain, on every kernel
// and the gathering one, with alpha kept and without, a curve of its own per channel, in both
// spaces; and each gain's step is the nearest in the logarithm, cut at 1/16 and 16.
using StepsLookupVariants = testing::VariantTest;
INSTANTIATE_TEST_SUITE_P(Kernels, StepsLookupVariants, testing::EachVariant(),
                         testing::VariantTestName);

TEST_P(StepsLookupVariants, StepsLookUpWhatTheSearchGives) {
    const std::vector<CurveCase> curves = Curves();
    std::vector<std::unique_ptr<ToneTables>> tables;
    for (std::size_t c = 0; c < 3; ++c)
        tables.push_back(std::make_unique<ToneTables>(curves[c].curve, 255));
    for (const GainSpace space : {GainSpace::Linear, GainSpace::Code}) {
        std::vector<std::unique_ptr<GainLookup>> lookups;
        for (const auto& table : tables)
            lookups.push_back(std::make_unique<GainLookup>(*table, space));
        const GainLookup* perChannel[] = {lookups[0].get(), lookups[1].get(), lookups[2].get()};
        const ToneTables* tablesOf[] = {tables[0].get(), tables[1].get(), tables[2].get()};
        struct Layout {
            int samplesPerPixel;
            int gainsPerPixel;
        };
        for (const Layout layout : {Layout{4, 3}, Layout{3, 3}, Layout{1, 1}}) {
            // An odd width leaves a tail after the last whole vector group.
            const std::int32_t pixels = 3001;
            std::mt19937 random(11);
            std::vector<std::uint8_t> row(std::size_t(pixels) * layout.samplesPerPixel);
            std::vector<std::uint16_t> steps(std::size_t(pixels) * layout.gainsPerPixel);
            std::vector<float> gains(steps.size());
            for (std::size_t i = 0; i < steps.size(); ++i) {
                steps[i] = std::uint16_t(random() % kGainSteps);
                gains[i] = StepGain(steps[i]);
            }
            for (std::uint8_t& sample : row)
                sample = std::uint8_t(random());
            // Full-scale samples at the largest step read the tables' last bytes.
            row[row.size() - 1] = 255;
            steps[steps.size() - 1] = kGainSteps - 1;
            gains[gains.size() - 1] = StepGain(kGainSteps - 1);
            std::vector<std::uint8_t> searched = row;
            ApplyGainStepsRow(row.data(), pixels, layout.samplesPerPixel, layout.gainsPerPixel,
                              steps.data(), perChannel);
            ApplyGainRow(searched.data(), pixels, layout.samplesPerPixel, layout.gainsPerPixel,
                         gains.data(), tablesOf, space);
            EXPECT_EQ(row, searched) << layout.samplesPerPixel << " samples a pixel";
        }
    }
}

// The steps of gains made from a flat: each the step of its gain, on every kernel, for gains
// that land a float away from where one step turns into the next, at the cut, beyond it and
// below the lowest step, in grey and colour.
TEST_P(ProfileGainKernels, StepsOfAFlatAreTheStepsOfItsGains) {
    std::mt19937 random(5);
    const std::array<double, 3> centre{0.61, 0.5, 0.43};
    for (const int channels : {1, 3}) {
        std::vector<float> flat;
        std::uniform_real_distribution<float> light(0.0f, 1.0f);
        for (int i = 0; i < 3000; ++i)
            flat.push_back(light(random));
        for (int s = 1; s < kGainSteps; s += 97) {
            for (const float towards : {0.0f, 1.0f, 2.0f}) {
                const double level = centre[flat.size() % std::size_t(channels)];
                const float turn = float(level / std::exp2((s - 0.5) / kGainStepsPerOctave - 4));
                flat.push_back(towards == 1.0f ? turn : std::nextafter(turn, towards));
            }
        }
        for (const float f : {0.0f, 1e-30f, 0.61f / 16, 1.0f, 0.002f})
            flat.push_back(f);
        flat.resize(flat.size() / std::size_t(channels) * std::size_t(channels));
        const std::size_t places = flat.size() / std::size_t(channels);
        std::vector<float> gains(flat.size());
        std::vector<std::uint16_t> steps(flat.size());
        ComputeGains(flat.data(), channels, centre, CorrectWhat::Both, channels, places,
                     gains.data());
        ComputeGainSteps(flat.data(), channels, centre, CorrectWhat::Both, channels, places,
                         steps.data());
        for (std::size_t i = 0; i < gains.size(); ++i)
            ASSERT_EQ(steps[i], GainStep(gains[i])) << channels << " channels, gain " << gains[i];
    }
}

TEST(ProfileGain, GainStepIsTheNearestInTheLogarithm) {
    for (const float gain : {0.01f, 0.0625f, 0.07f, 1.0f, 1.0003f, 2.5f, 15.99f, 16.0f, 1e9f}) {
        const double exact = (std::log2(gain) + 4) * kGainStepsPerOctave;
        const double expected = std::clamp(std::nearbyint(exact), 0.0, double(kGainSteps - 1));
        EXPECT_EQ(GainStep(gain), expected) << gain;
    }
    EXPECT_EQ(GainStep(std::nanf("")), 0);
}

// The unrounded inverse lands on every code of a curve and moves with the light in between.
TEST(ProfileGain, ToCodeInvertsTheCurve) {
    for (const std::uint32_t maxCode : {255u, 65535u}) {
        const ToneTables tables(SrgbToLinear, maxCode);
        double previous = -1;
        for (std::uint32_t k = 0; k <= maxCode; k += maxCode / 255) {
            EXPECT_NEAR(tables.ToCode(tables.Decode(k)), double(k) / maxCode, 1e-12);
            if (k < maxCode) {
                const double between = (tables.Decode(k) + tables.Decode(k + 1)) / 2;
                const double code = tables.ToCode(between);
                EXPECT_GT(code, previous);
                EXPECT_GT(code, double(k) / maxCode);
                EXPECT_LT(code, double(k + 1) / maxCode);
                previous = code;
            }
        }
    }
}

TEST(ProfileGain, CorrectWhatSplitsFalloffFromColourCast) {
    FlatField flat{1, 1, 3, {0.4f, 0.5f, 0.25f}};
    const std::array<double, 3> centre{0.8, 0.8, 0.8};
    const auto both = ComputeGains(flat, centre, CorrectWhat::Both, 3);
    const auto luminance = ComputeGains(flat, centre, CorrectWhat::Luminance, 3);
    const auto colour = ComputeGains(flat, centre, CorrectWhat::Colour, 3);
    const auto grey = ComputeGains(flat, centre, CorrectWhat::Both, 1);
    const double luminanceGain = 0.8 / (0.2126 * 0.4 + 0.7152 * 0.5 + 0.0722 * 0.25);
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(both[c], float(0.8 / flat.values[c]));
        EXPECT_FLOAT_EQ(luminance[c], float(luminanceGain));
        EXPECT_FLOAT_EQ(colour[c] * luminanceGain, both[c]);
    }
    EXPECT_FLOAT_EQ(grey[0], float(luminanceGain));
    FlatField black{1, 1, 3, {0.0f, 0.01f, 0.4f}};
    const auto cut = ComputeGains(black, centre, CorrectWhat::Both, 3);
    EXPECT_EQ(cut[0], float(kLargestProfileGain));
    EXPECT_EQ(cut[1], float(kLargestProfileGain));
}

// The sliding sums against boxes summed out in full, for radii below, at and beyond the size.
TEST(ProfileGain, SmoothingEqualsBoxesSummedInFull) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> light(0.0f, 1.0f);
    for (const int radius : {1, 3, 7, 40}) {
        FlatField flat{13, 9, 3, {}};
        for (std::size_t i = 0; i < flat.places() * 3; ++i)
            flat.values.push_back(light(random));
        FlatField expected = flat;
        for (int pass = 0; pass < 4; ++pass) {
            const FlatField from = expected;
            const bool across = pass % 2 == 0;
            for (std::int32_t y = 0; y < flat.height; ++y) {
                for (std::int32_t x = 0; x < flat.width; ++x) {
                    for (int c = 0; c < 3; ++c) {
                        double sum = 0;
                        int count = 0;
                        for (int d = -radius; d <= radius; ++d) {
                            const std::int32_t xx = across ? x + d : x;
                            const std::int32_t yy = across ? y : y + d;
                            if (xx < 0 || yy < 0 || xx >= flat.width || yy >= flat.height) continue;
                            sum += from.at(xx, yy, c);
                            ++count;
                        }
                        expected.values[(std::size_t(y) * flat.width + x) * 3 + c] =
                            float(sum / count);
                    }
                }
            }
        }
        SmoothFlatField(flat, radius);
        for (std::size_t i = 0; i < flat.values.size(); ++i)
            ASSERT_NEAR(flat.values[i], expected.values[i], 1e-5) << "radius " << radius;
    }
}

// A flat kept as its file's values takes its gains and steps by lookup: the same as computing
// them from its float values, at the ends of the range and beyond the gain's cut too.
TEST(ProfileGainSteps, LookupOfFileValuesEqualsComputing) {
    std::mt19937 random(7);
    const ToneTables srgb(SrgbToLinear, 65535);
    const ToneTables gamma([](double v) { return std::pow(v, 1.8); }, 65535);
    // Gains of light, and gains of code values through one curve or a curve per channel.
    const std::vector<std::vector<const ToneTables*>> spaces{{}, {&srgb}, {&srgb, &gamma, &srgb}};
    for (const int channels : {1, 3}) {
        for (const std::vector<const ToneTables*>& curves : spaces) {
            LensProfile profile;
            profile.flat = FlatField{64, 32, channels, {}};
            profile.centre = {0.61, 0.5, 0.43};
            for (std::size_t i = 0; i < profile.flat.places() * std::size_t(channels); ++i)
                profile.fileValues.push_back(std::uint16_t(random()));
            profile.fileValues[0] = 0;
            profile.fileValues[1] = 65535;
            profile.fileValues[2] = 1000;  // a gain above 16
            FlatField flat = FlatWithValues(profile);
            std::array<double, 3> centre = profile.centre;
            if (!curves.empty()) {
                FlatInCodeValues(flat.values.data(), flat.values.size(), channels, curves);
                centre = CentreInCodeValues(centre, curves);
            }
            const std::size_t places = flat.places();
            const FileValueGains lookup(profile.centre, channels, curves);
            std::vector<std::uint16_t> computedSteps(flat.values.size()),
                lookedSteps(computedSteps);
            std::vector<float> computedGains(flat.values.size()), lookedGains(computedGains);
            ComputeGainSteps(flat, centre, CorrectWhat::Both, channels, 0, places,
                             computedSteps.data());
            ComputeGains(flat, centre, CorrectWhat::Both, channels, 0, places,
                         computedGains.data());
            lookup.Steps(profile.fileValues.data(), places, lookedSteps.data());
            lookup.Gains(profile.fileValues.data(), places, lookedGains.data());
            EXPECT_EQ(lookedSteps, computedSteps) << channels << " channels, " << curves.size();
            EXPECT_EQ(lookedGains, computedGains) << channels << " channels, " << curves.size();
        }
    }
}

}  // namespace
}  // namespace velmora
