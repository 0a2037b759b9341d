#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "correction/gain.h"
#include "correction/sum_lookup.h"
#include "test_support.h"

namespace velmora {
namespace {

using SumLookupOnEachKernel = testing::KernelTest;
INSTANTIATE_TEST_SUITE_P(Kernels, SumLookupOnEachKernel, testing::EachKernel(),
                         testing::KernelTestName);

// The active kernel against the portable loop: every sum, row lengths around the 64-byte step.
TEST_P(SumLookupOnEachKernel, KernelsGiveTheSameBytes) {
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

// The tables of the two highlight modes, straight from their definitions.
void ScaleTable(SumLookupTable& table, int limit) {
    for (int sum = 0; sum <= 510; ++sum)
        table[sum] = std::uint8_t(std::min(255.0, std::rint(sum * 255.0 / limit)));
}
void OffsetTable(SumLookupTable& table, int offset) {
    for (int sum = 0; sum <= 510; ++sum)
        table[sum] = std::uint8_t(std::clamp<long long>(sum - (long long)(offset), 0, 255));
}

// Runs the pass on rows holding every sum in random order, at lengths around the vector steps,
// and compares each byte with the table; the byte past the end must stay.
void ExpectTableBytes(const SumPass& pass, const SumLookupTable& table, std::mt19937& rng) {
    std::vector<int> sums(511);
    for (int s = 0; s <= 510; ++s)
        sums[s] = s;
    std::shuffle(sums.begin(), sums.end(), rng);
    for (const std::int32_t count : {511, 15, 17, 31, 33}) {
        std::vector<std::uint8_t> picture(std::size_t(count) + 1, 7);
        std::vector<std::uint8_t> cells(picture.size(), 9);
        for (std::int32_t i = 0; i < count; ++i) {
            picture[i] = std::uint8_t(std::min(sums[i], 255));
            cells[i] = std::uint8_t(sums[i] - picture[i]);
        }
        pass.Run(picture.data(), cells.data(), count);
        for (std::int32_t i = 0; i < count; ++i)
            ASSERT_EQ(picture[i], table[sums[i]]) << "sum " << sums[i] << ", count " << count;
        ASSERT_EQ(picture.back(), 7) << "the byte past the end was touched";
    }
}

bool HasArithmeticKernel(Kernel kernel, SumArithmetic::Form form) {
    return kernel == Kernel::Sse2 || kernel == Kernel::Avx2 ||
           (kernel == Kernel::Avx512 && form == SumArithmetic::Form::Offset);
}

// Every scale limit that the percentages 0 to 100 give, and every offset that changes anything:
// the arithmetic must give the table's bytes, so the sse2 and avx2 kernels always use it.
TEST_P(SumLookupOnEachKernel, ArithmeticEqualsTheTableForEveryLimitAndOffset) {
    std::mt19937 rng(4);
    SumLookupTable table = {};
    for (int limit = 255; limit <= 510; ++limit) {
        ScaleTable(table, limit);
        const SumPass pass(table, ScaleArithmetic(limit));
        EXPECT_EQ(pass.usesArithmetic(),
                  HasArithmeticKernel(GetParam(), SumArithmetic::Form::Scale))
            << "limit " << limit;
        ExpectTableBytes(pass, table, rng);
    }
    for (const int offset :
         {-2147483647, -256, -255, -254, -1, 0, 1, 254, 255, 256, 509, 510, 511, 512, 2147483647}) {
        OffsetTable(table, offset);
        const SumPass pass(table, OffsetArithmetic(offset));
        EXPECT_EQ(pass.usesArithmetic(),
                  HasArithmeticKernel(GetParam(), SumArithmetic::Form::Offset))
            << "offset " << offset;
        ExpectTableBytes(pass, table, rng);
    }
}

// Limits outside 255..510 and arithmetic that does not match the table fall back to the table.
TEST_P(SumLookupOnEachKernel, TheTableDecidesWhereTheArithmeticDoesNot) {
    std::mt19937 rng(5);
    EXPECT_EQ(ScaleArithmetic(254).form, SumArithmetic::Form::None);
    EXPECT_EQ(ScaleArithmetic(511).form, SumArithmetic::Form::None);
    SumLookupTable table = {};
    ScaleTable(table, 300);
    table[301] ^= 1;  // one sum differs from the arithmetic
    for (const SumArithmetic arithmetic : {ScaleArithmetic(300), OffsetArithmetic(45)}) {
        const SumPass pass(table, arithmetic);
        EXPECT_FALSE(pass.usesArithmetic());
        ExpectTableBytes(pass, table, rng);
    }
}

TEST(Kernels, ChoosingIsCappedByTheProcessorAndNamesRoundTrip) {
    const std::vector<Kernel> available = AvailableKernels();
    ASSERT_FALSE(available.empty());
    EXPECT_EQ(available.front(), Kernel::Portable);
    const Kernel before = ActiveKernel();
    EXPECT_EQ(UseKernel(Kernel::Avx512), available.back());
    EXPECT_EQ(UseKernel(Kernel::Portable), Kernel::Portable);
    UseKernel(before);
    for (const Kernel kernel : {Kernel::Portable, Kernel::Sse2, Kernel::Avx2, Kernel::Avx512})
        EXPECT_EQ(KernelNamed(KernelName(kernel)), kernel);
    EXPECT_EQ(KernelNamed("avx"), std::nullopt);
    for (const KernelVariant variant : AvailableVariants())
        EXPECT_EQ(ForcingNamed(VariantName(variant).c_str()), variant);
    for (const char* unknown : {"avx3", "sse2-gather", "-gather", ""})
        EXPECT_EQ(ForcingNamed(unknown), std::nullopt) << unknown;
}

// Unforced, the passes that choose take a variant of their own, each of which the suites above
// prove against its definition, and still give the definition's bytes.
TEST(Kernels, TheRunTimeChoiceIsAProvenVariant) {
    const std::optional<KernelVariant> before = ForcedVariant();
    ForceVariant(std::nullopt);
    PixelBytes pixels = testing::MakePixels(300, 4, 120);
    CorrectionMap map;
    std::fill(map.data(), map.data() + kMapBytes, 40);
    ApplyGain(pixels, map, {200, 200, 200});
    EXPECT_EQ(pixels(299, 3), GainedByte(120, 40, 200));
    std::vector<std::string> proven;
    for (const KernelVariant variant : AvailableVariants())
        proven.push_back(VariantName(variant));
    const std::vector<ChoiceRecord> choices = KernelChoices();
    ASSERT_FALSE(choices.empty());
    for (const ChoiceRecord& choice : choices) {
        EXPECT_NE(std::find(proven.begin(), proven.end(), choice.chosen), proven.end())
            << choice.pass << ": " << choice.chosen;
        EXPECT_NE(choice.why.find("fastest"), std::string::npos) << choice.why;
    }
    ForceVariant(before);
}

// VELMORA_KERNEL forces every pass, read as a process starts: here a fresh one per variant,
// which runs this test again up to its own case and nothing forced before.
TEST(Kernels, TheEnvironmentForcesEachVariant) {
    CorrectionMap map;
    std::fill(map.data(), map.data() + kMapBytes, 40);
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, which reads the variable
    for (const KernelVariant variant : AvailableVariants()) {
        const std::string name = VariantName(variant);
        setenv("VELMORA_KERNEL", name.c_str(), 1);
        EXPECT_EXIT(
            {
                PixelBytes forced = testing::MakePixels(300, 4, 120);
                ApplyGain(forced, map, {200, 200, 200});
                const bool ok = ForcedVariant() == variant &&
                                forced(299, 3) == GainedByte(120, 40, 200) &&
                                KernelChoices().front().chosen == name &&
                                KernelChoices().front().why == "forced by VELMORA_KERNEL=" + name;
                std::exit(ok ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << name;
    }
    unsetenv("VELMORA_KERNEL");
}

}  // namespace
}  // namespace velmora
