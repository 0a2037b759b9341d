// Pictures corrected a strip at a time (ProfileCorrector through the picture library's pipeline)
// against the whole-frame definition: the flat resampled whole (ResampleFlat), its gains
// (ComputeGains, the 8-bit ones as steps) and each row corrected by them. Strips are 16 rows,
// decoded and corrected on several threads in any order, and the flat's resampling reads bands
// of its own, so their boundaries fall inside the enlargement and the reduction; pictures one
// row and one strip high have a single, partial strip.

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <cmath>
#include <filesystem>
#include <random>
#include <vips/vips8>

#include "correction/error.h"
#include "correction/gain_steps.h"
#include "correction/lens_profile.h"
#include "correction/profile_gain.h"
#include "correction/tone_curve.h"
#include "engine/memory_budget.h"
#include "engine/profile_correction.h"
#include "engine/profile_store.h"
#include "engine/work_pool.h"
#include "platform/flat_resample.h"
#include "platform/lens_profile_file.h"
#include "platform/photo_file.h"
#include "platform/picture_file.h"

namespace velmora {
namespace {

struct Case {
    const char* what;
    int flatWidth, flatHeight;
    int width, height;
    int bits;
    FlatFit fit;
    GainSpace space;
    PhotoFormat format;
};

const Case kCases[] = {
    {"the profile's own size", 48, 32, 48, 32, 8, FlatFit::SameAspect, GainSpace::Linear,
     PhotoFormat::Png},
    {"enlarged, strips across source rows", 24, 16, 240, 160, 8, FlatFit::SameAspect,
     GainSpace::Linear, PhotoFormat::Png},
    {"enlarged, 16 bits, code values", 24, 16, 121, 81, 16, FlatFit::SameAspect, GainSpace::Code,
     PhotoFormat::Tiff},
    {"reduced, bands across strips", 240, 160, 60, 40, 8, FlatFit::SameAspect, GainSpace::Linear,
     PhotoFormat::Png},
    {"reduced, 16 bits", 240, 160, 121, 81, 16, FlatFit::SameAspect, GainSpace::Linear,
     PhotoFormat::Png},
    {"a centred crop", 30, 20, 160, 90, 8, FlatFit::CropCentre, GainSpace::Linear,
     PhotoFormat::Tiff},
    {"one row high", 240, 1, 240, 1, 8, FlatFit::SameAspect, GainSpace::Linear, PhotoFormat::Png},
    {"one strip high, enlarged", 60, 2, 240, 8, 16, FlatFit::SameAspect, GainSpace::Linear,
     PhotoFormat::Png},
    {"BMP, rows written from the bottom", 24, 16, 97, 65, 8, FlatFit::SameAspect, GainSpace::Linear,
     PhotoFormat::Bmp},
};

// A smooth falloff with a cast, as light 0.3 .. 1.
LensProfile MakeProfile(int width, int height) {
    LensProfile profile;
    profile.flat = FlatField{width, height, 3, {}};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width - 0.5, v = (y + 0.5) / height - 0.5;
            for (int c = 0; c < 3; ++c)
                profile.flat.values.push_back(float(1 - (1.4 + 0.3 * c) * (u * u + v * v)));
        }
    }
    profile.centre = {0.9, 0.85, 0.8};
    return profile;
}

template <typename Sample>
std::vector<Sample> RandomSamples(std::size_t count, std::mt19937& random) {
    std::vector<Sample> samples(count);
    for (Sample& sample : samples)
        sample = Sample(random());
    return samples;
}

// The picture corrected by the definition, the whole frame at once.
template <typename Sample>
void CorrectWhole(std::vector<Sample>& samples, const Case& c, const LensProfile& profile) {
    FlatField flat = ResampleFlat(profile.flat, c.width, c.height, c.fit);
    std::array<double, 3> centre = profile.centre;
    const ToneTables code(SrgbToLinear, 65535);
    if (c.space == GainSpace::Code) {
        FlatInCodeValues(flat.values.data(), flat.values.size(), 3, {&code});
        centre = CentreInCodeValues(centre, {&code});
    }
    const std::vector<float> gains = ComputeGains(flat, centre, CorrectWhat::Both, 3);
    const ToneTables tables(SrgbToLinear, (1u << c.bits) - 1);
    const ToneTables* perChannel[] = {&tables, &tables, &tables};
    const GainLookup lookup(tables, c.space);
    const GainLookup* lookups[] = {&lookup, &lookup, &lookup};
    const std::vector<std::uint16_t> steps = ToGainSteps(gains);
    const std::size_t row = std::size_t(c.width) * 3;
    for (int y = 0; y < c.height; ++y) {
        Sample* at = samples.data() + std::size_t(y) * row;
        if constexpr (sizeof(Sample) == 1) {
            ApplyGainStepsRow(at, c.width, 3, 3, steps.data() + y * row, lookups);
        } else {
            ApplyGainRow(at, c.width, 3, 3, gains.data() + y * row, perChannel, c.space);
        }
    }
}

template <typename Sample>
void WritePicture(const std::vector<Sample>& samples, const Case& c, const QString& path) {
    vips::VImage image = vips::VImage::new_from_memory(
        const_cast<Sample*>(samples.data()), samples.size() * sizeof(Sample), c.width, c.height, 3,
        sizeof(Sample) == 1 ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT);
    image = image.copy(vips::VImage::option()->set(
        "interpretation",
        sizeof(Sample) == 1 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16));
    image.pngsave(QFile::encodeName(path).constData());
}

// What was written, as RGB samples.
template <typename Sample>
std::vector<Sample> ReadBack(const QString& path, const Case& c) {
    if (c.format == PhotoFormat::Bmp) {
        const LoadedPicture picture = LoadPictureFile(path);
        std::vector<Sample> rgb;
        for (int y = 0; y < picture.bitmap.height(); ++y) {
            const std::uint8_t* row = picture.bitmap.row(y);
            for (int x = 0; x < picture.bitmap.width(); ++x) {
                for (const int c : {2, 1, 0})
                    rgb.push_back(Sample(row[3 * x + c]));
            }
        }
        return rgb;
    }
    const Photo photo = ReadPhoto(path);
    if constexpr (sizeof(Sample) == 1) {
        return photo.samples8;
    } else {
        return photo.samples16;
    }
}

class StreamedCorrection : public ::testing::Test {
  protected:
    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

    template <typename Sample>
    void Check(const Case& c) {
        SCOPED_TRACE(c.what);
        std::mt19937 random(std::uint32_t(c.width * 1000 + c.height));
        SaveLensProfile(MakeProfile(c.flatWidth, c.flatHeight), Path("lens.tif"));
        std::vector<Sample> samples =
            RandomSamples<Sample>(std::size_t(c.width) * std::size_t(c.height) * 3, random);
        WritePicture(samples, c, Path("in.png"));
        const QString output = Path(QString("out.") + FormatSuffix(c.format));

        WorkPool pool(2);
        MemoryBudget budget(std::int64_t(1) << 30);
        SingleProfile profile(Path("lens.tif"), budget);
        ProfileCorrector corrector({CorrectWhat::Both, c.space, c.fit}, profile, pool, budget);
        corrector.Correct(Path("in.png"), output, {{{0, 1.0}}, {}},
                          {c.format, 95, Durability::FlushEachFile}, [](const QString&) {});

        CorrectWhole(samples, c, LoadLensProfile(Path("lens.tif")));
        const std::vector<Sample> written = ReadBack<Sample>(output, c);
        ASSERT_EQ(written.size(), samples.size());
        EXPECT_EQ(written, samples);
    }
};

TEST_F(StreamedCorrection, StripsMakeTheWholeFramesBytes) {
    for (const Case& c : kCases) {
        if (c.bits == 8) {
            Check<std::uint8_t>(c);
        } else {
            Check<std::uint16_t>(c);
        }
    }
}

// A budget that holds the profile but not a picture's strips refuses the picture before it is
// read, and writes nothing.
TEST_F(StreamedCorrection, ABudgetBelowAStripWritesNothing) {
    const Case c{
        "", 24, 16, 2400, 1600, 8, FlatFit::SameAspect, GainSpace::Linear, PhotoFormat::Png};
    std::mt19937 random(3);
    SaveLensProfile(MakeProfile(c.flatWidth, c.flatHeight), Path("lens.tif"));
    WritePicture(RandomSamples<std::uint8_t>(std::size_t(c.width) * c.height * 3, random), c,
                 Path("in.png"));
    WorkPool pool(2);
    MemoryBudget budget(64 * 1024);
    SingleProfile profile(Path("lens.tif"), budget);
    ProfileCorrector corrector({}, profile, pool, budget);
    try {
        corrector.Correct(Path("in.png"), Path("out.png"), {{{0, 1.0}}, {}},
                          {PhotoFormat::Png, 95, Durability::FlushEachFile}, [](const QString&) {});
        FAIL() << "a picture went through a budget below its strips";
    } catch (const Error& error) {
        EXPECT_EQ(error.problem(), Problem::MemoryBudget) << error.what();
    }
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).size(), 2);  // lens.tif, in.png
}

}  // namespace
}  // namespace velmora

int main(int argc, char* argv[]) {
    ::testing::InitGoogleTest(&argc, argv);
    velmora::StartPhotoLibrary(argv[0]);
    return RUN_ALL_TESTS();
}
