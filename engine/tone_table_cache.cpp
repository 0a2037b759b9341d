#include "engine/tone_table_cache.h"

#include <QCryptographicHash>

#include "platform/transfer_curves.h"

namespace velmora {

std::vector<const ToneTables*> ToneTableCache::Entry::pointers() const {
    std::vector<const ToneTables*> result;
    for (const auto& table : channels)
        result.push_back(table.get());
    return result;
}

std::vector<const GainLookup*> ToneTableCache::Entry::lookupPointers() const {
    std::vector<const GainLookup*> result;
    for (const auto& lookup : lookups)
        result.push_back(lookup.get());
    return result;
}

namespace {

std::shared_ptr<const ToneTableCache::Entry> MakeEntry(const CurveKey& key, const QByteArray& icc) {
    auto entry = std::make_shared<ToneTableCache::Entry>();
    entry->key = key;
    const std::vector<ToneCurve> curves = TransferCurves(icc, key.channels, &entry->note);
    const std::uint32_t maxCode = (1u << key.bits) - 1;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        // Channels of one curve (the usual case) share its table and lookup.
        auto table = std::make_shared<const ToneTables>(curves[c], maxCode);
        std::size_t same = 0;
        while (same < c && !entry->channels[same]->SameAs(*table))
            ++same;
        if (same < c) {
            entry->channels.push_back(entry->channels[same]);
            if (key.bits == 8) entry->lookups.push_back(entry->lookups[same]);
            continue;
        }
        entry->channels.push_back(table);
        if (key.bits == 8) {
            entry->lookups.push_back(std::make_shared<const GainLookup>(*table, key.space));
        }
    }
    return entry;
}

}  // namespace

std::shared_ptr<const ToneTableCache::Entry> ToneTableCache::TablesFor(const QByteArray& icc,
                                                                       int colourChannels, int bits,
                                                                       GainSpace space) {
    const CurveKey key{colourChannels, bits, space,
                       QCryptographicHash::hash(icc, QCryptographicHash::Sha256).toStdString()};
    std::shared_ptr<Slot> slot;
    {
        const std::lock_guard lock(mutex_);
        std::shared_ptr<Slot>& found = slots_[key];
        if (found == nullptr) found = std::make_shared<Slot>();
        slot = found;
    }
    std::call_once(slot->made, [&] { slot->entry = MakeEntry(key, icc); });
    return slot->entry;
}

}  // namespace velmora
