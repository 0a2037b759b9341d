#pragma once

#include <QString>
#include <array>
#include <compare>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/correction_settings.h"
#include "engine/memory_budget.h"
#include "engine/profile_correction.h"
#include "platform/raw_file.h"

namespace velmora {

class WorkPool;

// A picture's flat and levels from one profile: the profile's flat at the picture's size and
// layout, its planes resampled one by one where the sizes differ.
struct PictureFlat {
    std::vector<float> values;  // the picture's samples' count, or empty where ...
    // ... the profile's file values serve as they are (a profile of the picture's own size and
    // layout), kept by `profile`.
    std::shared_ptr<const LensProfile> profile;
    std::array<double, 36> level{};

    const std::uint16_t* fileValues() const {
        return values.empty() ? profile->fileValues.data() : nullptr;
    }
    float at(std::size_t i) const {
        return values.empty() ? FileValueLight(profile->fileValues[i]) : values[i];
    }
};

// How a corrected raw picture is written: as a DNG (no format), or developed (see DevelopRaw).
struct RawOutput {
    std::optional<PhotoFormat> develop;
    int quality = 95;
    Durability durability = Durability::FlushLater;
    // DNG inputs: the raw data left as they are and the gains added as a GainMap per plane.
    bool gainMap = false;
};

// Corrects raw pictures by raw profiles on their own samples (see CorrectRawRow), plane by
// plane: a flat of another size is resampled per position of the pattern, so that no colour
// is mixed with another, and several profiles are blended in log gain as for rendered pictures.
class RawCorrector {
  public:
    // `dark`, where not empty, is a dark frame subtracted from every picture.
    RawCorrector(const CorrectionSettings& settings, ProfileSource& profiles, WorkPool& pool,
                 MemoryBudget& budget, QString dark);

    // Reads `input`, corrects it by `recipe` and writes it to `output`; `warn` is told how many
    // samples the correction pushed past the white level. Raises ErrorKind::Picture naming both
    // files for a profile of rendered pictures or of another layout, and for a dark frame of
    // another camera or size; Problem::AspectRatio as for rendered pictures; what reading, the
    // budget and writing raise.
    void Correct(const QString& input, const QString& output, const GainRecipe& recipe,
                 const RawOutput& out, const std::function<void(const QString&)>& warn);

  private:
    const RawPicture& Dark();
    void ReadWhole(const LensProfile& profile);

    struct FlatKey {
        int profile;
        std::int32_t width;
        std::int32_t height;
        std::pair<int, int> shift;
        auto operator<=>(const FlatKey&) const = default;
    };
    struct Shared {
        std::once_flag once;
        MemoryBudget::Hold memory;
        PictureFlat flat;
    };

    const CorrectionSettings settings_;
    ProfileSource& profiles_;
    WorkPool& pool_;
    MemoryBudget& budget_;
    const QString darkPath_;
    std::once_flag darkOnce_;
    std::optional<RawPicture> dark_;
    std::mutex mutex_;
    std::map<FlatKey, std::shared_ptr<Shared>> flats_;
};

// Raises ErrorKind::Picture naming both unless the profile `profile` (of the file
// `profilePath`) serves the picture `input`: a raw profile a raw picture of its layout, a
// profile of rendered pictures a rendered one.
void CheckProfileServes(const LensProfile& profile, const QString& profilePath,
                        const QString& input, const RawHeader* raw);

}  // namespace velmora
