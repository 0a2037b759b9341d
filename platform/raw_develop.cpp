#include "platform/raw_develop.h"

#include <libraw/libraw.h>

#include <QFile>
#include <algorithm>
#include <memory>
#include <vips/vips8>

#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/photo_metadata.h"

namespace velmora {
namespace {

[[noreturn]] void Fail(const QString& input, const QString& reason) {
    throw Error(
        ErrorKind::Picture,
        ("raw file " + Native(input) + ": cannot be developed (" + reason + ").").toStdString(),
        ErrorFields(input.toStdString()));
}

}  // namespace

void DevelopRaw(const QString& input, ImageView<const std::uint16_t> samples, const QString& output,
                PhotoFormat format, int quality, Durability durability) {
    auto raw = std::make_unique<LibRaw>();
    libraw_output_params_t& params = raw->imgdata.params;
    params.use_camera_wb = 1;
    params.output_color = 1;  // sRGB
    params.output_bps = format == PhotoFormat::Tiff || format == PhotoFormat::Png ? 16 : 8;
    params.no_auto_bright = 1;
    params.gamm[0] = 1 / 2.4;
    params.gamm[1] = 12.92;
    if (int code = raw->open_file(QFile::encodeName(input).constData()); code != LIBRAW_SUCCESS)
        Fail(input, LibRaw::strerror(code));
    if (int code = raw->unpack(); code != LIBRAW_SUCCESS) Fail(input, LibRaw::strerror(code));
    libraw_rawdata_t& data = raw->imgdata.rawdata;
    const std::size_t top = raw->imgdata.sizes.top_margin;
    const std::size_t left = raw->imgdata.sizes.left_margin;
    const std::size_t pitch = raw->imgdata.sizes.raw_pitch / sizeof(std::uint16_t);
    for (std::int64_t y = 0; y < samples.height(); ++y) {
        const std::uint16_t* from = samples.row(y);
        const std::size_t row = std::size_t(y) + top;
        if (data.raw_image != nullptr) {
            std::copy(from, from + samples.width(), data.raw_image + row * pitch + left);
        } else if (data.color3_image != nullptr) {
            std::copy(from, from + samples.width() * 3, data.color3_image[row * pitch / 3 + left]);
        } else if (data.color4_image != nullptr) {
            for (std::int64_t x = 0; x < samples.width(); ++x)
                std::copy(from + 3 * x, from + 3 * x + 3,
                          data.color4_image[row * pitch / 4 + left + std::size_t(x)]);
        }
    }
    if (int code = raw->dcraw_process(); code != LIBRAW_SUCCESS)
        Fail(input, LibRaw::strerror(code));
    int code = LIBRAW_SUCCESS;
    std::unique_ptr<libraw_processed_image_t, decltype(&LibRaw::dcraw_clear_mem)> image(
        raw->dcraw_make_mem_image(&code), LibRaw::dcraw_clear_mem);
    if (image == nullptr) Fail(input, LibRaw::strerror(code));
    const VipsBandFormat band = image->bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR;
    vips::VImage picture = vips::VImage::new_from_memory(
        image->data, image->data_size, image->width, image->height, image->colors, band);
    picture = picture.copy(vips::VImage::option()->set(
        "interpretation",
        image->bits == 16 ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB));
    ReplaceFileAtomically(
        std::filesystem::path(QFile::encodeName(output).constData()), durability,
        [&](const std::filesystem::path& temporary) {
            try {
                switch (format) {
                    case PhotoFormat::Tiff:
                        picture.tiffsave(const_cast<char*>(temporary.c_str()),
                                         vips::VImage::option()->set(
                                             "compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE));
                        break;
                    case PhotoFormat::Png:
                        picture.pngsave(const_cast<char*>(temporary.c_str()));
                        break;
                    case PhotoFormat::Jpeg:
                        picture.jpegsave(const_cast<char*>(temporary.c_str()),
                                         vips::VImage::option()->set("Q", quality));
                        break;
                    case PhotoFormat::Bmp:
                        throw Error(ErrorKind::Picture,
                                    "a raw file is developed to TIFF, PNG or JPEG, not BMP: " +
                                        Native(input).toStdString() + ".",
                                    ErrorFields(input.toStdString()));
                }
            } catch (const vips::VError& error) {
                throw Error(ErrorKind::File,
                            ("cannot write " + Native(output) + ": " +
                             QString::fromUtf8(error.what()).trimmed())
                                .toStdString(),
                            ErrorFields(output.toStdString()));
            }
            CarryMetadata(input, temporary, output);
            SetOrientation(temporary, 1);  // the development is upright
        });
}

}  // namespace velmora
