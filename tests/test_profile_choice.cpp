#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

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

// The blend's gain C / F at every place is the parts' gains blended in log space: with flats
// 1/4 and 1 at one place (gains 4 and 1), weights 1/2 each give 2, and the centre levels blend
// the same way.
TEST(ProfileBlend, BlendsGainsInLogSpace) {
    for (const std::size_t parts : {2u, 3u}) {
        SCOPED_TRACE(parts);
        std::vector<FlatField> flats(parts, FlatField{2, 1, 3, {}});
        std::vector<const FlatField*> pointers;
        std::vector<std::array<double, 3>> centres;
        std::vector<double> weights;
        for (std::size_t p = 0; p < parts; ++p) {
            const float dark = p == 0 ? 0.25f : 1.0f;
            flats[p].values = {dark, dark, dark, 0.5f, 0.5f, 0.0f};  // a place the card never lit
            pointers.push_back(&flats[p]);
            centres.push_back({0.8, 0.8, p == 0 ? 0.2 : 0.8});
            weights.push_back(p == 0 ? 0.5 : 0.5 / double(parts - 1));
        }
        FlatField out{2, 1, 3, std::vector<float>(6, -1.0f)};
        BlendFlats(pointers, weights, 0, 2, out);
        EXPECT_NEAR(out.values[0], 0.5, 1e-6);
        EXPECT_NEAR(out.values[3], 0.5, 1e-6);
        EXPECT_GE(out.values[5], 0.0f);  // finite, not NaN
        EXPECT_LT(out.values[5], 1e-4f);
        const std::array<double, 3> centre = BlendCentres(centres, weights);
        EXPECT_NEAR(centre[0], 0.8, 1e-12);
        EXPECT_NEAR(centre[2], 0.4, 1e-12);
    }
}

}  // namespace
}  // namespace velmora
