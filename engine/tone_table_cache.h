#pragma once

#include <QByteArray>
#include <QString>
#include <compare>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "correction/gain_steps.h"
#include "correction/tone_curve.h"

namespace velmora {

// Which curves: those of one colour profile (its SHA-256), channels, depth and gain space.
struct CurveKey {
    int channels = 0;
    int bits = 0;
    GainSpace space = GainSpace::Linear;
    std::string profileHash;  // of the ICC profile's bytes

    auto operator<=>(const CurveKey&) const = default;
};

// The sampled transfer curves of each colour profile met in a batch, made once per profile and
// bit depth and then shared by every picture and thread: a 16-bit table takes 65,536 curve
// evaluations and about a megabyte, an 8-bit lookup 4 MiB.
class ToneTableCache {
  public:
    struct Entry {
        CurveKey key;
        std::vector<std::shared_ptr<const ToneTables>> channels;  // one per colour channel
        std::vector<std::shared_ptr<const GainLookup>> lookups;   // 8 bits: one per channel
        QString note;  // why sRGB was assumed in place of the picture's profile, if it was
        std::vector<const ToneTables*> pointers() const;
        std::vector<const GainLookup*> lookupPointers() const;
    };

    // With `space`, 8-bit entries also get the lookups of the gain steps in that space. Made
    // once: a second picture of the same profile waits for the first one's tables.
    std::shared_ptr<const Entry> TablesFor(const QByteArray& icc, int colourChannels, int bits,
                                           GainSpace space = GainSpace::Linear);

  private:
    struct Slot {
        std::once_flag made;
        std::shared_ptr<const Entry> entry;
    };
    std::mutex mutex_;
    std::map<CurveKey, std::shared_ptr<Slot>> slots_;
};

}  // namespace velmora
