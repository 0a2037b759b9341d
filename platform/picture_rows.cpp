#include "platform/picture_rows.h"

#include <algorithm>
#include <memory>

namespace velmora {

void ForEachRow(const vips::VImage& image,
                const std::function<void(int y, const std::uint8_t* row)>& take) {
    std::unique_ptr<VipsRegion, void (*)(gpointer)> region(vips_region_new(image.get_image()),
                                                           g_object_unref);
    constexpr int kStripRows = 64;
    for (int top = 0; top < image.height(); top += kStripRows) {
        const VipsRect strip{0, top, image.width(), std::min(kStripRows, image.height() - top)};
        if (vips_region_prepare(region.get(), &strip) != 0) throw vips::VError();
        for (int y = top; y < top + strip.height; ++y)
            take(y, reinterpret_cast<const std::uint8_t*>(VIPS_REGION_ADDR(region.get(), 0, y)));
    }
}

}  // namespace velmora
