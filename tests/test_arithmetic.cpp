#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "correction/checked_math.h"
#include "correction/error.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::KindOf;

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(RoundToInt32(268.5, "x"), 268);
    EXPECT_EQ(RoundToInt32(13.5, "x"), 14);
    EXPECT_EQ(RoundToInt32(-22.5, "x"), -22);
    EXPECT_EQ(RoundToInt32(0.5, "x"), 0);
    EXPECT_EQ(RoundToInt32(1.5, "x"), 2);
    EXPECT_EQ(RoundToInt32(2.5, "x"), 2);
    EXPECT_EQ(RoundToInt32(-0.5, "x"), 0);
    EXPECT_EQ(RoundToInt32(2.5000000001, "x"), 3);
    EXPECT_EQ(RoundToInt16(32767.4, "x"), 32767);
    EXPECT_EQ(RoundToInt16(-32768.5, "x"), -32768);
}

TEST(Rounding, OutsideTheTargetRangeIsOverflow) {
    EXPECT_EQ(KindOf([] { RoundToInt32(2147483647.5, "x"); }), ErrorKind::Overflow);
    EXPECT_EQ(RoundToInt32(-2147483648.5, "x"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(KindOf([] { RoundToInt32(-2147483649.0, "x"); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt32(std::nan(""), "x"); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt32(INFINITY, "x"); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt16(32767.5, "x"); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { RoundToInt16(-32769, "x"); }), ErrorKind::Overflow);
}

TEST(CheckedIntegers, RaiseOverflowInsteadOfWrapping) {
    EXPECT_EQ(CheckedMul(1200, 4800, "n"), 5760000);
    EXPECT_EQ(CheckedAdd(2147483646, 1, "n"), 2147483647);
    EXPECT_EQ(KindOf([] { CheckedAdd(2147483647, 1, "n"); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { CheckedSub(-2147483647 - 1, 1, "n"); }), ErrorKind::Overflow);
    EXPECT_EQ(KindOf([] { CheckedMul(65536, 32768, "n"); }), ErrorKind::Overflow);
}

TEST(ErrorReport, NamesTheKindAndTheCause) {
    const Error error(ErrorKind::SubscriptOutOfRange,
                      "the picture has 1201 rows; the correction map holds 1200.");
    EXPECT_STREQ(error.what(),
                 "Subscript out of range: the picture has 1201 rows; the correction map holds "
                 "1200.");
    EXPECT_EQ(error.kind(), ErrorKind::SubscriptOutOfRange);
}

}  // namespace
}  // namespace velmora
