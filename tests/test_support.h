#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "correction/correction_map.h"
#include "correction/error.h"
#include "correction/pixel_bytes.h"
#include "correction/sum_lookup.h"

namespace velmora::testing {

inline PixelBytes MakePixels(std::int32_t w, std::int32_t h, std::uint8_t value = 0) {
    PixelBytes pixels;
    pixels.Recreate(w, h);
    std::fill(pixels.data(), pixels.data() + pixels.size(), value);
    return pixels;
}

inline PixelBytes RandomPixels(std::mt19937& rng, std::int32_t w, std::int32_t h) {
    PixelBytes pixels;
    pixels.Recreate(w, h);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels.data()[i] = std::uint8_t(byte(rng));
    return pixels;
}

inline void FillRandom(std::mt19937& rng, CorrectionMap& map, int largest) {
    std::uniform_int_distribution<int> cell(0, largest);
    for (std::size_t i = 0; i < kMapBytes; ++i)
        map.data()[i] = std::uint8_t(cell(rng));
}

inline KernelVariant AsVariant(Kernel kernel) {
    return {kernel, false};
}
inline KernelVariant AsVariant(KernelVariant variant) {
    return variant;
}

// A test run once per kernel this processor has, with that kernel forced, or once per variant
// for passes that also have variants that gather. A suite uses it as
//   using MySuite = testing::KernelTest;
//   INSTANTIATE_TEST_SUITE_P(Kernels, MySuite, testing::EachKernel(), testing::KernelTestName);
// or with VariantTest, EachVariant and VariantTestName.
template <typename Param>
class ForcingTest : public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override {
        const KernelVariant variant = AsVariant(this->GetParam());
        ASSERT_EQ(ForceVariant(variant), variant);
    }
    void TearDown() override { ForceVariant(previous_); }

  private:
    std::optional<KernelVariant> previous_ = ForcedVariant();
};
using KernelTest = ForcingTest<Kernel>;
using VariantTest = ForcingTest<KernelVariant>;

inline auto EachKernel() {
    return ::testing::ValuesIn(AvailableKernels());
}

inline std::string KernelTestName(const ::testing::TestParamInfo<Kernel>& info) {
    return KernelName(info.param);
}

inline auto EachVariant() {
    return ::testing::ValuesIn(AvailableVariants());
}

inline std::string VariantTestName(const ::testing::TestParamInfo<KernelVariant>& info) {
    std::string name = VariantName(info.param);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// Runs `action` and returns the kind of the velmora::Error it raised; fails the test otherwise.
template <typename Action>
ErrorKind KindOf(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no error was raised";
    return ErrorKind::Overflow;
}

inline std::vector<std::uint8_t> ReadWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWhole(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A fresh, empty folder that is removed again with everything in it.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("velmora-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TemporaryFolder() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

}  // namespace velmora::testing
