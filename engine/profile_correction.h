#pragma once

#include <QString>
#include <compare>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "correction/atomic_file.h"
#include "correction/lens_profile.h"
#include "correction/profile_blend.h"
#include "engine/correction_settings.h"
#include "engine/gain_cache.h"
#include "engine/memory_budget.h"
#include "engine/tone_table_cache.h"
#include "platform/photo_file.h"

namespace velmora {

class WorkPool;

// The lens profiles a batch corrects by, numbered: what their descriptions tell at once, their
// flats when a picture needs them.
class ProfileSource {
  public:
    virtual ~ProfileSource() = default;
    // The profile's description; its flat's values are left out.
    virtual const LensProfile& Header(int profile) const = 0;
    // The whole profile, kept as its file's values, waiting while it is read; raises what
    // reading raised.
    virtual std::shared_ptr<const LensProfile> Get(int profile) = 0;
    // The profile's file, for what is said of it.
    virtual QString Path(int profile) const = 0;
};

// What a picture is corrected by: profiles of the source and their weights (see BlendGains),
// and, where the picture lies between measured f-numbers, the monotone cubic through them.
struct GainRecipe {
    std::vector<std::pair<int, double>> parts;
    std::optional<MonotoneCubic> cubic;
};

// How corrected pictures are written.
struct OutputSettings {
    PhotoFormat format = PhotoFormat::Bmp;
    int quality = 95;  // JPEG's
    Durability durability = Durability::FlushLater;
};

// Corrects pictures by lens profiles, sharing the curves and gains it makes between the
// pictures and threads of a batch: each sample is multiplied by the gain of its channel at its
// place (see ApplyGainRow; 8-bit samples by the gain's nearest step, see ApplyGainStepsRow),
// as the picture is decoded and encoded a strip at a time (see WritePhoto).
class ProfileCorrector {
  public:
    ProfileCorrector(const CorrectionSettings& settings, ProfileSource& profiles, WorkPool& pool,
                     MemoryBudget& budget);

    // Reads `input`, corrects it by `recipe` and writes it to `output`; `warn` is told what the
    // user should know of the result (a colour profile read as sRGB). Raises ErrorKind::Picture
    // for a picture of another aspect ratio than a profile's (Problem::AspectRatio) unless the
    // settings fit a centred crop, and what reading, the budget and writing raise.
    void Correct(const QString& input, const QString& output, const GainRecipe& recipe,
                 const OutputSettings& out, const std::function<void(const QString&)>& warn);
    // No picture needs the gains of these profiles and weights any more.
    void Forget(const std::vector<std::pair<int, double>>& parts) { gains_.Forget(parts); }

  private:
    std::shared_ptr<const GainRows> GainsFor(const GainRecipe& recipe, const GainShape& shape,
                                             std::shared_ptr<const ToneTableCache::Entry> code);

    const CorrectionSettings settings_;
    ProfileSource& profiles_;
    MemoryBudget& budget_;
    ToneTableCache curves_;
    GainCache gains_;
};

// Raises ErrorKind::Picture (Problem::AspectRatio) naming `input` when a picture of
// width x height is of another aspect ratio than `flat`, unless `fit` takes a centred crop.
void CheckFits(std::int64_t width, std::int64_t height, const QString& input, const FlatField& flat,
               FlatFit fit);

// What correcting a picture of `header` a strip at a time holds at most, in bytes: the picture
// library's strips (its decoder's, the correction's and its encoder's) and each thread's rows
// of gains; with `wholeFile`, also the file as written, which carrying metadata into PNG and
// TIFF rewrites in memory.
std::int64_t StripMemory(const PhotoHeader& header, bool wholeFile);

}  // namespace velmora
