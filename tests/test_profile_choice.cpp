#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "correction/gain_steps.h"
#include "correction/profile_blend.h"
#include "correction/profile_choice.h"
#include "engine/shot_text.h"

namespace velmora {
namespace {

ShotSettings Shot(const std::string& lens, double focal, double fNumber, double focus = 0) {
    return {"Canon", "Canon EOS R5", lens, focal, fNumber, focus};
}

// A library of a prime at four apertures, a zoom at two focal lengths (not the same apertures at
// each), a second copy of one prime setting focused elsewhere, and another camera's lens.
const std::vector<ShotSettings> kLibrary = {
    Shot("RF50mm F1.2", 50, 1.4),      // 0
    Shot("RF50mm F1.2", 50, 2),        // 1
    Shot("RF50mm F1.2", 50, 2.8),      // 2
    Shot("RF50mm F1.2", 50, 5.6),      // 3
    Shot("RF24-70mm", 24, 2.8),        // 4
    Shot("RF24-70mm", 24, 8),          // 5
    Shot("RF24-70mm", 70, 4),          // 6
    Shot("RF50mm F1.2", 50, 2.8, 10),  // 7: the same setting, focused far
    {"NIKON CORPORATION", "NIKON D750", "50mm f/1.8", 50, 2.8, 0},  // 8
};

struct Expected {
    int profile;
    double weight;
};

struct ChoiceCase {
    const char* what;
    ShotSettings shot;
    std::vector<Expected> parts;  // empty: nothing serves it
    const char* says;             // in the warning, or in what is missing when nothing serves
};

double Between(double n, double low, double high) {  // the lower neighbour's weight
    return (std::log2(high) - std::log2(n)) / (std::log2(high) - std::log2(low));
}

TEST(ProfileChoice, TakesTheSameBlendsBetweenAndWarnsOutside) {
    const double z = (std::log(70.0) - std::log(35.0)) / (std::log(70.0) - std::log(24.0));
    const ChoiceCase cases[] = {
        {"same f-number", Shot("RF50mm F1.2", 50, 2), {{1, 1}}, ""},
        {"same within rounding (28/10 written 2.83)", Shot("RF50mm F1.2", 50, 2.83), {{2, 1}}, ""},
        {"case and spacing of names differ",
         {"CANON ", "canon  eos r5", "rf50mm f1.2", 50, 2, 0},
         {{1, 1}},
         ""},
        {"between two f-numbers",
         Shot("RF50mm F1.2", 50, 2.4),
         {{1, Between(2.4, 2, 2.8)}, {2, 1 - Between(2.4, 2, 2.8)}},
         ""},
        {"between, far apart",
         Shot("RF50mm F1.2", 50, 4),
         {{2, Between(4, 2.8, 5.6)}, {3, 1 - Between(4, 2.8, 5.6)}},
         ""},
        {"wider than measured",
         Shot("RF50mm F1.2", 50, 1.2),
         {{0, 1}},
         "took f/1.4, 0.44 stops away"},
        {"narrower than measured", Shot("RF50mm F1.2", 50, 16), {{3, 1}}, "3 stops away"},
        {"nearest focus among copies", Shot("RF50mm F1.2", 50, 2.8, 8), {{7, 1}}, ""},
        {"zoom between focal lengths, each at its own apertures",
         Shot("RF24-70mm", 35, 4),
         {{4, z * Between(4, 2.8, 8)}, {5, z * (1 - Between(4, 2.8, 8))}, {6, 1 - z}},
         ""},
        {"zoom beyond its longest focal length",
         Shot("RF24-70mm", 105, 4),
         {{6, 1}},
         "took 70 mm, 33.33 % away"},
        {"another camera's lens of the same name",
         {"Canon", "Canon EOS R6", "RF50mm F1.2", 50, 2, 0},
         {},
         "no profile of camera"},
        {"no EXIF", {}, {}, "no EXIF"},
        {"no f-number where several were measured", Shot("RF50mm F1.2", 50, 0), {}, "no f-number"},
        {"no focal length on a zoom", Shot("RF24-70mm", 0, 4), {}, "no focal length"},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ProfileChoice choice = ChooseProfiles(c.shot, kLibrary, false);
        ASSERT_EQ(choice.parts.size(), c.parts.size());
        double total = 0;
        for (std::size_t i = 0; i < c.parts.size(); ++i) {
            EXPECT_EQ(choice.parts[i].profile, c.parts[i].profile);
            EXPECT_NEAR(choice.parts[i].weight, c.parts[i].weight, 1e-12);
            total += choice.parts[i].weight;
        }
        const std::string said = c.parts.empty() ? LackText(choice, c.shot) : OutsideText(choice);
        EXPECT_NEAR(total, c.parts.empty() ? 0 : 1, 1e-12);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        if (*c.says == 0) {
            EXPECT_EQ(said, "");
        }
    }
}

// Between two of three or more measured f-numbers the cubic takes the neighbours and the next
// measured on each side that exists; a zoom between focal lengths keeps to the blend.
TEST(ProfileChoice, CubicTakesTheNextApertureOnEachSide) {
    struct Case {
        double fNumber;
        std::vector<int> profiles;
        std::vector<double> nodes;
    };
    const Case cases[] = {
        {2.4, {0, 1, 2, 3}, {1.4, 2, 2.8, 5.6}},
        {1.7, {0, 1, 2}, {1.4, 2, 2.8}},
        {4, {1, 2, 3}, {2, 2.8, 5.6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fNumber);
        const ProfileChoice choice = ChooseProfiles(Shot("RF50mm F1.2", 50, c.fNumber), kLibrary);
        ASSERT_EQ(choice.parts.size(), c.profiles.size());
        ASSERT_EQ(choice.cubicNodes.size(), c.nodes.size());
        for (std::size_t i = 0; i < c.nodes.size(); ++i) {
            EXPECT_EQ(choice.parts[i].profile, c.profiles[i]);
            EXPECT_NEAR(choice.cubicNodes[i], std::log2(c.nodes[i]), 1e-12);
        }
        EXPECT_NEAR(choice.cubicAt, std::log2(c.fNumber), 1e-12);
    }
    EXPECT_TRUE(ChooseProfiles(Shot("RF24-70mm", 35, 4), kLibrary).cubicNodes.empty());
}

TEST(ProfileChoice, ReferencesDifferOnlyBeyondRounding) {
    const ShotSettings card = Shot("RF50mm F1.2", 50, 2.8, 1.2);
    EXPECT_TRUE(DifferingSettings(card, Shot("rf50mm  F1.2", 50.2, 2.83, 1.25)).empty());
    EXPECT_EQ(SettingNames(DifferingSettings(card, Shot("RF50mm F1.2", 50, 4, 1.2))),
              std::vector<std::string>{"f-number"});
    EXPECT_EQ(DifferingSettings(card, ShotSettings{}).size(), 6u);  // a reference without EXIF
}

// Blending in log space: gains 4 and 1 at weights 1/2 give 2, as floats and as steps (within
// one step of the blended gain's own step, equal steps staying equal, a weight of 1 giving its
// part exactly); a gain of zero gives a finite blend, not NaN.
TEST(ProfileBlend, BlendsGainsInLogSpace) {
    for (const std::size_t parts : {2u, 3u}) {
        SCOPED_TRACE(parts);
        std::vector<std::vector<float>> gains(parts);
        std::vector<std::vector<std::uint16_t>> steps(parts);
        std::vector<const float*> gainParts;
        std::vector<const std::uint16_t*> stepParts;
        std::vector<double> weights;
        for (std::size_t p = 0; p < parts; ++p) {
            gains[p] = {p == 0 ? 4.0f : 1.0f, 1.5f, 0.0f, p == 0 ? 9.0f : 1.1f};
            steps[p] = ToGainSteps(gains[p]);
            gainParts.push_back(gains[p].data());
            stepParts.push_back(steps[p].data());
            weights.push_back(p == 0 ? 0.5 : 0.5 / double(parts - 1));
        }
        std::vector<float> blended(4);
        std::vector<std::uint16_t> blendedSteps(4);
        BlendGains(gainParts, weights, 4, blended.data());
        BlendGainSteps(stepParts, weights, 4, blendedSteps.data());
        EXPECT_NEAR(blended[0], 2.0f, 1e-5f);
        EXPECT_NEAR(blended[1], 1.5f, 1e-5f);
        EXPECT_TRUE(std::isfinite(blended[2]) && blended[2] >= 0);
        EXPECT_EQ(blendedSteps[1], steps[0][1]);
        for (std::size_t i = 0; i < 4; ++i) {
            if (i == 2) continue;
            EXPECT_LE(std::abs(int(blendedSteps[i]) - int(GainStep(blended[i]))), 1) << i;
        }
    }
    const std::vector<std::uint16_t> a{0, 5000, kGainSteps - 1}, b{kGainSteps - 1, 7, 0};
    std::vector<std::uint16_t> out(3);
    BlendGainSteps({a.data(), b.data()}, {1.0, 0.0}, 3, out.data());
    EXPECT_EQ(out, a);
}

// The monotone cubic as Fritsch and Carlson define it, in double precision over all the nodes.
double Pchip(const std::vector<double>& x, const std::vector<double>& y, double at) {
    const std::size_t n = x.size();
    std::vector<double> h(n - 1), d(n - 1), m(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        h[i] = x[i + 1] - x[i];
        d[i] = (y[i + 1] - y[i]) / h[i];
    }
    const auto sign = [](double v) { return (v > 0) - (v < 0); };
    const auto end = [&](std::size_t a, std::size_t b) {
        double slope = ((2 * h[a] + h[b]) * d[a] - h[a] * d[b]) / (h[a] + h[b]);
        if (sign(slope) != sign(d[a])) return 0.0;
        if (sign(d[a]) != sign(d[b]) && std::abs(slope) > 3 * std::abs(d[a])) return 3 * d[a];
        return slope;
    };
    m[0] = end(0, 1);
    m[n - 1] = end(n - 2, n - 3);
    for (std::size_t k = 1; k + 1 < n; ++k) {
        const double w1 = 2 * h[k] + h[k - 1], w2 = h[k] + 2 * h[k - 1];
        m[k] = d[k - 1] * d[k] > 0 ? (w1 + w2) / (w1 / d[k - 1] + w2 / d[k]) : 0;
    }
    std::size_t j = 0;
    while (j + 2 < n && at > x[j + 1])
        ++j;
    const double t = (at - x[j]) / h[j], t2 = t * t, t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * y[j] + (t3 - 2 * t2 + t) * h[j] * m[j] +
           (-2 * t3 + 3 * t2) * y[j + 1] + (t3 - t2) * h[j] * m[j + 1];
}

// The cubic of three or four nodes equals the definition over every node a library holds
// (the others do not reach between the neighbours), keeps straight lines straight, and its
// gains and steps follow it in log space.
TEST(ProfileBlend, CubicFollowsItsDefinition) {
    std::mt19937 random(3);
    std::uniform_real_distribution<double> value(-2.0, 2.0);
    const std::vector<double> all{0.5, 1.0, 1.3, 2.0, 2.6, 3.0};  // log2 f-numbers
    for (int round = 0; round < 2000; ++round) {
        std::vector<double> y;
        for (std::size_t i = 0; i < all.size(); ++i)
            y.push_back(round % 3 == 0 ? 0.6 * all[i] - 1.3 : value(random));
        const std::size_t low = std::size_t(round) % (all.size() - 1);
        const double at = all[low] + 0.37 * (all[low + 1] - all[low]);
        const std::size_t from = low == 0 ? 0 : low - 1;
        const std::size_t to = std::min(all.size(), low + 3);
        if (to - from < 3) continue;
        const std::vector<double> nodes(all.begin() + long(from), all.begin() + long(to));
        std::vector<float> ys;
        for (std::size_t i = from; i < to; ++i)
            ys.push_back(float(y[i]));
        const MonotoneCubic cubic(nodes, at);
        const double expected = Pchip(all, y, at);
        ASSERT_NEAR(cubic(ys.data()), expected, 1e-4) << round;
        if (round % 3 == 0) {
            ASSERT_NEAR(expected, 0.6 * at - 1.3, 1e-9);
        }
    }
    // The steps' kernel of every layout of nodes against the cubic itself.
    const std::vector<std::pair<std::vector<double>, double>> layouts = {
        {{1.0, 1.5, 2.1}, 1.2}, {{1.0, 1.5, 2.1}, 1.8}, {{0.5, 1.0, 1.5, 2.1}, 1.3}};
    std::uniform_int_distribution<int> someStep(0, kGainSteps - 1);
    for (const auto& [nodes, at] : layouts) {
        std::vector<std::vector<std::uint16_t>> steps(nodes.size());
        std::vector<const std::uint16_t*> parts;
        for (auto& part : steps) {
            for (int i = 0; i < 1000; ++i)
                part.push_back(std::uint16_t(i % 4 == 0 ? 8000 + i : someStep(random)));
            parts.push_back(part.data());
        }
        std::vector<std::uint16_t> out(1000);
        const MonotoneCubic layout(nodes, at);
        CubicGainSteps(parts, layout, out.size(), out.data());
        for (std::size_t i = 0; i < out.size(); ++i) {
            float y[4];
            for (std::size_t p = 0; p < nodes.size(); ++p)
                y[p] = float(steps[p][i]);
            const float expected = std::clamp(layout(y), 0.0f, float(kGainSteps - 1));
            ASSERT_LE(std::abs(float(out[i]) - expected), 0.5f + 1e-3f) << nodes.size() << " " << i;
        }
    }
    const MonotoneCubic cubic({1.0, 1.5, 2.0}, 1.2);
    const std::vector<float> g0{4.0f}, g1{2.0f}, g2{1.5f};
    float gain = 0;
    CubicGains({g0.data(), g1.data(), g2.data()}, cubic, 1, &gain);
    const std::vector<float> logs{2.0f, 1.0f, float(std::log2(1.5))};
    EXPECT_NEAR(gain, std::exp2(cubic(logs.data())), 1e-5);
    const std::vector<std::uint16_t> s0{GainStep(4.0f)}, s1{GainStep(2.0f)}, s2{GainStep(1.5f)};
    std::uint16_t step = 0;
    CubicGainSteps({s0.data(), s1.data(), s2.data()}, cubic, 1, &step);
    EXPECT_LE(std::abs(int(step) - int(GainStep(gain))), 1);
}

}  // namespace
}  // namespace velmora
