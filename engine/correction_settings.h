#pragma once

#include "correction/profile_gain.h"
#include "platform/flat_resample.h"

namespace velmora {

// How pictures are corrected by lens profiles: what the gains correct, in which space they
// apply, and how a flat of another size fits a picture.
struct CorrectionSettings {
    CorrectWhat what = CorrectWhat::Both;
    GainSpace space = GainSpace::Linear;
    FlatFit fit = FlatFit::SameAspect;
};

}  // namespace velmora
