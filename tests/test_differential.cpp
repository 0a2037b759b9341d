// The fast core against the literal model on random pictures, maps, modes and percentages.

#include <gtest/gtest.h>

#include <optional>

#include "correction/filtering.h"
#include "correction/tuning.h"
#include "reference_model.h"
#include "test_support.h"

namespace velmora {
namespace {

struct Size {
    std::int32_t w;
    std::int32_t h;
};

std::vector<std::uint8_t> MapBytes(const CorrectionMap& map) {
    return {map.data(), map.data() + kMapBytes};
}

reference::Picture AsReference(const PixelBytes& pixels) {
    return {pixels.widthBytes(), pixels.rows(),
            std::vector<std::uint8_t>(pixels.data(), pixels.data() + pixels.size())};
}

std::optional<ErrorKind> FastFilter(PixelBytes& pixels, const CorrectionMap& map, int check1,
                                    int check2, const std::string& text, char separator) {
    // As the handler does: correct a copy, write back only on success.
    PixelBytes work = pixels;
    try {
        FilterPixelBytes(work, map, DecideFilterMode(check1, check2), text, separator);
    } catch (const Error& error) {
        return error.kind();
    }
    pixels = work;
    return std::nullopt;
}

std::string KindName(const std::optional<ErrorKind>& kind) {
    return kind ? ErrorKindName(*kind) : "success";
}

Size RandomSize(std::mt19937& rng) {
    static const Size awkward[] = {{6, 1},    {7, 3},    {9, 2},       {4798, 3},  {4800, 2},
                                   {4801, 2}, {4806, 1}, {4800, 1201}, {30, 1200}, {33, 1201},
                                   {1, 1},    {2, 5},    {5, 5},       {3, 4}};
    std::uniform_int_distribution<int> pick(0, 3);
    if (pick(rng) == 0) {
        std::uniform_int_distribution<std::size_t> which(0, std::size(awkward) - 1);
        return awkward[which(rng)];
    }
    std::uniform_int_distribution<int> w(6, 400);
    std::uniform_int_distribution<int> h(1, 40);
    return {w(rng), h(rng)};
}

TEST(Differential, TuningMatchesTheLiteralModel) {
    std::mt19937 rng(20261207);
    CorrectionMap start;
    testing::FillRandom(rng, start, 255);
    const std::vector<std::uint8_t> startBytes = MapBytes(start);
    for (int round = 0; round < 120; ++round) {
        const Size size = RandomSize(rng);
        const PixelBytes pixels = testing::RandomPixels(rng, size.w, size.h);
        CorrectionMap fast = start;
        std::vector<std::uint8_t> literal = startBytes;
        reference::Picture picture = AsReference(pixels);

        const auto expected = reference::Tune(picture, literal);
        std::optional<ErrorKind> got;
        try {
            TuneCorrectionMap(pixels, fast);
        } catch (const Error& error) {
            got = error.kind();
        }
        ASSERT_EQ(KindName(got), KindName(expected)) << size.w << " x " << size.h;
        if (expected) {
            // A failed tuning leaves the map as it was, where the model kept a part-way map.
            EXPECT_TRUE(fast == start) << size.w << " x " << size.h;
        } else {
            ASSERT_EQ(MapBytes(fast), literal) << size.w << " x " << size.h;
            EXPECT_EQ(MapPreview(fast, size.w, size.h), picture.bytes);
        }
    }
}

using DifferentialOnEachKernel = testing::KernelTest;
INSTANTIATE_TEST_SUITE_P(Kernels, DifferentialOnEachKernel, testing::EachKernel(),
                         testing::KernelTestName);

TEST_P(DifferentialOnEachKernel, FilteringMatchesTheLiteralModel) {
    std::mt19937 rng(7);
    const char* texts[] = {"0",    "30",   "100",    "-50",  "-100",       "1e300", "-1e300",
                           "abc",  "",     "12.5",   "99.8", "-99.9",      "-150",  "250",
                           "1e12", " 42 ", "-99.81", "7e-1", "2147483647", "-1e9"};
    // Maps whose cells reach 0, 20, 80 and 255: no sum above 255, some, many.
    std::vector<CorrectionMap> maps(4);
    std::vector<std::vector<std::uint8_t>> mapBytes;
    const int largestCell[] = {0, 20, 80, 255};
    for (int i = 0; i < 4; ++i) {
        testing::FillRandom(rng, maps[i], largestCell[i]);
        mapBytes.push_back(MapBytes(maps[i]));
    }
    for (int round = 0; round < 400; ++round) {
        const Size size = RandomSize(rng);
        PixelBytes pixels = testing::RandomPixels(rng, size.w, size.h);
        std::uniform_int_distribution<int> pickMap(0, 3);
        const int which = pickMap(rng);
        const CorrectionMap& map = maps[which];
        std::uniform_int_distribution<int> check(0, 2);
        std::uniform_int_distribution<std::size_t> pickText(0, std::size(texts) - 1);
        const int check1 = check(rng);
        const int check2 = check(rng);
        const std::string text = texts[pickText(rng)];

        reference::Picture picture = AsReference(pixels);
        const auto expected =
            reference::Filter(picture, mapBytes[which], check1, check2, text, '.');
        const auto got = FastFilter(pixels, map, check1, check2, text, '.');
        ASSERT_EQ(KindName(got), KindName(expected))
            << size.w << " x " << size.h << " checks " << check1 << check2 << " text '" << text
            << "'";
        ASSERT_EQ(AsReference(pixels).bytes, picture.bytes)
            << size.w << " x " << size.h << " checks " << check1 << check2 << " text '" << text
            << "'";
    }
}

TEST_P(DifferentialOnEachKernel, EveryPercentageOnEverySum) {
    // One row that holds every sum 0..510; a sweep of percentages hits every rounding case.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> percent(-120, 120);
    PixelBytes pixels;
    pixels.Recreate(511, 1);
    CorrectionMap map;
    for (int s = 0; s <= 510; ++s) {
        pixels(s, 0) = std::uint8_t(std::min(s, 255));
        map(s, 0) = std::uint8_t(s - std::min(s, 255));
    }
    const std::vector<std::uint8_t> literalMap = MapBytes(map);
    for (int round = 0; round < 300; ++round) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", percent(rng));
        for (int check2 : {0, 1}) {
            PixelBytes fast = pixels;
            reference::Picture literal = AsReference(pixels);
            const auto expected = reference::Filter(literal, literalMap, 1, check2, text, '.');
            const auto got = FastFilter(fast, map, 1, check2, text, '.');
            ASSERT_EQ(KindName(got), KindName(expected)) << text;
            ASSERT_EQ(AsReference(fast).bytes, literal.bytes) << text;
        }
    }
}

TEST(Differential, CommaSeparatorLocale) {
    PixelBytes pixels = testing::MakePixels(6, 1, 250);
    CorrectionMap map;
    map(0, 0) = 50;
    for (const char* text : {"12,5", "12.5", "1,5e1"}) {
        PixelBytes fast = pixels;
        reference::Picture literal = AsReference(pixels);
        const auto expected = reference::Filter(literal, MapBytes(map), 1, 1, text, ',');
        const auto got = FastFilter(fast, map, 1, 1, text, ',');
        EXPECT_EQ(KindName(got), KindName(expected)) << text;
        EXPECT_EQ(AsReference(fast).bytes, literal.bytes) << text;
    }
}

}  // namespace
}  // namespace velmora
