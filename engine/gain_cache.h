#pragma once

#include <compare>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/gain_rows.h"
#include "engine/memory_budget.h"
#include "engine/tone_table_cache.h"

namespace velmora {

class WorkPool;

// Which gains: of which profiles of the batch with which weights (a profile alone has weight
// 1), whether through the monotone cubic, for which shape, multiplying code values of which
// curves (none: light).
struct GainKey {
    std::vector<std::pair<int, double>> parts;
    bool cubic = false;
    GainShape shape;
    CurveKey codeCurves;

    auto operator<=>(const GainKey&) const = default;
};

// The gains of every key a batch meets, made once and shared by its pictures and threads. The
// gains of a key that a second picture asks for are kept whole (see KeepGains) when the budget
// has room for them: a batch of one size then makes them once; a picture of a size of its own
// never holds them. Each key has a lock of its own: pictures of one key wait for its gains,
// pictures of others do not.
class GainCache {
  public:
    GainCache(MemoryBudget& budget, WorkPool& pool) : budget_(budget), pool_(pool) {}

    // The gains of `key`, made by `make` when they are not there yet; with `keep` false never
    // kept whole (the parts of a blend, which is kept instead).
    std::shared_ptr<const GainRows> For(
        const GainKey& key, const std::function<std::shared_ptr<const GainRows>()>& make,
        bool keep = true);
    // No picture needs the gains of these profiles and weights any more, at any shape.
    void Forget(const std::vector<std::pair<int, double>>& parts);

  private:
    struct Entry {
        std::mutex mutex;
        int asked = 0;
        std::shared_ptr<const GainRows> gains;
        bool kept = false;
        MemoryBudget::Hold hold;
    };

    MemoryBudget& budget_;
    WorkPool& pool_;
    std::mutex mutex_;
    std::map<GainKey, std::shared_ptr<Entry>> entries_;
};

}  // namespace velmora
