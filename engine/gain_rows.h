#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "correction/lens_profile.h"
#include "correction/profile_blend.h"
#include "engine/correction_settings.h"
#include "engine/tone_table_cache.h"

namespace velmora {

class WorkPool;

// What a picture's gains are made for: its size, colour channels and depth.
struct GainShape {
    std::int64_t width = 0;
    std::int64_t height = 0;
    int channels = 0;
    int bits = 8;

    std::size_t rowGains() const { return std::size_t(width) * std::size_t(channels); }
    std::int64_t bytes() const { return std::int64_t(rowGains()) * height * (bits == 8 ? 2 : 4); }
    auto operator<=>(const GainShape&) const = default;
};

// A picture's gains a row at a time, made as its strips are corrected: the gains of a frame
// are never held whole, except where KeepGains keeps them for a batch. 8-bit pictures take
// each gain as its step (see GainStep), 16-bit ones as a float. Shared by the threads that
// correct a picture, each reading through a reader of its own.
class GainRows {
  public:
    explicit GainRows(const GainShape& shape) : shape_(shape) {}
    virtual ~GainRows() = default;

    class Reader {
      public:
        virtual ~Reader() = default;
        // Row y's width x channels steps (8 bits) or gains (16 bits), valid until the next call.
        virtual const std::uint16_t* Steps(std::int64_t y) = 0;
        virtual const float* Floats(std::int64_t y) = 0;
    };
    virtual std::unique_ptr<Reader> NewReader() const = 0;
    // Whether keeping every row (see KeepGains) makes reading them faster than making them.
    virtual bool KeepingPays() const { return true; }

    const GainShape& shape() const { return shape_; }

  private:
    GainShape shape_;
};

// The gains C / F of `profile` (kept as its file's values) for pictures of `shape`: the flat F
// at the picture's places, resampled from the profile's size where it differs (see
// ResampleFlat, whose very floats these are), against the centre levels C, as `settings` say
// (see ComputeGains). With `codeCurves` (the picture's curves at 16 bits) the gains multiply code
// values (see FlatInCodeValues). The gains keep what they need of the profile and curves.
std::shared_ptr<const GainRows> ProfileGains(
    std::shared_ptr<const LensProfile> profile, const GainShape& shape,
    const CorrectionSettings& settings, std::shared_ptr<const ToneTableCache::Entry> codeCurves);

// The gains of `parts` (all of one shape) blended in log space with `weights`, or through
// `cubic` when it is given (see BlendGains, CubicGains and their steps).
std::shared_ptr<const GainRows> BlendedGains(std::vector<std::shared_ptr<const GainRows>> parts,
                                             std::vector<double> weights,
                                             std::optional<MonotoneCubic> cubic);

// Every row of `gains` made once, on the pool's threads, and kept: for the pictures of a batch
// that share a shape. Takes shape().bytes().
std::shared_ptr<const GainRows> KeepGains(const GainRows& gains, WorkPool& pool);

}  // namespace velmora
