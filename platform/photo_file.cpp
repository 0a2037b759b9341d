#include "platform/photo_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vips/vips8>

#include "correction/error.h"
#include "platform/photo_metadata.h"
#include "platform/picture_file.h"
#include "platform/picture_rows.h"

namespace velmora {
namespace {

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

[[noreturn]] void Refuse(const QString& path, const QString& reason) {
    throw Error(ErrorKind::Picture, ("cannot read " + Native(path) + ": " + reason).toStdString());
}

[[noreturn]] void RefuseWrite(const QString& path, const QString& reason) {
    throw Error(ErrorKind::Picture, ("cannot write " + Native(path) + ": " + reason).toStdString());
}

// The library's message without its trailing newline and repeated lines.
QString LibraryReason(const vips::VError& error) {
    QStringList lines = QString::fromUtf8(error.what()).split('\n', Qt::SkipEmptyParts);
    lines.removeDuplicates();
    return lines.isEmpty() ? "the picture library gives no reason" : lines.join("; ");
}

// Fields that describe the pixels rather than the photograph; the new picture has its own.
bool IsPixelField(const char* name) {
    static const std::set<std::string> kPixelFields{"width",
                                                    "height",
                                                    "bands",
                                                    "format",
                                                    "coding",
                                                    "interpretation",
                                                    "xoffset",
                                                    "yoffset",
                                                    "filename",
                                                    "mode",
                                                    "bits-per-sample",
                                                    "palette",
                                                    "palette-bit-depth",
                                                    "vips-loader",
                                                    "n-pages",
                                                    "page-height"};
    return kPixelFields.count(name) != 0;
}

void CopyMetadata(VipsImage* in, vips::VImage& to) {
    VipsImage* out = to.get_image();
    char** fields = vips_image_get_fields(in);
    for (char** field = fields; *field != nullptr; ++field) {
        if (!IsPixelField(*field)) {
            GValue value = G_VALUE_INIT;
            if (vips_image_get(in, *field, &value) == 0) {
                vips_image_set(out, *field, &value);
                g_value_unset(&value);
            }
        }
    }
    g_strfreev(fields);
}

void WriteBitmap(const Photo& photo, const QString& path, Durability durability) {
    Bitmap bitmap(photo.width, photo.height);
    const std::uint8_t* samples = photo.samples8();
    const int step = photo.samplesPerPixel;
    const int green = photo.colourChannels == 3 ? 1 : 0;
    const int blue = photo.colourChannels == 3 ? 2 : 0;
    for (std::int32_t y = 0; y < photo.height; ++y) {
        const std::uint8_t* in = samples + std::size_t(y) * photo.rowSamples();
        std::uint8_t* out = bitmap.row(y);
        for (std::int32_t x = 0; x < photo.width; ++x, in += step, out += 3) {
            out[0] = in[blue];
            out[1] = in[green];
            out[2] = in[0];
        }
    }
    SavePictureAsBitmapFile(bitmap, path, durability);
}

// The photo's pixels as the library's picture, with the metadata of the file it came from; for
// JPEG without alpha.
vips::VImage ImageToWrite(const Photo& photo, PhotoFormat format) {
    const bool grey = photo.colourChannels == 1;
    vips::VImage image = vips::VImage::new_from_memory(
        const_cast<std::uint8_t*>(photo.bytes.data()), photo.bytes.size(), photo.width,
        photo.height, photo.samplesPerPixel,
        photo.bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
    image = image.copy(
        vips::VImage::option()
            ->set("interpretation",
                  photo.bits == 16 ? (grey ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_RGB16)
                                   : (grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB))
            ->set("xres", photo.file->Xres)
            ->set("yres", photo.file->Yres));
    if (format == PhotoFormat::Jpeg && photo.samplesPerPixel != photo.colourChannels) {
        image = image.extract_band(0, vips::VImage::option()->set("n", photo.colourChannels));
    }
    CopyMetadata(photo.file.get(), image);
    return image;
}

// Whether the input may hold EXIF, XMP or IPTC that the PNG and TIFF writers would not all carry:
// where the library found some, and in any PNG, whose IPTC text only Exiv2 reads.
bool HasMetadataToCarry(const Photo& photo) {
    VipsImage* in = photo.file.get();
    const char* loader = nullptr;
    if (vips_image_get_typeof(in, VIPS_META_LOADER) != 0) {
        vips_image_get_string(in, VIPS_META_LOADER, &loader);
    }
    return vips_image_get_typeof(in, VIPS_META_EXIF_NAME) != 0 ||
           vips_image_get_typeof(in, VIPS_META_XMP_NAME) != 0 ||
           vips_image_get_typeof(in, VIPS_META_IPTC_NAME) != 0 ||
           (loader != nullptr && std::string_view(loader).starts_with("png")) ||
           !photo.encoded.isEmpty();
}

// Writes by the saver's own name, so that the file name is not read for options.
void Save(const vips::VImage& image, PhotoFormat format, int quality, const char* file) {
    if (format == PhotoFormat::Jpeg) {
        image.jpegsave(file, vips::VImage::option()->set("Q", quality));
    } else if (format == PhotoFormat::Png) {
        image.pngsave(file);
    } else {
        image.tiffsave(file);
    }
}

}  // namespace

QString FormatSuffix(PhotoFormat format) {
    switch (format) {
        case PhotoFormat::Bmp:
            return "bmp";
        case PhotoFormat::Png:
            return "png";
        case PhotoFormat::Tiff:
            return "tif";
        case PhotoFormat::Jpeg:
            return "jpg";
    }
    return "bmp";
}

bool FormatForSuffix(const QString& fileName, PhotoFormat* format) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == "bmp") {
        *format = PhotoFormat::Bmp;
    } else if (suffix == "png") {
        *format = PhotoFormat::Png;
    } else if (suffix == "tif" || suffix == "tiff") {
        *format = PhotoFormat::Tiff;
    } else if (suffix == "jpg" || suffix == "jpeg") {
        *format = PhotoFormat::Jpeg;
    } else {
        return false;
    }
    return true;
}

void StartPhotoLibrary(const char* programName) {
    // Every failure is reported with its file and reason; the library's own warnings, a line per
    // damaged tile, would only bury that report.
    qputenv("VIPS_WARNING", "0");
    if (VIPS_INIT(programName) != 0) vips_error_exit("cannot start libvips");
    // Every photograph is read once; a cache would only hold on to memory.
    vips_cache_set_max(0);
    StartMetadataLibrary();
}

namespace {

// Opens the file as a stream where the library can (the name is not parsed for options, and
// a large TIFF is not held twice), else from memory (BMP and other formats ImageMagick reads).
vips::VImage Open(const QString& path, QByteArray& encoded) {
    const auto options = [] {
        return vips::VImage::option()
            ->set("access", VIPS_ACCESS_SEQUENTIAL)
            ->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
    };
    const QByteArray name = QFile::encodeName(path);
    if (vips_foreign_find_load_source(
            vips::VSource::new_from_file(name.constData()).get_source()) != nullptr) {
        return vips::VImage::new_from_source(vips::VSource::new_from_file(name.constData()), "",
                                             options());
    }
    vips_error_clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) Refuse(path, file.errorString() + ".");
    encoded = file.readAll();
    if (file.error() != QFileDevice::NoError) Refuse(path, file.errorString() + ".");
    return vips::VImage::new_from_buffer(encoded.constData(), std::size_t(encoded.size()), "",
                                         options());
}

}  // namespace

Photo ReadPhoto(const QString& path, bool pixels, std::vector<std::uint8_t> storage) {
    Photo photo;
    photo.source = path;
    vips::VImage decoded;
    if (!QFileInfo(path).isFile()) {
        Refuse(path, QFileInfo::exists(path) ? "it is not a file." : "it does not exist.");
    }
    try {
        decoded = Open(path, photo.encoded);
    } catch (const vips::VError& error) {
        Refuse(path, "not a picture that can be read (" + LibraryReason(error) + ").");
    }
    const vips::VImage& image = decoded;
    // Kept for its metadata, which a save carries into the new file.
    photo.file = std::shared_ptr<VipsImage>(
        static_cast<VipsImage*>(g_object_ref(image.get_image())), g_object_unref);
    photo.width = image.width();
    photo.height = image.height();
    if (std::int64_t(photo.width) * photo.height > kLargestPhotoPixels) {
        Refuse(path, QString("the file claims %1 x %2 pixels, more than the %3 megapixels a "
                             "picture may have.")
                         .arg(photo.width)
                         .arg(photo.height)
                         .arg(kLargestPhotoPixels / 1000000));
    }
    const VipsInterpretation interpretation = image.interpretation();
    if (interpretation == VIPS_INTERPRETATION_CMYK) {
        Refuse(path, "CMYK pictures cannot be corrected; convert it to RGB first.");
    }
    if (image.format() != VIPS_FORMAT_UCHAR && image.format() != VIPS_FORMAT_USHORT) {
        Refuse(path, "its samples are neither 8 nor 16 bits.");
    }
    if (image.bands() < 1 || image.bands() > 4) {
        Refuse(path, QString("it has %1 channels; grey, RGB and either with alpha can be "
                             "corrected.")
                         .arg(image.bands()));
    }
    photo.bits = image.format() == VIPS_FORMAT_USHORT ? 16 : 8;
    photo.samplesPerPixel = image.bands();
    photo.colourChannels = image.bands() >= 3 ? 3 : 1;
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        std::size_t length = 0;
        const void* icc = image.get_blob(VIPS_META_ICC_NAME, &length);
        photo.colourProfile = QByteArray(static_cast<const char*>(icc), qsizetype(length));
    }
    if (!pixels) return photo;
    try {
        const std::size_t rowBytes = photo.rowSamples() * std::size_t(photo.bits / 8);
        photo.bytes = std::move(storage);
        photo.bytes.resize(rowBytes * std::size_t(photo.height));
        ForEachRow(image, [&](int y, const std::uint8_t* row) {
            std::memcpy(photo.bytes.data() + std::size_t(y) * rowBytes, row, rowBytes);
        });
    } catch (const vips::VError& error) {
        Refuse(path, "its pixel data is damaged or cut short (" + LibraryReason(error) + ").");
    }
    return photo;
}

void WritePhoto(const Photo& photo, const QString& path, PhotoFormat format, int quality,
                Durability durability) {
    if (photo.bits == 16 && (format == PhotoFormat::Bmp || format == PhotoFormat::Jpeg)) {
        RefuseWrite(path,
                    QString("a 16-bit picture cannot be written as %1, which holds 8 bits; use "
                            "--format png or tiff.")
                        .arg(format == PhotoFormat::Bmp ? "BMP" : "JPEG"));
    }
    if (format == PhotoFormat::Bmp) {
        WriteBitmap(photo, path, durability);
        return;
    }
    const std::filesystem::path target(QFile::encodeName(path).constData());
    try {
        const vips::VImage image = ImageToWrite(photo, format);
        // The library's JPEG writer carries EXIF, XMP, IPTC and ICC itself; its PNG and TIFF
        // writers leave some out, which Exiv2 adds to the encoded file in memory.
        if (format == PhotoFormat::Jpeg || !HasMetadataToCarry(photo)) {
            // Straight into the file: through memory, a 16-bit TIFF of 144 MB was copied twice
            // more.
            ReplaceFileAtomically(target, durability, [&](const std::filesystem::path& temporary) {
                Save(image, format, quality, temporary.c_str());
            });
            return;
        }
        void* encoded = nullptr;
        std::size_t size = 0;
        image.write_to_buffer(format == PhotoFormat::Png ? ".png" : ".tif", &encoded, &size);
        std::unique_ptr<void, void (*)(void*)> owned(encoded, g_free);
        const auto* bytes = static_cast<const std::uint8_t*>(encoded);
        std::vector<std::uint8_t> withMetadata(bytes, bytes + size);
        CarryMetadata(photo.source, withMetadata, path);
        WriteFileAtomically(target, withMetadata.data(), withMetadata.size(), durability);
    } catch (const vips::VError& error) {
        RefuseWrite(path, "cannot encode the picture (" + LibraryReason(error) + ").");
    }
}

}  // namespace velmora
