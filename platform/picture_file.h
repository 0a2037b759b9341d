#pragma once

#include <QImage>
#include <QString>
#include <array>
#include <cstdint>

#include "correction/atomic_file.h"
#include "correction/bitmap.h"

namespace velmora {

// A decoded picture file: the bitmap of the byte model and its size in HIMETRIC units
// (hundredths of a millimetre) at the resolution the file records, 96 dpi where it records none.
struct LoadedPicture {
    Bitmap bitmap;
    std::int32_t widthHimetric = 0;
    std::int32_t heightHimetric = 0;
};

// Decodes any picture Qt reads into 24-bit B, G, R rows; grayscale, palette and alpha pictures
// too (alpha is dropped). The EXIF orientation is not applied: a correction map is measured in
// the camera's own frame. Raises ErrorKind::Picture naming the file and the reader's reason,
// also for a picture beyond Qt's allocation limit, and for a BMP or JPEG whose pixel data is cut
// short or lies past the end of the file, which Qt would decode as black or grey.
LoadedPicture LoadPictureFile(const QString& path);

// The BMP file Qt's writer makes of a 24-bit picture at 96 dpi: a 14-byte file header and a
// 40-byte info header, then the rows from the bottom up, three bytes a pixel in B, G, R order,
// each row padded with zeros to a multiple of four bytes. `fits` is false for a picture too
// large for the format's 32-bit sizes (the header is then left zero).
struct BitmapLayout {
    static constexpr std::int64_t kHeaderBytes = 14 + 40;
    std::array<std::uint8_t, kHeaderBytes> header{};
    std::int64_t pixelRowBytes = 0;
    std::int64_t fileRowBytes = 0;
    std::int64_t fileBytes = 0;
    bool fits = false;
};
BitmapLayout BitmapLayoutFor(std::int64_t width, std::int64_t height);

// Writes the picture's pixels as a 24-bit BMP at exactly `path` (no extension is added). The
// file is written beside its target and renamed over it (see WriteFileAtomically), so a failed
// save leaves an existing file whole. Raises ErrorKind::File naming the file and the reason.
void SavePictureAsBitmapFile(const Bitmap& picture, const QString& path,
                             Durability durability = Durability::FlushEachFile);

// The picture's pixels as an image to show or encode; the filler byte of odd-width rows is
// no pixel and is left out.
QImage BitmapToImage(const Bitmap& picture);
Bitmap ImageToBitmap(const QImage& image);

}  // namespace velmora
