#include <gtest/gtest.h>

#include <cmath>

#include "correction/gain.h"
#include "correction/smoothing.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::KindOf;
using testing::MakePixels;

// The gain's exact product, rounded half to even, by another route than the code's: the nearest
// whole number to q / d is floor((2q + d) / 2d), one too many at a half that lands on an odd one.
std::uint8_t Straightforward(int p, int m, int c) {
    if (m == 0) return std::uint8_t(p);
    const int d = std::max(c - m, 1);
    const int q = p * (c > 16 * d ? 16 * d : c);
    int nearest = (2 * q + d) / (2 * d);
    if ((2 * q + d) % (2 * d) == 0 && nearest % 2 == 1) --nearest;
    return std::uint8_t(std::min(nearest, 255));
}

using GainOnEachKernel = testing::VariantTest;
INSTANTIATE_TEST_SUITE_P(Kernels, GainOnEachKernel, testing::EachVariant(),
                         testing::VariantTestName);

// Every (p, m, C) triple, through the whole kernel: one picture of 65,536 groups per centre
// byte, lane 0 and lane 2 walking all (p, m) pairs, lane 1 holding them in reverse.
TEST_P(GainOnEachKernel, EqualsTheStraightforwardVersionForEveryTriple) {
    PixelBytes start = MakePixels(3 * 256, 256);
    CorrectionMap map;
    for (std::int32_t r = 0; r < 256; ++r) {
        for (std::int32_t x = 0; x < 256; ++x) {
            start(3 * x, r) = start(3 * x + 2, r) = std::uint8_t(x);
            start(3 * x + 1, r) = std::uint8_t(255 - x);
            map(3 * x, r) = map(3 * x + 2, r) = std::uint8_t(r);
            map(3 * x + 1, r) = std::uint8_t(255 - r);
        }
    }
    for (int c = 0; c < 256; ++c) {
        PixelBytes pixels = start;
        const std::array<std::uint8_t, 3> centre = {std::uint8_t(c), std::uint8_t(c),
                                                    std::uint8_t(255 - c)};
        ApplyGain(pixels, map, centre);
        for (std::int32_t r = 0; r < 256; ++r) {
            for (std::int32_t b = 0; b < 3 * 256; ++b) {
                const int lane = b % 3;
                const std::uint8_t expected = Straightforward(start(b, r), map(b, r), centre[lane]);
                if (pixels(b, r) != expected) {
                    FAIL() << "p " << int(start(b, r)) << " m " << int(map(b, r)) << " C "
                           << int(centre[lane]) << ": " << int(pixels(b, r)) << " instead of "
                           << int(expected);
                }
                ASSERT_EQ(GainedByte(start(b, r), map(b, r), centre[lane]), expected);
            }
        }
    }
}

TEST(Gain, WorkedValuesAndLimits) {
    EXPECT_EQ(GainedByte(100, 0, 200), 100);    // no correction
    EXPECT_EQ(GainedByte(100, 100, 200), 200);  // darkened by half: gain 2
    EXPECT_EQ(GainedByte(150, 100, 200), 255);  // cut at full scale
    EXPECT_EQ(GainedByte(5, 199, 200), 80);     // gain capped at 16
    EXPECT_EQ(GainedByte(1, 100, 200), 2);
    EXPECT_EQ(GainedByte(3, 50, 200), 4);   // 3 x 4/3 = 4
    EXPECT_EQ(GainedByte(5, 40, 200), 6);   // 6.25 rounds to 6
    EXPECT_EQ(GainedByte(105, 1, 7), 122);  // exactly 122.5: to the even one
}

TEST_P(GainOnEachKernel, FillerBytesStayAndOversizedPicturesAreRefused) {
    PixelBytes pixels = MakePixels(7, 2, 100);  // two groups and a filler byte per row
    CorrectionMap map;
    std::fill(map.data(), map.data() + kMapBytes, 100);
    ApplyGain(pixels, map, {200, 200, 200});
    EXPECT_EQ(pixels(5, 1), 200);
    EXPECT_EQ(pixels(6, 0), 100);
    EXPECT_EQ(pixels(6, 1), 100);

    // Rows whose groups end part-way through a vector step, with one and two filler bytes.
    std::mt19937 rng(9);
    testing::FillRandom(rng, map, 255);
    for (const std::int32_t w : {3 * 37 + 1, 3 * 205 + 2, 4800}) {
        const PixelBytes before = testing::RandomPixels(rng, w, 3);
        PixelBytes after = before;
        ApplyGain(after, map, {190, 3, 255});
        for (std::int32_t r = 0; r < 3; ++r) {
            for (std::int32_t b = 0; b < w; ++b) {
                const std::uint8_t centre = b % 3 == 0 ? 190 : b % 3 == 1 ? 3 : 255;
                ASSERT_EQ(after(b, r), b < w / 3 * 3 ? GainedByte(before(b, r), map(b, r), centre)
                                                     : before(b, r))
                    << "width " << w << " byte " << b << " row " << r;
            }
        }
    }

    PixelBytes wide = MakePixels(4803, 1, 9);
    EXPECT_EQ(KindOf([&] {
                  ApplyGain(wide, map, {200, 200, 200});
              }),
              ErrorKind::SubscriptOutOfRange);
    EXPECT_EQ(wide(0, 0), 9);
    PixelBytes tall = MakePixels(6, 1201, 9);
    EXPECT_EQ(KindOf([&] {
                  ApplyGain(tall, map, {200, 200, 200});
              }),
              ErrorKind::SubscriptOutOfRange);
}

TEST(Smoothing, FlatStaysFlatAndNoiseIsAveragedPerLane) {
    PixelBytes flat = MakePixels(3 * 20, 10);
    for (std::int32_t r = 0; r < 10; ++r) {
        for (std::int32_t x = 0; x < 20; ++x) {
            flat(3 * x, r) = 200;
            flat(3 * x + 1, r) = 100;
            flat(3 * x + 2, r) = 50;
        }
    }
    PixelBytes smoothed = flat;
    SmoothPixelBytes(smoothed, 3);
    EXPECT_TRUE(std::equal(flat.data(), flat.data() + flat.size(), smoothed.data()));

    // A checkerboard of 190/210 in lane 0 averages to 200 away from the edges.
    PixelBytes noisy = flat;
    for (std::int32_t r = 0; r < 10; ++r) {
        for (std::int32_t x = 0; x < 20; ++x)
            noisy(3 * x, r) = (x + r) % 2 ? 190 : 210;
    }
    SmoothPixelBytes(noisy, 2);
    EXPECT_NEAR(noisy(30, 5), 200, 1);
    EXPECT_EQ(noisy(31, 5), 100);  // the other lanes are untouched by lane 0's noise
    EXPECT_EQ(noisy(32, 5), 50);
}

TEST(Smoothing, RadiusZeroAndFillerBytesAreLeftAlone) {
    std::mt19937 rng(5);
    PixelBytes pixels = testing::RandomPixels(rng, 3 * 5 + 1, 4);
    const PixelBytes before = pixels;
    SmoothPixelBytes(pixels, 0);
    EXPECT_TRUE(std::equal(before.data(), before.data() + before.size(), pixels.data()));
    SmoothPixelBytes(pixels, 8);
    for (std::int32_t r = 0; r < 4; ++r)
        EXPECT_EQ(pixels(15, r), before(15, r));
}

}  // namespace
}  // namespace velmora
