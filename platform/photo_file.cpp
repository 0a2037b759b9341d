#include "platform/photo_file.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <vips/vips8>

#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/photo_decoder.h"
#include "platform/photo_metadata.h"
#include "platform/picture_rows.h"
#include "platform/raw_file.h"

namespace velmora {
namespace {

[[noreturn]] void Refuse(const QString& path, const QString& reason) {
    throw Error(ErrorKind::Picture, ("cannot read " + Native(path) + ": " + reason).toStdString(),
                ErrorFields(path.toStdString()));
}

// Opens the file as a stream where the library can (the name is not parsed for options, and
// a large TIFF is not held twice), else from memory (BMP and other formats ImageMagick reads).
vips::VImage OpenImage(const QString& path, QByteArray& encoded) {
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

PhotoHeader HeaderOf(const vips::VImage& image, const QString& path) {
    PhotoHeader header;
    header.width = image.width();
    header.height = image.height();
    if (header.width * header.height > kLargestPhotoPixels) {
        Refuse(path, QString("the file claims %1 x %2 pixels, more than the %3 megapixels a "
                             "picture may have.")
                         .arg(header.width)
                         .arg(header.height)
                         .arg(kLargestPhotoPixels / 1000000));
    }
    if (image.interpretation() == VIPS_INTERPRETATION_CMYK) {
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
    header.bits = image.format() == VIPS_FORMAT_USHORT ? 16 : 8;
    header.samplesPerPixel = image.bands();
    header.colourChannels = image.bands() >= 3 ? 3 : 1;
    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        std::size_t length = 0;
        const void* icc = image.get_blob(VIPS_META_ICC_NAME, &length);
        header.colourProfile = QByteArray(static_cast<const char*>(icc), qsizetype(length));
    }
    return header;
}

}  // namespace

QString LibraryReason(const vips::VError& error) {
    QStringList lines = QString::fromUtf8(error.what()).split('\n', Qt::SkipEmptyParts);
    lines.removeDuplicates();
    return lines.isEmpty() ? "the picture library gives no reason" : lines.join("; ");
}

[[noreturn]] void RefuseDamaged(const QString& path, const QString& reason) {
    Refuse(path, "its pixel data is damaged or cut short (" + reason + ").");
}

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

PhotoFile PhotoFile::Open(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        Refuse(path, QFileInfo::exists(path) ? "it is not a file." : "it does not exist.");
    }
    // A DNG's mosaic would open as a grey picture: raw files are read as raw, or not at all.
    if (IsRawFile(path)) Refuse(path, "it is a camera's raw file, not a rendered picture.");
    auto decoder = std::make_shared<Decoder>();
    try {
        decoder->image = OpenImage(path, decoder->encoded);
    } catch (const vips::VError& error) {
        Refuse(path, "not a picture that can be read (" + LibraryReason(error) + ").");
    }
    PhotoFile file;
    file.path_ = path;
    file.header_ = HeaderOf(decoder->image, path);
    file.decoder_ = std::move(decoder);
    return file;
}

ImageView<const std::uint8_t> Photo::view8() const {
    return ImageView<const std::uint8_t>::Packed(samples8.data(), header.width, header.height,
                                                 header.samplesPerPixel, header.colourChannels);
}

ImageView<const std::uint16_t> Photo::view16() const {
    return ImageView<const std::uint16_t>::Packed(samples16.data(), header.width, header.height,
                                                  header.samplesPerPixel, header.colourChannels);
}

Photo ReadPhoto(const QString& path) {
    const PhotoFile file = PhotoFile::Open(path);
    Photo photo;
    photo.header = file.header();
    const std::size_t rowSamples = photo.header.rowSamples();
    const std::size_t samples = rowSamples * std::size_t(photo.header.height);
    try {
        if (photo.header.bits == 16) {
            photo.samples16.resize(samples);
        } else {
            photo.samples8.resize(samples);
        }
        ForEachRow(file.decoder().image, [&](int y, const std::uint8_t* row) {
            const std::size_t at = std::size_t(y) * rowSamples;
            if (photo.header.bits == 16) {
                std::memcpy(photo.samples16.data() + at, row, rowSamples * 2);
            } else {
                std::memcpy(photo.samples8.data() + at, row, rowSamples);
            }
        });
    } catch (const vips::VError& error) {
        RefuseDamaged(path, LibraryReason(error));
    }
    return photo;
}

}  // namespace velmora
