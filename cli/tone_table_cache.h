#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <memory>
#include <mutex>
#include <vector>

#include "correction/gain_steps.h"
#include "correction/tone_curve.h"

namespace velmora {

// The sampled transfer curves of each colour profile met in a batch, made once per profile and
// bit depth and then shared by every picture and thread: a 16-bit table takes 65,536 curve
// evaluations and about a megabyte, an 8-bit lookup 4 MiB.
class ToneTableCache {
  public:
    struct Entry {
        std::vector<std::shared_ptr<const ToneTables>> channels;  // one per colour channel
        std::vector<std::shared_ptr<const GainLookup>> lookups;   // 8 bits: one per channel
        QString note;  // why sRGB was assumed in place of the picture's profile, if it was
        std::vector<const ToneTables*> pointers() const;
        std::vector<const GainLookup*> lookupPointers() const;
    };

    // With `space`, 8-bit entries also get the lookups of the gain steps in that space.
    std::shared_ptr<const Entry> TablesFor(const QByteArray& icc, int colourChannels, int bits,
                                           GainSpace space = GainSpace::Linear);

  private:
    std::mutex mutex_;
    QHash<QString, std::shared_ptr<const Entry>> entries_;
};

}  // namespace velmora
