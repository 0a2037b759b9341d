#pragma once

#include <cstdint>
#include <functional>
#include <vips/vips8>

namespace velmora {

// Decodes `image` a strip of rows at a time, top to bottom, as a picture opened for sequential
// access must be read, and hands each row to `take` while it is in the cache. Raises
// vips::VError when the pixels cannot be decoded (damaged or cut short).
void ForEachRow(const vips::VImage& image,
                const std::function<void(int y, const std::uint8_t* row)>& take);

}  // namespace velmora
