#pragma once

// The lenses of lensfun's data that the quality benchmarks shoot through: one entry per lens,
// its strongest falloff within a range, spread over that range.

#include <QString>
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lens_scene.h"
#include "lensfun_data.h"

namespace velmora::bench {

struct Candidate {
    scene::Lens lens;
    double ev = 0;  // the corner's falloff, negative
};

// Per lens of FOLDER, the entry whose corners lose the most between `least` and `most` EV,
// named by `name`; weakest first.
inline std::vector<Candidate> StrongestPerLens(
    const QString& folder, double least, double most,
    const std::function<std::string(const scene::LensfunVignetting&)>& name) {
    std::map<std::string, Candidate> strongest;
    for (const scene::LensfunVignetting& entry :
         scene::ReadLensfunVignetting(folder.toStdString())) {
        scene::Lens lens;
        lens.k = {entry.k, entry.k, entry.k};
        lens.name = name(entry);
        const double ev = lens.CornerEv(0);
        if (-ev < least || -ev > most || !lens.IsFalloff()) continue;
        const std::string key = entry.maker + " " + entry.model;
        auto found = strongest.find(key);
        if (found == strongest.end() || ev < found->second.ev) strongest[key] = {lens, ev};
    }
    std::vector<Candidate> lenses;
    for (const auto& [key, candidate] : strongest)
        lenses.push_back(candidate);
    std::sort(lenses.begin(), lenses.end(), [](const Candidate& a, const Candidate& b) {
        return a.ev > b.ev || (a.ev == b.ev && a.lens.name < b.lens.name);
    });
    return lenses;
}

// `count` lenses spread evenly over the range of falloffs found, the weakest and the strongest
// first.
inline std::vector<Candidate> Spread(const std::vector<Candidate>& all, int count) {
    std::vector<Candidate> chosen;
    const int n = std::min<int>(count, int(all.size()));
    for (int i = 0; i < n; ++i) {
        const std::size_t at =
            n == 1 ? 0 : std::size_t(std::lround(double(i) * (all.size() - 1) / (n - 1)));
        chosen.push_back(all[at]);
    }
    return chosen;
}

}  // namespace velmora::bench
