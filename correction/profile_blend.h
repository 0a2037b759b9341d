#pragma once

#include <vector>

#include "correction/lens_profile.h"

namespace velmora {

// The flat whose gains are the parts' gains blended in log space: every flat value and centre
// level is the weighted geometric mean of the parts', so that log(C / F) is the weighted mean of
// the parts' log(C / F). The flats must be of one size and channel count; the weights add to 1.
// `firstPlace` and `places` blend a band of places into `out` (sized like the parts), so that
// bands can run on several threads.
void BlendFlats(const std::vector<const FlatField*>& flats, const std::vector<double>& weights,
                std::size_t firstPlace, std::size_t places, FlatField& out);
std::array<double, 3> BlendCentres(const std::vector<std::array<double, 3>>& centres,
                                   const std::vector<double>& weights);

}  // namespace velmora
