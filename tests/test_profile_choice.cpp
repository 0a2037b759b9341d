#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "correction/gain_steps.h"
#include "correction/profile_blend.h"
#include "correction/profile_choice.h"

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
        const ProfileChoice choice = ChooseProfiles(c.shot, kLibrary);
        ASSERT_EQ(choice.parts.size(), c.parts.size());
        double total = 0;
        for (std::size_t i = 0; i < c.parts.size(); ++i) {
            EXPECT_EQ(choice.parts[i].profile, c.parts[i].profile);
            EXPECT_NEAR(choice.parts[i].weight, c.parts[i].weight, 1e-12);
            total += choice.parts[i].weight;
        }
        const std::string& said = c.parts.empty() ? choice.missing : choice.warning;
        EXPECT_NEAR(total, c.parts.empty() ? 0 : 1, 1e-12);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        if (*c.says == 0) {
            EXPECT_EQ(said, "");
        }
    }
}

TEST(ProfileChoice, ReferencesDifferOnlyBeyondRounding) {
    const ShotSettings card = Shot("RF50mm F1.2", 50, 2.8, 1.2);
    EXPECT_TRUE(DifferingSettings(card, Shot("rf50mm  F1.2", 50.2, 2.83, 1.25)).empty());
    EXPECT_EQ(DifferingSettings(card, Shot("RF50mm F1.2", 50, 4, 1.2)),
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

}  // namespace
}  // namespace velmora
