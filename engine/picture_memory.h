#pragma once

namespace velmora {

// Lets the allocator keep the large buffers of one picture for the next instead of mapping
// fresh pages for every picture and returning them after. Call once, before any thread starts.
void ReusePictureBuffers();

}  // namespace velmora
