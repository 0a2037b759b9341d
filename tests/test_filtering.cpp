#include <gtest/gtest.h>

#include "correction/filtering.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::KindOf;
using testing::MakePixels;

// One row whose sums are the given values: picture byte min(sum, 255), the rest from the map.
struct Sums {
    PixelBytes pixels;
    CorrectionMap map;
};

Sums RowOfSums(const std::vector<int>& sums) {
    Sums s{MakePixels(std::int32_t(sums.size()), 1), CorrectionMap()};
    for (std::size_t b = 0; b < sums.size(); ++b) {
        s.pixels(std::int32_t(b), 0) = std::uint8_t(std::min(sums[b], 255));
        s.map(std::int32_t(b), 0) = std::uint8_t(sums[b] - std::min(sums[b], 255));
    }
    return s;
}

std::vector<int> Filtered(const std::vector<int>& sums, FilterMode mode, const char* text) {
    Sums s = RowOfSums(sums);
    FilterPixelBytes(s.pixels, s.map, mode, text, '.');
    return {s.pixels.data(), s.pixels.data() + s.pixels.size()};
}

TEST(FilterMode, OnlyExactlyOneCountsAsChecked) {
    EXPECT_EQ(DecideFilterMode(0, 1), FilterMode::PeakScale);
    EXPECT_EQ(DecideFilterMode(1, 1), FilterMode::PeakScale);
    EXPECT_EQ(DecideFilterMode(1, 0), FilterMode::PeakOffset);
    EXPECT_EQ(DecideFilterMode(1, 2), FilterMode::PeakOffset);
    EXPECT_EQ(DecideFilterMode(2, 0), FilterMode::PlainAdd);
    EXPECT_EQ(DecideFilterMode(0, 2), FilterMode::PlainAdd);
}

// The picture's largest sum is 300 (a byte of 230 under a cell of 70), so d = 45.
// The worked examples are rows shorter than a vector, so they also go through each kernel's tail.
using FilteringOnEachKernel = testing::KernelTest;
INSTANTIATE_TEST_SUITE_P(Kernels, FilteringOnEachKernel, testing::EachKernel(),
                         testing::KernelTestName);

TEST_P(FilteringOnEachKernel, WorkedExampleWithThirtyPercent) {
    EXPECT_EQ(ComputeScaleLimit(30, 300), 268);
    EXPECT_EQ(ComputeOffsetAmount(30, 300), 14);
    EXPECT_EQ(Filtered({0, 100, 240, 267, 268, 300}, FilterMode::PeakScale, "30"),
              (std::vector<int>{0, 95, 228, 254, 255, 255}));
    EXPECT_EQ(Filtered({10, 14, 15, 240, 269, 300}, FilterMode::PeakOffset, "30"),
              (std::vector<int>{0, 0, 1, 226, 255, 255}));
    EXPECT_EQ(Filtered({0, 240, 255, 256, 300}, FilterMode::PlainAdd, "not read"),
              (std::vector<int>{0, 240, 255, 255, 255}));
}

TEST_P(FilteringOnEachKernel, WorkedExampleWithHundredZeroAndMinusFifty) {
    EXPECT_EQ(Filtered({100, 240, 300}, FilterMode::PeakScale, "100"),
              (std::vector<int>{85, 204, 255}));
    EXPECT_EQ(Filtered({30, 240, 300}, FilterMode::PeakOffset, "100"),
              (std::vector<int>{0, 195, 255}));
    const std::vector<int> sums = {0, 17, 200, 255, 256, 300};
    const auto plain = Filtered(sums, FilterMode::PlainAdd, "");
    EXPECT_EQ(Filtered(sums, FilterMode::PeakScale, "0"), plain);
    EXPECT_EQ(Filtered(sums, FilterMode::PeakOffset, "0"), plain);
    EXPECT_EQ(ComputeScaleLimit(-50, 300), 232);
    EXPECT_EQ(ComputeOffsetAmount(-50, 300), -22);
}

TEST_P(FilteringOnEachKernel, HalvesPerPositionGoToEven) {
    // Percentage 100 on a picture whose peak is 510 gives ScaleLimit 510.
    EXPECT_EQ(Filtered({1, 3, 5, 510}, FilterMode::PeakScale, "100"),
              (std::vector<int>{0, 2, 2, 255}));
}

TEST_P(FilteringOnEachKernel, MinusHundredOnAPeakOf510) {
    EXPECT_EQ(Filtered({0, 3, 510}, FilterMode::PeakOffset, "-100"),
              (std::vector<int>{255, 255, 255}));
    for (const std::vector<int>& sums : {std::vector<int>{5, 510}, std::vector<int>{0, 510}}) {
        Sums s = RowOfSums(sums);
        try {
            FilterPixelBytes(s.pixels, s.map, FilterMode::PeakScale, "-100", '.');
            FAIL() << "a scale limit of 0 went through";
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), ErrorKind::FloatingPoint);
            const char* expected = sums[0] == 0 ? "invalid operation" : "division by zero";
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
        EXPECT_EQ(s.pixels(0, 0), sums[0]);  // nothing changed
    }
}

TEST(Filtering, NegativeScaleLimitOverflowsOnlyWhereTheSumIsNotZero) {
    // -150 % of d = 255 gives ScaleLimit -127.5 -> -128.
    EXPECT_EQ(ComputeScaleLimit(-150, 510), -128);
    Sums s = RowOfSums({0, 510, 0});
    EXPECT_EQ(
        KindOf([&] { FilterPixelBytes(s.pixels, s.map, FilterMode::PeakScale, "-150", '.'); }),
        ErrorKind::Overflow);
    EXPECT_EQ(s.pixels(1, 0), 255);
}

TEST(Filtering, NoSumAbove255MakesAllModesAlikeButTheTextMustBeANumber) {
    const std::vector<int> sums = {0, 1, 128, 254, 255};
    for (const char* text : {"30", "-1e6", "100", "1e300"}) {
        EXPECT_EQ(Filtered(sums, FilterMode::PeakScale, text), sums) << text;
        EXPECT_EQ(Filtered(sums, FilterMode::PeakOffset, text), sums) << text;
    }
    Sums s = RowOfSums(sums);
    EXPECT_EQ(KindOf([&] { FilterPixelBytes(s.pixels, s.map, FilterMode::PeakOffset, "", '.'); }),
              ErrorKind::TypeMismatch);
}

TEST_P(FilteringOnEachKernel, PictureBeyondTheMapIsRefusedUnchanged) {
    for (FilterMode mode : {FilterMode::PlainAdd, FilterMode::PeakScale, FilterMode::PeakOffset}) {
        for (const auto& [w, h] : {std::pair{4801, 2}, std::pair{6, 1201}}) {
            PixelBytes pixels = MakePixels(w, h, 7);
            CorrectionMap map;
            map(0, 0) = 5;
            // The bounds fail before the text is read, even a text that is no number.
            EXPECT_EQ(KindOf([&] { FilterPixelBytes(pixels, map, mode, "x", '.'); }),
                      ErrorKind::SubscriptOutOfRange);
            EXPECT_EQ(pixels(0, 0), 7);
        }
        PixelBytes full = MakePixels(4800, 1200, 7);
        FilterPixelBytes(full, CorrectionMap(), mode, "30", '.');
        EXPECT_EQ(full(4799, 1199), 7);
    }
}

TEST(Filtering, TwicePressedAddsTheMapTwice) {
    Sums s = RowOfSums({10, 20});
    s.map(0, 0) = 5;
    FilterPixelBytes(s.pixels, s.map, FilterMode::PlainAdd, "", '.');
    FilterPixelBytes(s.pixels, s.map, FilterMode::PlainAdd, "", '.');
    EXPECT_EQ(s.pixels(0, 0), 20);
}

TEST(StrengthPercent, AcceptsSignedDecimalsWithExponentAndBlanks) {
    EXPECT_EQ(ParseStrengthPercent("30", '.'), 30.0);
    EXPECT_EQ(ParseStrengthPercent("  -12.5\t", '.'), -12.5);
    EXPECT_EQ(ParseStrengthPercent("+.5", '.'), 0.5);
    EXPECT_EQ(ParseStrengthPercent("5.", '.'), 5.0);
    EXPECT_EQ(ParseStrengthPercent("1e2", '.'), 100.0);
    EXPECT_EQ(ParseStrengthPercent("2.5E-1", '.'), 0.25);
    EXPECT_EQ(ParseStrengthPercent("12,5", ','), 12.5);
    EXPECT_EQ(ParseStrengthPercent("1e-400", '.'), 0.0);
}

TEST(StrengthPercent, RejectsEverythingElse) {
    for (const char* text : {"", " ", "abc", ".", "-", "1e", "1e+", "12,5", "1.2.3", "0x10", "inf",
                             "nan", "3 0", "30%", "１０"}) {
        EXPECT_EQ(KindOf([&] { ParseStrengthPercent(text, '.'); }), ErrorKind::TypeMismatch)
            << text;
    }
    EXPECT_EQ(KindOf([] { ParseStrengthPercent("12.5", ','); }), ErrorKind::TypeMismatch);
    EXPECT_EQ(KindOf([] { ParseStrengthPercent("1e999", '.'); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { ParseStrengthPercent("-1e999", '.'); }), ErrorKind::Overflow);
}

TEST(StrengthPercent, HugeValuesOverflowTheConstants) {
    EXPECT_EQ(KindOf([] { ComputeScaleLimit(1e300, 510); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { ComputeOffsetAmount(1.7e308, 510); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { ComputeOffsetAmount(-1e10, 300); }), ErrorKind::Overflow);
    EXPECT_EQ(ComputeScaleLimit(1e300, 255), 255);  // d = 0
}

}  // namespace
}  // namespace velmora
