#include "platform/flat_resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vips/vips8>

#include "correction/error.h"

namespace velmora {

bool SameAspect(const FlatField& flat, std::int32_t width, std::int32_t height) {
    const double across = double(height) * flat.width / flat.height;
    const double down = double(width) * flat.height / flat.width;
    return std::abs(across - width) <= 1.0 || std::abs(down - height) <= 1.0;
}

FlatField ResampleFlat(const FlatField& flat, std::int32_t width, std::int32_t height,
                       FlatFit fit) {
    if (flat.width == width && flat.height == height) return flat;
    double across = double(width) / flat.width;
    double down = double(height) / flat.height;
    if (fit == FlatFit::CropCentre) across = down = std::max(across, down);
    FlatField result;
    result.width = width;
    result.height = height;
    result.channels = flat.channels;
    try {
        vips::VImage image = vips::VImage::new_from_memory(
            const_cast<float*>(flat.values.data()), flat.values.size() * sizeof(float), flat.width,
            flat.height, flat.channels, VIPS_FORMAT_FLOAT);
        // A little over the scale, so that rounding never leaves the result a pixel short.
        image = image.resize(across * (1 + 0.5 / flat.width),
                             vips::VImage::option()
                                 ->set("vscale", down * (1 + 0.5 / flat.height))
                                 ->set("kernel", VIPS_KERNEL_LINEAR));
        image = image.extract_area((image.width() - width) / 2, (image.height() - height) / 2,
                                   width, height);
        std::size_t size = 0;
        std::unique_ptr<void, void (*)(void*)> pixels(image.write_to_memory(&size), g_free);
        result.values.resize(size / sizeof(float));
        std::memcpy(result.values.data(), pixels.get(), size);
    } catch (const vips::VError& error) {
        throw Error(ErrorKind::Picture,
                    std::string("cannot resample the lens profile: ") + error.what());
    }
    return result;
}

}  // namespace velmora
