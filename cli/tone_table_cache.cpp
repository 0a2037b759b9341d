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

std::shared_ptr<const ToneTableCache::Entry> ToneTableCache::TablesFor(const QByteArray& icc,
                                                                       int colourChannels,
                                                                       int bits) {
    const QString key =
        QString("%1/%2/").arg(colourChannels).arg(bits) +
        QString::fromLatin1(QCryptographicHash::hash(icc, QCryptographicHash::Sha256).toHex());
    const std::lock_guard lock(mutex_);
    if (const auto found = entries_.constFind(key); found != entries_.constEnd()) return *found;
    auto entry = std::make_shared<Entry>();
    const std::vector<ToneCurve> curves = TransferCurves(icc, colourChannels, &entry->note);
    const std::uint32_t maxCode = (1u << bits) - 1;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        // Channels that share their curve (the usual case) share its table.
        std::shared_ptr<const ToneTables> table;
        for (std::size_t d = 0; d < c && !table; ++d) {
            if (icc.isEmpty()) table = entry->channels[d];
        }
        entry->channels.push_back(table ? table : std::make_shared<ToneTables>(curves[c], maxCode));
    }
    entries_.insert(key, entry);
    return entry;
}

}  // namespace velmora
