#include "engine/picture_correction.h"

#include "correction/error.h"
#include "engine/output_plan.h"
#include "platform/native_path.h"
#include "platform/raw_file.h"

namespace velmora {

PictureCorrector::PictureCorrector(const CorrectionSettings& settings, ProfileSource& profiles,
                                   WorkPool& pool, MemoryBudget& budget, const QString& dark)
    : rendered_(settings, profiles, pool, budget),
      raw_(settings, profiles, pool, budget, dark),
      dark_(!dark.isEmpty()) {}

void PictureCorrector::Correct(const QString& input, const QString& output,
                               const GainRecipe& recipe, const PictureOutput& out,
                               const std::function<void(const QString&)>& warn) {
    const std::optional<PhotoFormat> format = OutputFormatFor(input, out.format);
    if (IsRawFile(input)) {
        raw_.Correct(input, output, recipe, {format, out.quality, out.durability, out.gainMap},
                     warn);
        return;
    }
    if (dark_ || out.gainMap) {
        throw Error(ErrorKind::Picture,
                    Native(input).toStdString() + " is a rendered picture; " +
                        (out.gainMap ? "a GainMap" : "a dark frame") +
                        " serves raw pictures only. Nothing was written for it.",
                    ErrorFields(input.toStdString()));
    }
    rendered_.Correct(input, output, recipe,
                      {format.value_or(PhotoFormat::Tiff), out.quality, out.durability}, warn);
}

}  // namespace velmora
