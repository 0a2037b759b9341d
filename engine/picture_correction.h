#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "engine/profile_correction.h"
#include "engine/raw_correction.h"

namespace velmora {

// How a batch has each corrected picture written.
struct PictureOutput {
    std::optional<PhotoFormat> format;  // none: each input's own (see OutputFormatFor)
    int quality = 95;
    Durability durability = Durability::FlushLater;
    bool gainMap = false;  // DNG inputs: the raw data kept, the gains added as a GainMap
};

// The correction of pictures by lens profiles, raw or rendered as each picture is.
class PictureCorrector {
  public:
    // `dark`, where not empty, is a raw dark frame subtracted from every raw picture.
    PictureCorrector(const CorrectionSettings& settings, ProfileSource& profiles, WorkPool& pool,
                     MemoryBudget& budget, const QString& dark);

    // See ProfileCorrector::Correct and RawCorrector::Correct. Raises ErrorKind::Picture for a
    // rendered picture given a dark frame or a GainMap, which serve raw pictures only.
    void Correct(const QString& input, const QString& output, const GainRecipe& recipe,
                 const PictureOutput& out, const std::function<void(const QString&)>& warn);
    void Forget(const std::vector<std::pair<int, double>>& parts) { rendered_.Forget(parts); }

  private:
    ProfileCorrector rendered_;
    RawCorrector raw_;
    bool dark_;
};

}  // namespace velmora
