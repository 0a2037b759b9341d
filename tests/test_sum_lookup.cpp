#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "correction/sum_lookup.h"

namespace velmora {
namespace {

// The vector kernel against the portable loop: every sum, row lengths around the 64-byte step.
TEST(SumLookup, KernelsGiveTheSameBytes) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> byte(0, 255);
    SumLookupTable table;
    for (int round = 0; round < 20; ++round) {
        for (std::uint8_t& entry : table)
            entry = std::uint8_t(byte(rng));
        for (std::int32_t count : {0, 1, 63, 64, 65, 127, 128, 511, 4800, 4799}) {
            std::vector<std::uint8_t> picture(std::size_t(count) + 1);
            std::vector<std::uint8_t> cells(picture.size());
            for (std::size_t i = 0; i < picture.size(); ++i) {
                picture[i] = std::uint8_t(byte(rng));
                cells[i] = std::uint8_t(byte(rng));
            }
            if (count >= 2) {  // the extreme sums 0 and 510
                picture[0] = cells[0] = 0;
                picture[1] = cells[1] = 255;
            }
            std::vector<std::uint8_t> portable = picture;
            std::vector<std::uint8_t> dispatched = picture;
            LookUpSumsPortable(table, portable.data(), cells.data(), count);
            LookUpSums(table, dispatched.data(), cells.data(), count);
            ASSERT_EQ(dispatched, portable) << "count " << count;
            EXPECT_EQ(portable.back(), picture.back()) << "the byte past the end was touched";
            for (std::int32_t i = 0; i < count; ++i) {
                ASSERT_EQ(portable[i], table[picture[i] + cells[i]]);
            }
        }
    }
}

}  // namespace
}  // namespace velmora
