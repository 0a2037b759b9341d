#include <gtest/gtest.h>

#include "correction/picture_bytes.h"
#include "correction/tuning.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::KindOf;
using testing::MakePixels;

// A picture whose every group is (200, 190, 180) but for the groups given.
PixelBytes ReferencePicture(std::int32_t w, std::int32_t h) {
    PixelBytes pixels = MakePixels(w, h);
    for (std::int32_t r = 0; r < h; ++r) {
        for (std::int32_t b = 0; b < w; ++b)
            pixels(b, r) = std::uint8_t(200 - 10 * (b % 3));
    }
    return pixels;
}

TEST(Tuning, WorkedExampleAgainstReference200_190_180) {
    PixelBytes pixels = ReferencePicture(12, 3);
    const std::uint8_t groups[4][3] = {
        {150, 190, 185}, {0, 100, 179}, {255, 255, 255}, {200, 190, 180}};
    for (int g = 0; g < 4; ++g) {
        for (int k = 0; k < 3; ++k)
            pixels(3 * g + k, 0) = groups[g][k];
    }
    CorrectionMap map;
    const ReferenceGroup reference = TuneCorrectionMap(pixels, map);
    EXPECT_EQ(reference.row, 2);  // H = 3 gives row 2
    EXPECT_EQ(reference.bytes, (std::array<std::int32_t, 3>{6, 7, 8}));
    const std::uint8_t expected[12] = {50, 0, 0, 200, 90, 1, 0, 0, 0, 0, 0, 0};
    for (int b = 0; b < 12; ++b)
        EXPECT_EQ(map(b, 0), expected[b]) << "byte " << b;
    for (int b = 0; b < 12; ++b)
        EXPECT_EQ(map(b, 1), 0) << "byte " << b;
}

TEST(Tuning, ReferenceRowAndBytesRoundHalfToEven) {
    const std::pair<std::int32_t, std::int32_t> rows[] = {{1200, 600}, {1199, 600}, {1197, 598},
                                                          {5, 2},      {3, 2},      {1, 0}};
    for (const auto& [h, row] : rows) {
        EXPECT_EQ(FindReferenceGroup(MakePixels(6, h)).row, row) << "H = " << h;
    }
    EXPECT_EQ(FindReferenceGroup(MakePixels(4800, 1)).bytes,
              (std::array<std::int32_t, 3>{2400, 2401, 2402}));
    EXPECT_EQ(FindReferenceGroup(MakePixels(5, 1)).bytes, (std::array<std::int32_t, 3>{2, 4, 4}));
}

TEST(Tuning, OnlyThePicturesAreaIsReplaced) {
    CorrectionMap map;
    std::fill(map.data(), map.data() + kMapBytes, 77);
    PixelBytes pixels = ReferencePicture(1500, 1000);
    pixels(0, 0) = 0;
    TuneCorrectionMap(pixels, map);
    EXPECT_EQ(map(0, 0), 200);
    EXPECT_EQ(map(1499, 999), 0);
    EXPECT_EQ(map(1500, 0), 77);
    EXPECT_EQ(map(0, 1000), 77);
    EXPECT_EQ(map(4799, 1199), 77);
    const auto changed = std::count(map.data(), map.data() + kMapBytes, 77);
    EXPECT_EQ(changed, std::int64_t(kMapBytes) - 1500 * 1000);
}

TEST(Tuning, FullSizePictureReplacesEveryCell) {
    CorrectionMap map;
    std::fill(map.data(), map.data() + kMapBytes, 77);
    TuneCorrectionMap(ReferencePicture(4800, 1200), map);
    EXPECT_EQ(std::count(map.data(), map.data() + kMapBytes, 0), std::int64_t(kMapBytes));
}

// Regression: a failed tuning used to leave the cells before the failing byte rewritten.
TEST(Tuning, EveryFailureLeavesTheMapUntouched) {
    const std::pair<std::int32_t, std::int32_t> sizes[] = {
        {2, 10}, {4, 10}, {3, 10}, {4798, 10}, {4806, 10}, {4801, 10}, {6, 1201}, {4800, 1201}};
    for (const auto& [w, h] : sizes) {
        CorrectionMap map;
        std::fill(map.data(), map.data() + kMapBytes, 9);
        EXPECT_EQ(KindOf([&] { TuneCorrectionMap(MakePixels(w, h), map); }),
                  ErrorKind::SubscriptOutOfRange)
            << w << " x " << h;
        EXPECT_EQ(std::count(map.data(), map.data() + kMapBytes, 9), std::int64_t(kMapBytes))
            << w << " x " << h;
    }
}

TEST(Tuning, NoPictureIsSubscriptOutOfRangeAndReadsNothing) {
    PixelBytes pixels = MakePixels(6, 1, 3);
    EXPECT_EQ(KindOf([&] { ReadPictureBytes(nullptr, pixels); }), ErrorKind::SubscriptOutOfRange);
    EXPECT_EQ(pixels.size(), 6u);
}

TEST(Tuning, SecondPressOnThePreviewStoresZeros) {
    Bitmap picture(4, 4);  // W = 12
    for (std::size_t i = 0; i < picture.byteCount(); ++i)
        picture.bits()[i] = std::uint8_t(i * 13);
    CorrectionMap map;
    PixelBytes pixels;
    int repaints = 0;
    for (int press = 0; press < 2; ++press) {
        const BITMAP size = ReadPictureBytes(&picture, pixels);
        TuneCorrectionMap(pixels, map);
        const auto preview = MapPreview(map, size.bmWidthBytes, size.bmHeight);
        WritePictureBytes(&picture, size, preview.data(), [&] { ++repaints; });
        if (press == 0) {
            EXPECT_TRUE(std::equal(preview.begin(), preview.begin() + 12, map.row(0)));
            EXPECT_GT(std::count_if(preview.begin(), preview.end(), [](auto v) { return v; }), 0);
        }
    }
    EXPECT_EQ(repaints, 2);
    for (std::int32_t r = 0; r < 4; ++r) {
        for (std::int32_t b = 0; b < 12; ++b)
            EXPECT_EQ(map(b, r), 0);
    }
}

TEST(PictureBytes, OddWidthRowsCarryAFillerByteAndRoundTrip) {
    Bitmap picture(5, 3);
    EXPECT_EQ(picture.rowBytes(), 16);
    EXPECT_EQ(Bitmap(4, 1).rowBytes(), 12);
    for (std::size_t i = 0; i < picture.byteCount(); ++i)
        picture.bits()[i] = std::uint8_t(i);
    PixelBytes pixels = MakePixels(100, 100, 1);
    const BITMAP size = ReadPictureBytes(&picture, pixels);
    EXPECT_EQ(size.bmWidthBytes, 16);
    EXPECT_EQ(size.bmHeight, 3);
    ASSERT_EQ(pixels.size(), 48u);  // nothing of the larger earlier array is left
    EXPECT_EQ(pixels(15, 2), 47);
    WritePictureBytes(&picture, size, pixels.data(), {});
    for (std::size_t i = 0; i < picture.byteCount(); ++i)
        EXPECT_EQ(picture.bits()[i], i);
    // Tuning's lane walk rejects the filler byte's odd row length.
    CorrectionMap map;
    EXPECT_EQ(KindOf([&] { TuneCorrectionMap(pixels, map); }), ErrorKind::SubscriptOutOfRange);
}

}  // namespace
}  // namespace velmora
