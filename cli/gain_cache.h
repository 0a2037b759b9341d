#pragma once

#include <QHash>
#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "cli/tone_table_cache.h"
#include "correction/gain_steps.h"
#include "correction/lens_profile.h"
#include "correction/profile_blend.h"
#include "correction/profile_gain.h"
#include "correction/unset_vector.h"
#include "platform/flat_resample.h"

namespace velmora {

// The gains at every place of a picture: as floats for 16 bits, as steps for 8 (see GainStep).
// 16-bit gains of a profile at its own size are not stored but looked up from its file values
// as they are needed: 288 MB less at 24 megapixels, at no cost in speed.
struct Gains {
    UnsetVector<float> gains;
    UnsetVector<std::uint16_t> steps;
    std::shared_ptr<const LensProfile> profile;  // whose file values `byValue` looks up
    std::shared_ptr<const FileValueGains> byValue;

    // `count` float gains from gain `at` on (whole places): the stored ones, or looked up into
    // `scratch`.
    const float* Floats(std::size_t at, std::size_t count, std::vector<float>& scratch) const;
};

// The gains of every picture size and depth met in the batch, made once and then shared; in
// code values also once per curve.
class GainCache {
  public:
    GainCache(CorrectWhat what, FlatFit fit, int jobs) : what_(what), fit_(fit), jobs_(jobs) {}

    // The gains of the profile of `source` (the batch's one profile, or one of a library) for
    // pictures of this size; `codeCurves`: null for gains of light, else the picture's curves at
    // 16 bits. The gains may keep the profile.
    std::shared_ptr<const Gains> For(const QString& source,
                                     std::shared_ptr<const LensProfile> profile, std::int32_t width,
                                     std::int32_t height, int channels, int bits,
                                     const ToneTableCache::Entry* codeCurves);
    // The gains of `parts` (from For, at this size) blended in log space with `weights`, or
    // through `cubic` when it is given, kept as those of `source`.
    std::shared_ptr<const Gains> Blend(const QString& source,
                                       const std::vector<std::shared_ptr<const Gains>>& parts,
                                       const std::vector<double>& weights,
                                       const MonotoneCubic* cubic, std::int32_t width,
                                       std::int32_t height, int channels, int bits,
                                       const ToneTableCache::Entry* codeCurves);
    // The gains of `source` at this size when they are made, else null.
    std::shared_ptr<const Gains> Find(const QString& source, std::int32_t width,
                                      std::int32_t height, int channels, int bits,
                                      const ToneTableCache::Entry* codeCurves);
    // Lets go of the gains of `source`: no picture needs them any more. Pictures that hold them
    // keep them until they are done.
    void Forget(const QString& source);

  private:
    const CorrectWhat what_;
    const FlatFit fit_;
    const int jobs_;
    std::mutex mutex_;
    QHash<QString, QHash<QString, std::shared_ptr<const Gains>>> gains_;  // by source, then size
};

}  // namespace velmora
