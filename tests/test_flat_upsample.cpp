#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>
#include <vips/vips8>

#include "correction/flat_field.h"
#include "correction/flat_upsample.h"
#include "platform/flat_resample.h"
#include "test_support.h"

namespace velmora {
namespace {

// Floats that end where an unreadable page begins, so that a kernel reading or writing past
// the end of a row faults instead of passing unseen.
class GuardedFloats {
  public:
    explicit GuardedFloats(std::size_t count) {
        const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
        const std::size_t bytes = (count * sizeof(float) + page - 1) / page * page;
        size_ = bytes + page;
        void* mapped =
            ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::runtime_error("cannot map the guarded floats");
        base_ = static_cast<char*>(mapped);
        if (::mprotect(base_ + bytes, page, PROT_NONE) != 0) {
            ::munmap(base_, size_);
            throw std::runtime_error("cannot guard the floats");
        }
        data_ = reinterpret_cast<float*>(base_ + bytes) - count;
    }
    ~GuardedFloats() { ::munmap(base_, size_); }
    GuardedFloats(const GuardedFloats&) = delete;
    GuardedFloats& operator=(const GuardedFloats&) = delete;
    float* data() const { return data_; }

  private:
    char* base_ = nullptr;
    std::size_t size_ = 0;
    float* data_ = nullptr;
};

FlatField RandomFlat(std::int32_t width, std::int32_t height, int channels) {
    std::mt19937 rng(std::uint32_t(width * 7919 + height * 31 + channels));
    std::uniform_real_distribution<float> level(0.0f, 1.0f);
    FlatField flat{width, height, channels, {}};
    flat.values.resize(flat.places() * std::size_t(channels));
    for (float& value : flat.values)
        value = level(rng);
    return flat;
}

// Makes every row of `upsample` from `flat` through guarded rows and compares it with row
// `firstRow + y` of `expected` (a flat of the window's width) bit for bit. Reports the first
// differing sample and stops there.
void ExpectRows(const FlatUpsample& upsample, const FlatField& flat, const FlatField& expected,
                std::int32_t firstRow) {
    const std::size_t sourceSamples = std::size_t(flat.width) * std::size_t(flat.channels);
    const std::size_t samples = std::size_t(upsample.width()) * std::size_t(flat.channels);
    ASSERT_EQ(expected.width, upsample.width());
    GuardedFloats upper(sourceSamples), lower(sourceSamples), out(samples);
    for (std::int32_t y = 0; y < upsample.height(); ++y) {
        const auto [upperRow, lowerRow] = upsample.SourceRows(y);
        ASSERT_TRUE(upperRow >= 0 && upperRow <= lowerRow && lowerRow < flat.height) << y;
        std::memcpy(upper.data(), flat.values.data() + std::size_t(upperRow) * sourceSamples,
                    sourceSamples * sizeof(float));
        std::memcpy(lower.data(), flat.values.data() + std::size_t(lowerRow) * sourceSamples,
                    sourceSamples * sizeof(float));
        upsample.Row(y, upper.data(), lower.data(), out.data());
        const float* want = expected.values.data() + std::size_t(firstRow + y) * samples;
        if (std::memcmp(out.data(), want, samples * sizeof(float)) == 0) continue;
        std::size_t s = 0;
        while (std::memcmp(out.data() + s, want + s, sizeof(float)) == 0)
            ++s;
        char values[80];
        std::snprintf(values, sizeof values, "%a, libvips %a", double(out.data()[s]),
                      double(want[s]));
        ADD_FAILURE() << "row " << y << ", column " << s / std::size_t(flat.channels)
                      << ", channel " << s % std::size_t(flat.channels) << ": " << values;
        return;
    }
}

struct Case {
    const char* name;
    std::int32_t flatWidth;
    std::int32_t flatHeight;
    int channels;
    std::int32_t width;
    std::int32_t height;
    FlatFit fit;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases{
        {"grey, small and odd", 7, 5, 1, 23, 17, FlatFit::SameAspect},
        {"colour, small and odd", 7, 5, 3, 23, 17, FlatFit::SameAspect},
        // Large factors of small flats: many pixels by the repeated edges, and the few places
        // where a sum rounded differently in double (a fused multiply-add, another order)
        // crosses to another float.
        {"colour, x15 of 8 x 5", 8, 5, 3, 120, 75, FlatFit::SameAspect},
        {"colour, x10 of 12 x 8", 12, 8, 3, 120, 80, FlatFit::SameAspect},
        {"colour, x10 of 16 x 10", 16, 10, 3, 160, 100, FlatFit::SameAspect},
        {"grey, x10 of 16 x 10", 16, 10, 1, 160, 100, FlatFit::SameAspect},
        {"grey, x15 of 16 x 10", 16, 10, 1, 240, 150, FlatFit::SameAspect},
        {"grey, x10 of 24 x 16", 24, 16, 1, 240, 160, FlatFit::SameAspect},
        {"colour, x10 of 24 x 16", 24, 16, 3, 240, 160, FlatFit::SameAspect},
        {"grey, one pixel larger", 33, 21, 1, 34, 22, FlatFit::SameAspect},
        {"colour, one pixel larger", 60, 40, 3, 61, 41, FlatFit::SameAspect},
        {"grey, x5", 97, 65, 1, 485, 325, FlatFit::SameAspect},
        {"colour, x5", 96, 64, 3, 480, 320, FlatFit::SameAspect},
        // 3:2 to 16:9 keeps the middle rows; 3:2 to a square the middle columns.
        {"colour, crop centre to 16:9", 60, 40, 3, 160, 90, FlatFit::CropCentre},
        {"grey, crop centre to a square", 60, 40, 1, 90, 90, FlatFit::CropCentre},
        {"colour, crop centre to a square", 61, 41, 3, 91, 93, FlatFit::CropCentre},
        // Long rows, where the positions added up along a row drift from their products.
        {"colour, long rows", 547, 308, 3, 1200, 675, FlatFit::SameAspect},
        // Many rows whose position libvips's inverse scale, 1 / (hscale x vscale) x hscale, puts
        // a bit away from the one 1 / vscale would: a few dozen samples round to other floats.
        {"colour, many rows", 40, 4000, 3, 100, 10000, FlatFit::SameAspect},
    };
    return cases;
}

const Case& Named(const std::string& name) {
    for (const Case& c : Cases()) {
        if (c.name == name) return c;
    }
    throw std::invalid_argument("no case " + name);
}

using FlatUpsampleTest = testing::KernelTest;

// Every row of the centred window is libvips's, bit for bit.
TEST_P(FlatUpsampleTest, RowsAreLibvipssBits) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const FlatField flat = RandomFlat(c.flatWidth, c.flatHeight, c.channels);
        const bool crop = c.fit == FlatFit::CropCentre;
        ASSERT_TRUE(FlatEnlarges(flat.width, flat.height, c.width, c.height, crop));
        const FlatUpsample upsample =
            UpsampleFor(flat.width, flat.height, flat.channels, c.width, c.height, crop);
        ASSERT_EQ(upsample.kernel(), GetParam());
        ExpectRows(upsample, flat, ResampleFlat(flat, c.width, c.height, c.fit), 0);
    }
}

// A window one row high, at each row of the centred one: a row's position does not depend on
// where its window begins.
TEST_P(FlatUpsampleTest, OneRowWindowsAreTheirRowsOfTheWhole) {
    for (const char* name : {"colour, small and odd", "colour, crop centre to 16:9",
                             "grey, crop centre to a square"}) {
        const Case& c = Named(name);
        SCOPED_TRACE(c.name);
        const FlatField flat = RandomFlat(c.flatWidth, c.flatHeight, c.channels);
        const bool crop = c.fit == FlatFit::CropCentre;
        const FlatField expected = ResampleFlat(flat, c.width, c.height, c.fit);
        const FlatUpsample whole =
            UpsampleFor(flat.width, flat.height, flat.channels, c.width, c.height, crop);
        for (std::int32_t y = 0; y < c.height; ++y) {
            const FlatUpsample row(flat.width, flat.height, flat.channels, whole.hscale(),
                                   whole.vscale(), whole.left(), whole.top() + y, c.width, 1);
            ExpectRows(row, flat, expected, y);
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, FlatUpsampleTest, testing::EachKernel(), testing::KernelTestName);

// FlatEnlarges holds exactly where ResampleFlat's scales both pass 1 and it does resample.
TEST(FlatEnlarges, OnlyWhereBothScalesPassOne) {
    struct Fit {
        std::int32_t width;
        std::int32_t height;
        bool crop;
        bool enlarges;
    };
    for (const Fit f :
         {Fit{60, 40, false, false}, Fit{61, 41, false, true}, Fit{60, 41, false, true},
          Fit{120, 30, false, false}, Fit{120, 30, true, true}, Fit{59, 39, false, false},
          Fit{59, 39, true, false}, Fit{60, 39, false, false}, Fit{60, 39, true, true}}) {
        EXPECT_EQ(FlatEnlarges(60, 40, f.width, f.height, f.crop), f.enlarges)
            << f.width << " x " << f.height << (f.crop ? ", crop centre" : "");
    }
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (VIPS_INIT(argv[0]) != 0) vips_error_exit("cannot start libvips");
    return RUN_ALL_TESTS();
}
