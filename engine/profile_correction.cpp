#include "engine/profile_correction.h"

#include "correction/error.h"
#include "correction/gain_steps.h"
#include "engine/raw_correction.h"
#include "platform/flat_resample.h"
#include "platform/native_path.h"
#include "platform/photo_writer.h"

namespace velmora {
namespace {

// The correction of one thread's strips: each row by its gains.
class GainCorrector final : public RowCorrector {
  public:
    GainCorrector(const GainRows& gains, const ToneTableCache::Entry& tables, GainSpace space)
        : reader_(gains.NewReader()),
          channels_(gains.shape().channels),
          tables_(tables.pointers()),
          lookups_(tables.lookupPointers()),
          space_(space) {}

    void Correct(ImageView<std::uint8_t> strip, std::int64_t left, std::int64_t top) override {
        for (std::int64_t r = 0; r < strip.height(); ++r) {
            const std::uint16_t* steps = reader_->Steps(top + r) + std::size_t(left) * channels_;
            ApplyGainStepsRow(strip.row(r), std::int32_t(strip.width()), strip.samplesPerPixel(),
                              channels_, steps, lookups_.data());
        }
    }
    void Correct(ImageView<std::uint16_t> strip, std::int64_t left, std::int64_t top) override {
        for (std::int64_t r = 0; r < strip.height(); ++r) {
            const float* gains = reader_->Floats(top + r) + std::size_t(left) * channels_;
            ApplyGainRow(strip.row(r), std::int32_t(strip.width()), strip.samplesPerPixel(),
                         channels_, gains, tables_.data(), space_);
        }
    }

  private:
    std::unique_ptr<GainRows::Reader> reader_;
    std::size_t channels_;
    std::vector<const ToneTables*> tables_;
    std::vector<const GainLookup*> lookups_;
    GainSpace space_;
};

}  // namespace

ProfileCorrector::ProfileCorrector(const CorrectionSettings& settings, ProfileSource& profiles,
                                   WorkPool& pool, MemoryBudget& budget)
    : settings_(settings), profiles_(profiles), budget_(budget), gains_(budget, pool) {}

std::shared_ptr<const GainRows> ProfileCorrector::GainsFor(
    const GainRecipe& recipe, const GainShape& shape,
    std::shared_ptr<const ToneTableCache::Entry> code) {
    const CurveKey curves = code != nullptr ? code->key : CurveKey{};
    const auto partGains = [&](int profile) {
        return gains_.For(
            {{{profile, 1.0}}, false, shape, curves},
            [&] { return ProfileGains(profiles_.Get(profile), shape, settings_, code); },
            recipe.parts.size() == 1);
    };
    if (recipe.parts.size() == 1 && !recipe.cubic) return partGains(recipe.parts.front().first);
    return gains_.For({recipe.parts, recipe.cubic.has_value(), shape, curves}, [&] {
        std::vector<std::shared_ptr<const GainRows>> parts;
        std::vector<double> weights;
        for (const auto& [profile, weight] : recipe.parts) {
            parts.push_back(partGains(profile));
            weights.push_back(weight);
        }
        return BlendedGains(std::move(parts), std::move(weights), recipe.cubic);
    });
}

void ProfileCorrector::Correct(const QString& input, const QString& output,
                               const GainRecipe& recipe, const OutputSettings& out,
                               const std::function<void(const QString&)>& warn) {
    const PhotoFile file = PhotoFile::Open(input);
    const PhotoHeader& header = file.header();
    for (const auto& part : recipe.parts) {
        CheckProfileServes(profiles_.Header(part.first), profiles_.Path(part.first), input,
                           nullptr);
        CheckFits(header.width, header.height, input, profiles_.Header(part.first).flat,
                  settings_.fit);
    }
    const MemoryBudget::Hold memory =
        budget_.ForPicture(StripMemory(header, CarriesMetadataInMemory(file, out.format)),
                           "the picture " + Native(input).toStdString());
    const auto tables = curves_.TablesFor(header.colourProfile, header.colourChannels, header.bits,
                                          settings_.space);
    if (!tables->note.isEmpty() && settings_.space == GainSpace::Linear) warn(tables->note);
    // Code values are multiplied by the ratio of the card's code values, through the picture's
    // curve at 16 bits for a smooth inverse.
    const auto code = settings_.space == GainSpace::Code
                          ? curves_.TablesFor(header.colourProfile, header.colourChannels, 16)
                          : nullptr;
    const GainShape shape{header.width, header.height, header.colourChannels, header.bits};
    const std::shared_ptr<const GainRows> gains = GainsFor(recipe, shape, code);
    // A profile read as its rows are needed proves its checksum before the picture is kept.
    const auto confirm = [&] {
        for (const auto& part : recipe.parts) {
            const std::shared_ptr<const LensProfile> profile = profiles_.Get(part.first);
            if (profile->lazy != nullptr) profile->lazy->Verify();
        }
    };
    WritePhoto(
        file, [&] { return std::make_unique<GainCorrector>(*gains, *tables, settings_.space); },
        output, out.format, out.quality, out.durability, confirm);
}

void CheckFits(std::int64_t width, std::int64_t height, const QString& input, const FlatField& flat,
               FlatFit fit) {
    if (fit == FlatFit::CropCentre || SameAspect(flat.width, flat.height, width, height)) return;
    throw Error(ErrorKind::Picture,
                QString("the picture is %1 x %2 pixels, but the lens profile was measured on "
                        "%3 x %4, another aspect ratio; nothing was written.")
                    .arg(width)
                    .arg(height)
                    .arg(flat.width)
                    .arg(flat.height)
                    .toStdString(),
                ErrorFields(Problem::AspectRatio, input.toStdString())
                    .Sizes(width, height, flat.width, flat.height));
}

std::int64_t StripMemory(const PhotoHeader& header, bool wholeFile) {
    const std::int64_t rowBytes = std::int64_t(header.rowSamples()) * (header.bits / 8);
    // The rows the picture library holds of a picture in flight, its decoder's, the correction's
    // and its encoder's buffers together, as measured (max RSS less the profile and the program):
    // about 750 for an 81-megapixel JPEG, 1,000 for a 20000 x 20000 16-bit TIFF.
    constexpr std::int64_t kStripRows = 1200;
    const std::int64_t threads = PictureThreads();
    const std::int64_t gainRowBytes = header.width * header.colourChannels * 40;
    std::int64_t bytes = kStripRows * rowBytes + threads * gainRowBytes;
    if (wholeFile) bytes += rowBytes * header.height;
    return bytes;
}

}  // namespace velmora
