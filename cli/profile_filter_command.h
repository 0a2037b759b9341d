#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "cli/command_line.h"
#include "cli/gain_cache.h"
#include "cli/progress_report.h"
#include "cli/tone_table_cache.h"
#include "correction/lens_profile.h"
#include "correction/profile_blend.h"
#include "platform/photo_file.h"

namespace velmora {

// Corrects pictures by lens profiles as `options` say, sharing the curves and gains it makes
// between pictures and threads: each picture's samples are multiplied by the profile's gain at
// their place (see ApplyGainRow; for 8-bit pictures the gain's nearest step, see GainStep), the
// flat resampled once per picture size. A picture whose aspect ratio differs from the profile's
// is refused, naming both sizes, unless `options.cropCentre`.
class ProfileCorrector {
  public:
    explicit ProfileCorrector(const FilterOptions& options);

    // One of the profiles a picture takes; `source` tells the profiles of a batch apart (empty
    // for its one profile). `frame` gives the size it was measured at (its values may be left
    // out); `load` gives the whole profile when its gains for the picture's size are not made yet,
    // and `made`, when given, is told once they are.
    struct Part {
        QString source;
        const FlatField* frame = nullptr;
        std::function<std::shared_ptr<const LensProfile>()> load;
        double weight = 1;
        std::function<void()> made;
    };

    // Corrects by the gains of `parts` blended in log space (see BlendGains; through `cubic`
    // when it is given), kept as those of `source`; `input` names the picture in warnings.
    void Correct(Photo& photo, const QString& input, const QString& source,
                 const std::vector<Part>& parts, ProgressReport& report,
                 const MonotoneCubic* cubic = nullptr);
    // No picture needs the gains of `source` any more.
    void Forget(const QString& source) { gains_.Forget(source); }

  private:
    const FilterOptions& options_;
    ToneTableCache curves_;
    GainCache gains_;
};

// `velmora-cli filter --profile FILE`: plans every output (refusing a plan that would lose a
// file), reads the lens profile once, then corrects the inputs `options.jobs` at a time with a
// ProfileCorrector and writes each in `options.format` with the input's metadata. Returns the
// process's exit status.
int RunProfileFilterCommand(const FilterOptions& options);

}  // namespace velmora
