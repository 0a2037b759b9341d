#include "platform/flat_resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vips/vips8>

#include "correction/error.h"
#include "correction/flat_upsample.h"
#include "correction/lens_profile.h"

namespace velmora {
namespace {

[[noreturn]] void CannotResample(const vips::VError& error) {
    throw Error(ErrorKind::Picture,
                std::string("cannot resample the lens profile: ") + error.what());
}

// The resize of `image` (the flat at its own size) to width x height, as ResampleFlat makes it.
vips::VImage Resized(vips::VImage image, std::int32_t width, std::int32_t height, FlatFit fit) {
    const ResampleScales scale =
        ResampleScalesFor(image.width(), image.height(), width, height, fit == FlatFit::CropCentre);
    image = image.resize(
        scale.across,
        vips::VImage::option()->set("vscale", scale.down)->set("kernel", VIPS_KERNEL_LINEAR));
    return image.extract_area((image.width() - width) / 2, (image.height() - height) / 2, width,
                              height);
}

}  // namespace

bool SameAspect(std::int64_t flatWidth, std::int64_t flatHeight, std::int64_t width,
                std::int64_t height) {
    const double across = double(height) * double(flatWidth) / double(flatHeight);
    const double down = double(width) * double(flatHeight) / double(flatWidth);
    return std::abs(across - double(width)) <= 1.0 || std::abs(down - double(height)) <= 1.0;
}

bool SameAspect(const FlatField& flat, std::int32_t width, std::int32_t height) {
    return SameAspect(flat.width, flat.height, width, height);
}

FlatField ResampleFlat(const FlatField& flat, std::int32_t width, std::int32_t height,
                       FlatFit fit) {
    if (flat.width == width && flat.height == height) return flat;
    FlatField result;
    result.width = width;
    result.height = height;
    result.channels = flat.channels;
    try {
        const vips::VImage image =
            Resized(vips::VImage::new_from_memory(const_cast<float*>(flat.values.data()),
                                                  flat.values.size() * sizeof(float), flat.width,
                                                  flat.height, flat.channels, VIPS_FORMAT_FLOAT),
                    width, height, fit);
        std::size_t size = 0;
        std::unique_ptr<void, void (*)(void*)> pixels(image.write_to_memory(&size), g_free);
        result.values.resize(size / sizeof(float));
        std::memcpy(result.values.data(), pixels.get(), size);
    } catch (const vips::VError& error) {
        CannotResample(error);
    }
    return result;
}

struct LazyResample::Pipeline {
    vips::VImage resized;
};

namespace {

// Rows through a region of this thread's own, a band at a time: the resize reads a few rows of
// the flat around each band, so bands much smaller than this would read them again and again.
class RegionRows final : public LazyResample::Rows {
  public:
    explicit RegionRows(std::shared_ptr<const LazyResample::Pipeline> pipeline)
        : pipeline_(std::move(pipeline)),
          region_(vips_region_new(pipeline_->resized.get_image()), g_object_unref) {}

    const float* Row(std::int64_t y) override {
        const VipsRect& valid = region_->valid;
        if (valid.height == 0 || y < valid.top || y >= valid.top + valid.height) {
            const int height = pipeline_->resized.height();
            const VipsRect band{0, int(y), pipeline_->resized.width(),
                                std::min(kBandRows, height - int(y))};
            if (vips_region_prepare(region_.get(), &band) != 0) CannotResample(vips::VError());
        }
        return reinterpret_cast<const float*>(VIPS_REGION_ADDR(region_.get(), 0, int(y)));
    }

  private:
    static constexpr int kBandRows = 32;
    std::shared_ptr<const LazyResample::Pipeline> pipeline_;
    std::unique_ptr<VipsRegion, void (*)(gpointer)> region_;
};

}  // namespace

LazyResample::LazyResample(ImageView<const std::uint16_t> fileValues, std::int32_t width,
                           std::int32_t height, FlatFit fit) {
    auto pipeline = std::make_shared<Pipeline>();
    try {
        // Every file value to its light through a table, the very floats FlatWithValues makes.
        std::vector<float> light(65536);
        for (std::uint32_t k = 0; k < 65536; ++k)
            light[k] = FileValueLight(std::uint16_t(k));
        VipsImage* copied = vips_image_new_from_memory_copy(
            light.data(), light.size() * sizeof(float), 65536, 1, 1, VIPS_FORMAT_FLOAT);
        if (copied == nullptr) throw vips::VError();
        const vips::VImage table(copied);
        const vips::VImage values = vips::VImage::new_from_memory(
            const_cast<std::uint16_t*>(fileValues.row(0)),
            std::size_t(fileValues.stride()) * std::size_t(fileValues.height()) * 2,
            int(fileValues.width()), int(fileValues.height()), fileValues.samplesPerPixel(),
            VIPS_FORMAT_USHORT);
        pipeline->resized = Resized(values.maplut(table), width, height, fit);
    } catch (const vips::VError& error) {
        CannotResample(error);
    }
    pipeline_ = std::move(pipeline);
}

LazyResample::~LazyResample() = default;

std::unique_ptr<LazyResample::Rows> LazyResample::NewRows() const {
    return std::make_unique<RegionRows>(pipeline_);
}

}  // namespace velmora
