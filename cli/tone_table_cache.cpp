#include "cli/tone_table_cache.h"

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

std::shared_ptr<const ToneTableCache::Entry> ToneTableCache::TablesFor(const QByteArray& icc,
                                                                       int colourChannels, int bits,
                                                                       GainSpace space) {
    const QString key =
        QString("%1/%2/%3/").arg(colourChannels).arg(bits).arg(int(space)) +
        QString::fromLatin1(QCryptographicHash::hash(icc, QCryptographicHash::Sha256).toHex());
    const std::lock_guard lock(mutex_);
    if (const auto found = entries_.constFind(key); found != entries_.constEnd()) return *found;
    auto entry = std::make_shared<Entry>();
    const std::vector<ToneCurve> curves = TransferCurves(icc, colourChannels, &entry->note);
    const std::uint32_t maxCode = (1u << bits) - 1;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        // Channels of one curve (the usual case) share its table and lookup.
        auto table = std::make_shared<const ToneTables>(curves[c], maxCode);
        std::size_t same = 0;
        while (same < c && !entry->channels[same]->SameAs(*table))
            ++same;
        if (same < c) {
            entry->channels.push_back(entry->channels[same]);
            if (bits == 8) entry->lookups.push_back(entry->lookups[same]);
            continue;
        }
        entry->channels.push_back(table);
        if (bits == 8) entry->lookups.push_back(std::make_shared<const GainLookup>(*table, space));
    }
    entries_.insert(key, entry);
    return entry;
}

}  // namespace velmora
