#include "engine/raw_correction.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "correction/cfa_planes.h"
#include "correction/error.h"
#include "correction/profile_blend.h"
#include "correction/raw_gain.h"
#include "correction/unset_vector.h"
#include "engine/raw_profile_measure.h"
#include "engine/work_pool.h"
#include "platform/dng_gain_map.h"
#include "platform/dng_writer.h"
#include "platform/flat_resample.h"
#include "platform/native_path.h"
#include "platform/raw_develop.h"

namespace velmora {
namespace {

std::string Layout(const CfaPattern& cfa) {
    return cfa.empty() ? "linear raw pictures" : CfaDescription(cfa);
}

// Where the picture's pattern lies in the profile's: the shift (dx, dy) of the profile's
// pattern that is the picture's, the smallest first; none when it is no shift of it.
std::optional<std::pair<int, int>> ShiftTo(const CfaPattern& profile, const CfaPattern& picture) {
    if (profile.width != picture.width || profile.height != picture.height) return std::nullopt;
    if (profile.empty()) return std::pair{0, 0};
    for (int dy = 0; dy < profile.height; ++dy) {
        for (int dx = 0; dx < profile.width; ++dx) {
            if (CfaLetters(ShiftedCfa(profile, dx, dy)) == CfaLetters(picture))
                return std::pair{dx, dy};
        }
    }
    return std::nullopt;
}

PictureFlat FlatFor(const std::shared_ptr<const LensProfile>& kept, const RawHeader& picture,
                    std::pair<int, int> shift, FlatFit fit) {
    const LensProfile& profile = *kept;
    const RawProfileInfo& raw = *profile.raw;
    PictureFlat result;
    const bool mosaic = !raw.cfa.empty();
    const int positions = mosaic ? Positions(raw.cfa) : picture.channels;
    for (int q = 0; q < positions; ++q) {
        const int p = mosaic ? PositionAt(raw.cfa, q % raw.cfa.width + shift.first,
                                          q / raw.cfa.width + shift.second)
                             : q;
        result.level[std::size_t(q)] = raw.level[std::size_t(p)];
    }
    if (profile.flat.width == picture.width && profile.flat.height == picture.height &&
        shift == std::pair{0, 0}) {
        if (!profile.fileValues.empty()) {
            result.profile = kept;
            return result;
        }
        result.values = profile.flat.values;
        return result;
    }
    const FlatField flat = FlatWithValues(profile);
    if (!mosaic) {
        result.values = ResampleFlat(flat, picture.width, picture.height, fit).values;
        return result;
    }
    FlatField out = MosaicAtSize(flat, raw.cfa, picture.cfa, shift.first, shift.second,
                                 picture.width, picture.height, fit == FlatFit::CropCentre);
    result.values = std::move(out.values);
    return result;
}

// The gains C / F of each position's plane on a grid of at least 65 points along the frame's
// longer side, each taken at the nearest sample of that position.
std::vector<GainMap> GainMapsOf(const PictureFlat& flat, const RawHeader& header) {
    const CfaPattern& cfa = header.cfa;
    const std::int64_t width = header.width;
    const std::int64_t height = header.height;
    constexpr double kLongSide = 65;
    const auto points = [&](std::int64_t side) {
        return std::uint32_t(std::max<double>(
            2, std::ceil(kLongSide * double(side) / double(std::max(width, height)))));
    };
    std::vector<GainMap> maps;
    for (int q = 0; q < Positions(cfa); ++q) {
        const int qx = q % cfa.width;
        const int qy = q / cfa.width;
        GainMap map;
        map.top = std::uint32_t(qy);
        map.left = std::uint32_t(qx);
        map.bottom = std::uint32_t(height);
        map.right = std::uint32_t(width);
        map.pitch = std::uint32_t(cfa.width);
        map.pointsDown = points(height);
        map.pointsAcross = points(width);
        const auto nearest = [&](double at, int phase, std::int64_t side) {
            std::int64_t i = std::llround((at - phase) / cfa.width) * cfa.width + phase;
            while (i >= side)
                i -= cfa.width;
            return std::max<std::int64_t>(i, phase);
        };
        for (std::uint32_t i = 0; i < map.pointsDown; ++i) {
            const std::int64_t y =
                nearest(double(i) * double(height - 1) / (map.pointsDown - 1), qy, height);
            for (std::uint32_t j = 0; j < map.pointsAcross; ++j) {
                const std::int64_t x =
                    nearest(double(j) * double(width - 1) / (map.pointsAcross - 1), qx, width);
                const float f = flat.at(std::size_t(y * width + x));
                map.gains.push_back(f > 0 ? float(flat.level[std::size_t(q)] / f) : 1.0f);
            }
        }
        maps.push_back(std::move(map));
    }
    return maps;
}

}  // namespace

void CheckProfileServes(const LensProfile& profile, const QString& profilePath,
                        const QString& input, const RawHeader* raw) {
    const std::string name = Native(profilePath).toStdString();
    const std::string picture = Native(input).toStdString();
    if (raw == nullptr && profile.raw) {
        throw Error(ErrorKind::Picture,
                    "the lens profile " + name + " was measured from raw pictures (" +
                        Layout(profile.raw->cfa) + ") and serves raw pictures only; " + picture +
                        " is a rendered picture. Nothing was written for it.",
                    ErrorFields(input.toStdString()));
    }
    if (raw != nullptr && !profile.raw) {
        throw Error(ErrorKind::Picture,
                    "the lens profile " + name +
                        " was measured from rendered pictures and serves rendered pictures only; " +
                        picture + " is a raw file (" + Layout(raw->cfa) +
                        "): measure a profile from raw references. Nothing was written for it.",
                    ErrorFields(input.toStdString()));
    }
    if (raw != nullptr && (!ShiftTo(profile.raw->cfa, raw->cfa) ||
                           (raw->cfa.empty() && raw->channels != profile.flat.channels))) {
        throw Error(ErrorKind::Picture,
                    "the lens profile " + name + " was measured from raw pictures of " +
                        Layout(profile.raw->cfa) + "; " + picture + " is of " + Layout(raw->cfa) +
                        ". Nothing was written for it.",
                    ErrorFields(input.toStdString()));
    }
}

RawCorrector::RawCorrector(const CorrectionSettings& settings, ProfileSource& profiles,
                           WorkPool& pool, MemoryBudget& budget, QString dark)
    : settings_(settings),
      profiles_(profiles),
      pool_(pool),
      budget_(budget),
      darkPath_(std::move(dark)) {}

void RawCorrector::ReadWhole(const LensProfile& profile) {
    if (profile.lazy == nullptr) return;
    // A raw picture needs every row of its flat at once: decoded on every thread, then proven.
    constexpr std::int64_t kBand = 256;
    const std::int64_t height = profile.flat.height;
    pool_.ForEach(std::size_t((height + kBand - 1) / kBand), [&](std::size_t band) {
        const std::int64_t first = std::int64_t(band) * kBand;
        profile.lazy->Ready(first, std::min(height, first + kBand));
    });
    profile.lazy->Verify();
}

const RawPicture& RawCorrector::Dark() {
    std::call_once(darkOnce_, [&] { dark_ = ReadRaw(darkPath_); });
    return *dark_;
}

void RawCorrector::Correct(const QString& input, const QString& output, const GainRecipe& recipe,
                           const RawOutput& out, const std::function<void(const QString&)>& warn) {
    if (settings_.what != CorrectWhat::Both) {
        throw Error(ErrorKind::Picture,
                    Native(input).toStdString() +
                        " is a raw file, corrected plane by plane of its colour filter array, "
                        "falloff and colour cast at once; the luminance or colour alone is "
                        "corrected in rendered pictures only. Nothing was written for it.",
                    ErrorFields(input.toStdString()));
    }
    RawReader reader(input);
    const RawHeader header = reader.header();
    for (const auto& part : recipe.parts) {
        const LensProfile& profile = profiles_.Header(part.first);
        CheckProfileServes(profile, profiles_.Path(part.first), input, &header);
        CheckFits(header.width, header.height, input, profile.flat, settings_.fit);
    }
    const RawPicture* dark = nullptr;
    if (!darkPath_.isEmpty()) {
        dark = &Dark();
        CheckDarkFits(dark->header, darkPath_, header, input);
    }
    const std::int64_t samples = std::int64_t(header.width) * header.height * header.channels;
    // The picture's samples (corrected in place) and LibRaw's while it reads them; for a blend,
    // each part's gains and the blend of them.
    const bool blend = recipe.parts.size() != 1 || recipe.cubic;
    const MemoryBudget::Hold memory = budget_.ForPicture(
        samples * (2 + 2 + (blend ? 4 * std::int64_t(recipe.parts.size() + 1) : 0)),
        "the picture " + Native(input).toStdString());

    RawGain gain;
    gain.cfa = header.cfa;
    gain.channels = header.channels;
    gain.levels = header.levels;
    PictureFlat blended;
    std::shared_ptr<const Shared> single;
    if (!blend) {
        // A batch's pictures of one size share their flat: made once, as the first needs it.
        const std::pair<int, int> shift =
            *ShiftTo(profiles_.Header(recipe.parts[0].first).raw->cfa, header.cfa);
        const FlatKey key{recipe.parts[0].first, header.width, header.height, shift};
        std::shared_ptr<Shared> shared;
        {
            const std::lock_guard lock(mutex_);
            std::shared_ptr<Shared>& entry = flats_[key];
            if (entry == nullptr) entry = std::make_shared<Shared>();
            shared = entry;
        }
        std::call_once(shared->once, [&] {
            const std::shared_ptr<const LensProfile> profile = profiles_.Get(key.profile);
            ReadWhole(*profile);
            // A flat of another size or phase is made and held; one of the picture's own is the
            // profile's file values.
            if (profile->flat.width != header.width || profile->flat.height != header.height ||
                shift != std::pair{0, 0}) {
                shared->memory = budget_.ForBatch(
                    samples * std::int64_t(sizeof(float)),
                    "the flat of " + Native(profiles_.Path(key.profile)).toStdString() + " at " +
                        std::to_string(header.width) + " x " + std::to_string(header.height));
            }
            shared->flat = FlatFor(profile, header, shift, settings_.fit);
        });
        single = shared;
        gain.level = shared->flat.level;
    } else {
        // Blended in log gain: each part's gains C / F, then the flat that the blend's gain
        // stands for at level 1.
        std::vector<std::vector<float>> gains;
        std::vector<double> weights;
        for (const auto& [index, weight] : recipe.parts) {
            const std::shared_ptr<const LensProfile> profile = profiles_.Get(index);
            ReadWhole(*profile);
            const PictureFlat part =
                FlatFor(profile, header, *ShiftTo(profile->raw->cfa, header.cfa), settings_.fit);
            const int period = header.cfa.empty() ? header.channels : 0;
            std::vector<float> gain(static_cast<std::size_t>(samples));
            for (std::size_t i = 0; i < gain.size(); ++i) {
                const std::int64_t x = std::int64_t(i) % header.width;
                const std::int64_t y = std::int64_t(i) / header.width;
                const int q =
                    period > 0 ? int(i % std::size_t(period)) : PositionAt(header.cfa, x, y);
                const float f = part.at(i);
                gain[i] = f > 0 ? float(part.level[std::size_t(q)] / f) : 1.0f;
            }
            gains.push_back(std::move(gain));
            weights.push_back(weight);
        }
        std::vector<const float*> parts;
        for (const auto& g : gains)
            parts.push_back(g.data());
        blended.values.resize(std::size_t(samples));
        if (recipe.cubic) {
            CubicGains(parts, *recipe.cubic, blended.values.size(), blended.values.data());
        } else {
            BlendGains(parts, weights, blended.values.size(), blended.values.data());
        }
        for (float& value : blended.values)
            value = 1.0f / value;
        blended.level.fill(1.0);
        gain.level = blended.level;
    }
    const PictureFlat& flat = single != nullptr ? single->flat : blended;

    if (out.gainMap) {
        if (!header.dng || header.cfa.empty()) {
            throw Error(ErrorKind::Picture,
                        Native(input).toStdString() +
                            " is not a DNG of a colour filter array; a GainMap is added to such "
                            "DNGs only. Nothing was written for it.",
                        ErrorFields(input.toStdString()));
        }
        const GainMapNotes notes =
            AddOpcodes(input, output, OpcodeListOf(GainMapsOf(flat, header)), out.durability);
        if (notes.replaced > 0) {
            warn(QString("its own %1 GainMap(s) were replaced by the profile's, which was measured "
                         "on samples they had not corrected.")
                     .arg(notes.replaced));
        }
        if (notes.areaOffset) {
            warn(
                "its ActiveArea does not start at the first sample; the GainMaps follow the DNG "
                "rules (the active area), which some converters (darktable 4.2) do not apply. "
                "Without --gain-map the corrected samples serve every converter.");
        }
        return;
    }
    // Only a correction of the samples reads them; a GainMap leaves them in the file.
    RawPicture picture = reader.Read();
    const std::size_t rowSamples = std::size_t(header.width) * std::size_t(header.channels);
    constexpr std::int64_t kBand = 64;
    std::atomic<std::int64_t> pushed{0};
    pool_.ForEach(std::size_t((header.height + kBand - 1) / kBand), [&](std::size_t band) {
        RawRowCorrector rows(gain, header.width);
        std::int64_t count = 0;
        const std::int64_t end =
            std::min<std::int64_t>(header.height, std::int64_t(band + 1) * kBand);
        for (std::int64_t y = std::int64_t(band) * kBand; y < end; ++y) {
            const std::size_t at = std::size_t(y) * rowSamples;
            std::uint16_t* row = picture.samples.data() + at;
            const std::uint16_t* below = dark != nullptr ? dark->samples.data() + at : nullptr;
            count += flat.fileValues() != nullptr
                         ? rows.Correct(row, below, flat.fileValues() + at, row, y)
                         : rows.Correct(row, below, flat.values.data() + at, row, y);
        }
        pushed += count;
    });
    if (pushed > 0) {
        warn(QString("the correction lifted %1 samples past the white level (%2); a raw "
                     "converter clips them there, as a lens without falloff would have.")
                 .arg(pushed.load())
                 .arg(header.levels.white));
    }
    const auto view = ImageView<const std::uint16_t>::Packed(
        picture.samples.data(), header.width, header.height, header.channels, header.channels);
    if (out.develop) {
        DevelopRaw(input, view, output, *out.develop, out.quality, out.durability);
    } else {
        DngImage image;
        image.header = &header;
        image.samples = view;
        WriteDng(image, output, input, out.durability);
    }
}

}  // namespace velmora
