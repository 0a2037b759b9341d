#include "engine/gain_rows.h"

#include <algorithm>
#include <stdexcept>

#include "correction/flat_upsample.h"
#include "correction/gain_steps.h"
#include "correction/unset_vector.h"
#include "engine/work_pool.h"
#include "platform/flat_resample.h"

namespace velmora {
namespace {

// The flat at a picture's places, a row at a time, for one thread.
class FlatRows {
  public:
    virtual ~FlatRows() = default;
    // Row y's width x channels values, valid until the next call.
    virtual const float* Row(std::int64_t y) = 0;
};

void ToLight(const std::uint16_t* values, std::size_t count, float* out) {
    for (std::size_t i = 0; i < count; ++i)
        out[i] = FileValueLight(values[i]);
}

// A flat of the picture's size: its file values as light.
class SameSizeRows final : public FlatRows {
  public:
    SameSizeRows(const LensProfile& profile, ImageView<const std::uint16_t> values)
        : profile_(profile), values_(values), row_(values.rowSamples()) {}
    const float* Row(std::int64_t y) override {
        RowsReady(profile_, y, y + 1);
        ToLight(values_.row(y), row_.size(), row_.data());
        return row_.data();
    }

  private:
    const LensProfile& profile_;
    ImageView<const std::uint16_t> values_;
    UnsetVector<float> row_;
};

// A flat enlarged to the picture's size: each row from the two rows of the flat around it,
// which neighbouring rows share.
class EnlargedRows final : public FlatRows {
  public:
    EnlargedRows(const LensProfile& profile, ImageView<const std::uint16_t> values,
                 const FlatUpsample& upsample, std::size_t rowValues)
        : profile_(profile), values_(values), upsample_(upsample), out_(rowValues) {
        for (Source& source : sources_)
            source.light.resize(values.rowSamples());
    }
    const float* Row(std::int64_t y) override {
        const auto [upper, lower] = upsample_.SourceRows(std::int32_t(y));
        upsample_.Row(std::int32_t(y), Light(upper), Light(lower), out_.data());
        return out_.data();
    }

  private:
    struct Source {
        std::int64_t row = -1;
        UnsetVector<float> light;
    };
    const float* Light(std::int64_t row) {
        for (Source& source : sources_) {
            if (source.row == row) return source.light.data();
        }
        // The older of the two goes: rows are asked for top to bottom within a strip.
        Source& source = sources_[next_];
        next_ = 1 - next_;
        RowsReady(profile_, row, row + 1);
        ToLight(values_.row(row), source.light.size(), source.light.data());
        source.row = row;
        return source.light.data();
    }

    const LensProfile& profile_;
    ImageView<const std::uint16_t> values_;
    const FlatUpsample& upsample_;
    Source sources_[2];
    int next_ = 0;
    UnsetVector<float> out_;
};

class ResampledRows final : public FlatRows {
  public:
    explicit ResampledRows(std::unique_ptr<LazyResample::Rows> rows) : rows_(std::move(rows)) {}
    const float* Row(std::int64_t y) override { return rows_->Row(y); }

  private:
    std::unique_ptr<LazyResample::Rows> rows_;
};

class ProfileGainRows final : public GainRows {
  public:
    ProfileGainRows(std::shared_ptr<const LensProfile> profile, const GainShape& shape,
                    const CorrectionSettings& settings,
                    std::shared_ptr<const ToneTableCache::Entry> codeCurves)
        : GainRows(shape),
          profile_(std::move(profile)),
          what_(settings.what),
          codeCurves_(std::move(codeCurves)),
          centre_(profile_->centre) {
        const FlatField& flat = profile_->flat;
        if (profile_->fileValues.empty()) {
            throw std::logic_error("gains are made from a profile kept as its file's values");
        }
        values_ = ImageView<const std::uint16_t>::Packed(profile_->fileValues.data(), flat.width,
                                                         flat.height, flat.channels, flat.channels);
        if (codeCurves_ != nullptr) curves_ = codeCurves_->pointers();
        const bool sameSize = flat.width == shape.width && flat.height == shape.height;
        // The usual case: the file's values, each looked up once per channel.
        if (sameSize && what_ == CorrectWhat::Both && flat.channels == shape.channels) {
            byValue_.emplace(centre_, shape.channels, curves_);
            return;
        }
        if (!curves_.empty()) centre_ = CentreInCodeValues(centre_, curves_);
        if (sameSize) return;
        const std::int32_t width = std::int32_t(shape.width);
        const std::int32_t height = std::int32_t(shape.height);
        const bool crop = settings.fit == FlatFit::CropCentre;
        if (FlatEnlarges(flat.width, flat.height, width, height, crop)) {
            upsample_.emplace(
                UpsampleFor(flat.width, flat.height, flat.channels, width, height, crop));
        } else {
            // The picture library resamples from wherever it likes.
            RowsReady(*profile_, 0, flat.height);
            lazy_.emplace(values_, width, height, settings.fit);
        }
    }

    std::unique_ptr<Reader> NewReader() const override {
        return std::make_unique<RowReader>(*this);
    }
    // Floats looked up by file value cost no more than floats read from memory.
    bool KeepingPays() const override { return !(byValue_ && shape().bits == 16); }

  private:
    class RowReader final : public Reader {
      public:
        explicit RowReader(const ProfileGainRows& gains) : gains_(gains) {
            const GainShape& shape = gains.shape();
            const std::size_t flatRow =
                std::size_t(shape.width) * std::size_t(gains.profile_->flat.channels);
            if (!gains.byValue_) {
                if (gains.upsample_) {
                    flat_ = std::make_unique<EnlargedRows>(*gains.profile_, gains.values_,
                                                           *gains.upsample_, flatRow);
                } else if (gains.lazy_) {
                    flat_ = std::make_unique<ResampledRows>(gains.lazy_->NewRows());
                } else {
                    flat_ = std::make_unique<SameSizeRows>(*gains.profile_, gains.values_);
                }
                if (!gains.curves_.empty()) code_.resize(flatRow);
            }
            if (shape.bits == 8) {
                steps_.resize(shape.rowGains());
            } else {
                floats_.resize(shape.rowGains());
            }
        }

        const std::uint16_t* Steps(std::int64_t y) override {
            const GainShape& shape = gains_.shape();
            if (gains_.byValue_) {
                RowsReady(*gains_.profile_, y, y + 1);
                gains_.byValue_->Steps(gains_.values_.row(y), std::size_t(shape.width),
                                       steps_.data());
            } else {
                ComputeGainSteps(FlatRow(y), gains_.profile_->flat.channels, gains_.centre_,
                                 gains_.what_, shape.channels, std::size_t(shape.width),
                                 steps_.data());
            }
            return steps_.data();
        }

        const float* Floats(std::int64_t y) override {
            const GainShape& shape = gains_.shape();
            if (gains_.byValue_) {
                RowsReady(*gains_.profile_, y, y + 1);
                gains_.byValue_->Gains(gains_.values_.row(y), std::size_t(shape.width),
                                       floats_.data());
            } else {
                ComputeGains(FlatRow(y), gains_.profile_->flat.channels, gains_.centre_,
                             gains_.what_, shape.channels, std::size_t(shape.width),
                             floats_.data());
            }
            return floats_.data();
        }

      private:
        // The flat's row in light, or in code values where the gains multiply those.
        const float* FlatRow(std::int64_t y) {
            const float* light = flat_->Row(y);
            if (code_.empty()) return light;
            std::copy(light, light + code_.size(), code_.begin());
            FlatInCodeValues(code_.data(), code_.size(), gains_.profile_->flat.channels,
                             gains_.curves_);
            return code_.data();
        }

        const ProfileGainRows& gains_;
        std::unique_ptr<FlatRows> flat_;
        UnsetVector<float> code_;
        UnsetVector<std::uint16_t> steps_;
        UnsetVector<float> floats_;
    };

    std::shared_ptr<const LensProfile> profile_;
    CorrectWhat what_;
    std::shared_ptr<const ToneTableCache::Entry> codeCurves_;
    std::vector<const ToneTables*> curves_;
    std::array<double, 3> centre_;
    ImageView<const std::uint16_t> values_;
    std::optional<FileValueGains> byValue_;
    std::optional<FlatUpsample> upsample_;
    std::optional<LazyResample> lazy_;
};

class BlendedGainRows final : public GainRows {
  public:
    BlendedGainRows(std::vector<std::shared_ptr<const GainRows>> parts, std::vector<double> weights,
                    std::optional<MonotoneCubic> cubic)
        : GainRows(parts.front()->shape()),
          parts_(std::move(parts)),
          weights_(std::move(weights)),
          cubic_(std::move(cubic)) {}

    std::unique_ptr<Reader> NewReader() const override {
        return std::make_unique<BlendReader>(*this);
    }

  private:
    class BlendReader final : public Reader {
      public:
        explicit BlendReader(const BlendedGainRows& blend) : blend_(blend) {
            for (const auto& part : blend.parts_)
                parts_.push_back(part->NewReader());
            if (blend.shape().bits == 8) {
                steps_.resize(blend.shape().rowGains());
            } else {
                floats_.resize(blend.shape().rowGains());
            }
        }

        const std::uint16_t* Steps(std::int64_t y) override {
            stepsAt_.clear();
            for (const auto& part : parts_)
                stepsAt_.push_back(part->Steps(y));
            if (blend_.cubic_) {
                CubicGainSteps(stepsAt_, *blend_.cubic_, steps_.size(), steps_.data());
            } else {
                BlendGainSteps(stepsAt_, blend_.weights_, steps_.size(), steps_.data());
            }
            return steps_.data();
        }

        const float* Floats(std::int64_t y) override {
            floatsAt_.clear();
            for (const auto& part : parts_)
                floatsAt_.push_back(part->Floats(y));
            if (blend_.cubic_) {
                CubicGains(floatsAt_, *blend_.cubic_, floats_.size(), floats_.data());
            } else {
                BlendGains(floatsAt_, blend_.weights_, floats_.size(), floats_.data());
            }
            return floats_.data();
        }

      private:
        const BlendedGainRows& blend_;
        std::vector<std::unique_ptr<Reader>> parts_;
        std::vector<const std::uint16_t*> stepsAt_;
        std::vector<const float*> floatsAt_;
        UnsetVector<std::uint16_t> steps_;
        UnsetVector<float> floats_;
    };

    std::vector<std::shared_ptr<const GainRows>> parts_;
    std::vector<double> weights_;
    std::optional<MonotoneCubic> cubic_;
};

class KeptGainRows final : public GainRows {
  public:
    KeptGainRows(const GainRows& gains, WorkPool& pool) : GainRows(gains.shape()) {
        const GainShape& shape = gains.shape();
        const std::size_t row = shape.rowGains();
        const std::size_t rows = std::size_t(shape.height);
        if (shape.bits == 8) {
            steps_.resize(row * rows);
        } else {
            floats_.resize(row * rows);
        }
        // Bands of rows, each through a reader of its own; the pages are first touched by the
        // thread that fills them.
        constexpr std::size_t kBandRows = 64;
        const std::size_t bands = (rows + kBandRows - 1) / kBandRows;
        pool.ForEach(bands, [&](std::size_t band) {
            const std::unique_ptr<Reader> reader = gains.NewReader();
            for (std::size_t y = band * kBandRows; y < std::min(rows, (band + 1) * kBandRows);
                 ++y) {
                if (shape.bits == 8) {
                    std::copy_n(reader->Steps(std::int64_t(y)), row, steps_.data() + y * row);
                } else {
                    std::copy_n(reader->Floats(std::int64_t(y)), row, floats_.data() + y * row);
                }
            }
        });
    }

    std::unique_ptr<Reader> NewReader() const override {
        return std::make_unique<KeptReader>(*this);
    }
    bool KeepingPays() const override { return false; }

  private:
    class KeptReader final : public Reader {
      public:
        explicit KeptReader(const KeptGainRows& kept) : kept_(kept) {}
        const std::uint16_t* Steps(std::int64_t y) override {
            return kept_.steps_.data() + std::size_t(y) * kept_.shape().rowGains();
        }
        const float* Floats(std::int64_t y) override {
            return kept_.floats_.data() + std::size_t(y) * kept_.shape().rowGains();
        }

      private:
        const KeptGainRows& kept_;
    };

    UnsetVector<std::uint16_t> steps_;
    UnsetVector<float> floats_;
};

}  // namespace

std::shared_ptr<const GainRows> ProfileGains(
    std::shared_ptr<const LensProfile> profile, const GainShape& shape,
    const CorrectionSettings& settings, std::shared_ptr<const ToneTableCache::Entry> codeCurves) {
    return std::make_shared<ProfileGainRows>(std::move(profile), shape, settings,
                                             std::move(codeCurves));
}

std::shared_ptr<const GainRows> BlendedGains(std::vector<std::shared_ptr<const GainRows>> parts,
                                             std::vector<double> weights,
                                             std::optional<MonotoneCubic> cubic) {
    if (parts.size() == 1 && !cubic) return parts.front();
    return std::make_shared<BlendedGainRows>(std::move(parts), std::move(weights),
                                             std::move(cubic));
}

std::shared_ptr<const GainRows> KeepGains(const GainRows& gains, WorkPool& pool) {
    return std::make_shared<KeptGainRows>(gains, pool);
}

}  // namespace velmora
