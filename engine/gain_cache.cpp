#include "engine/gain_cache.h"

#include "engine/work_pool.h"

namespace velmora {

std::shared_ptr<const GainRows> GainCache::For(
    const GainKey& key, const std::function<std::shared_ptr<const GainRows>()>& make, bool keep) {
    std::shared_ptr<Entry> entry;
    {
        const std::lock_guard lock(mutex_);
        std::shared_ptr<Entry>& found = entries_[key];
        if (found == nullptr) found = std::make_shared<Entry>();
        entry = found;
    }
    const std::lock_guard lock(entry->mutex);
    if (entry->kept) return entry->gains;
    if (entry->gains == nullptr) entry->gains = make();
    // 16-bit gains of a profile at its own size are looked up from its file values as fast as
    // kept ones are read, so they are not kept (288 MB at 24 megapixels).
    if (keep && ++entry->asked >= 2 && entry->gains->KeepingPays() &&
        budget_.TryForBatch(key.shape.bytes(), entry->hold)) {
        entry->gains = KeepGains(*entry->gains, pool_);
        entry->kept = true;
    }
    return entry->gains;
}

void GainCache::Forget(const std::vector<std::pair<int, double>>& parts) {
    const std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const auto& entry) { return entry.first.parts == parts; });
}

}  // namespace velmora
