#pragma once

#include "correction/pixel_bytes.h"

namespace velmora {

// Low-passes a reference picture before tuning, so that the noise of the one centre pixel and of
// every other pixel does not end up in the map. Two passes of a box of 2 x radius + 1 pixels,
// across and down, per colour lane of the group model. Near an edge a box averages only the
// pixels inside the picture. Results are rounded half to even; a filler byte at the end of a row
// is left as it is, and radius 0 leaves the picture unchanged.
void SmoothPixelBytes(PixelBytes& pixels, int radius);

}  // namespace velmora
