#include "platform/picture_file.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <cmath>
#include <cstring>

#include "correction/error.h"

namespace velmora {
namespace {

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// HIMETRIC units of `pixels` at the file's resolution. Qt gives an image the process's default
// resolution when the file records none; that case is taken as 96 dpi.
std::int32_t Himetric(std::int64_t pixels, int dotsPerMeter, int defaultDotsPerMeter) {
    double value = 0;
    if (dotsPerMeter <= 0 || dotsPerMeter == defaultDotsPerMeter) {
        value = double(pixels) * 2540.0 / 96.0;
    } else {
        value = double(pixels) * 100000.0 / dotsPerMeter;
    }
    return std::int32_t(std::min<long long>(std::llround(value), INT32_MAX));
}

}  // namespace

Bitmap ImageToBitmap(const QImage& image) {
    const QImage bgr = image.format() == QImage::Format_BGR888
                           ? image
                           : image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull() && !image.isNull()) {
        throw Error(ErrorKind::Picture, "the picture does not fit in memory.");
    }
    Bitmap bitmap(bgr.width(), bgr.height());
    const std::size_t pixelBytes = std::size_t(bgr.width()) * 3;
    for (int r = 0; r < bgr.height(); ++r) {
        std::memcpy(bitmap.row(r), bgr.constScanLine(r), pixelBytes);
    }
    return bitmap;
}

QImage BitmapToImage(const Bitmap& picture) {
    QImage image(picture.width(), picture.height(), QImage::Format_BGR888);
    if (image.isNull() && picture.byteCount() > 0) {
        throw Error(ErrorKind::Picture, "the picture does not fit in memory.");
    }
    const std::size_t pixelBytes = std::size_t(picture.width()) * 3;
    for (int r = 0; r < picture.height(); ++r) {
        std::memcpy(image.scanLine(r), picture.row(r), pixelBytes);
    }
    return image;
}

LoadedPicture LoadPictureFile(const QString& path) {
    // Opened here, not handed to QImageReader by name: for a name that does not exist the reader
    // tries the name with each image suffix added, so "a" would load "a.bmp" instead of failing.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw Error(
            ErrorKind::Picture,
            QString("cannot load %1: %2").arg(Native(path), file.errorString()).toStdString());
    }
    QImageReader reader(&file);
    reader.setAutoTransform(false);
    QImage image = reader.read();
    if (image.isNull()) {
        throw Error(
            ErrorKind::Picture,
            QString("cannot load %1: %2").arg(Native(path), reader.errorString()).toStdString());
    }
    const int defaultDotsPerMeterX = QImage(1, 1, QImage::Format_Mono).dotsPerMeterX();
    const int defaultDotsPerMeterY = QImage(1, 1, QImage::Format_Mono).dotsPerMeterY();
    try {
        LoadedPicture loaded{ImageToBitmap(image), 0, 0};
        loaded.widthHimetric = Himetric(image.width(), image.dotsPerMeterX(), defaultDotsPerMeterX);
        loaded.heightHimetric =
            Himetric(image.height(), image.dotsPerMeterY(), defaultDotsPerMeterY);
        return loaded;
    } catch (const Error& error) {
        throw Error(ErrorKind::Picture,
                    QString("cannot load %1: %2")
                        .arg(Native(path), QString::fromStdString(error.cause()))
                        .toStdString());
    }
}

void SavePictureAsBitmapFile(const Bitmap& picture, const QString& path) {
    const auto fail = [&](const QString& reason) {
        throw Error(ErrorKind::File,
                    QString("cannot save %1: %2").arg(Native(path), reason).toStdString());
    };
    if (path.isEmpty()) fail("no file name is given");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) fail(file.errorString());
    QImageWriter writer(&file, "bmp");
    if (!writer.write(BitmapToImage(picture))) fail(writer.errorString());
    if (!file.commit()) fail(file.errorString());
}

}  // namespace velmora
