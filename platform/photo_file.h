#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "correction/atomic_file.h"

struct _VipsImage;  // the decoder's picture (libvips)

namespace velmora {

// The formats a corrected photograph can be written in.
enum class PhotoFormat { Bmp, Png, Tiff, Jpeg };

// The file name suffix of a format ("bmp", "png", "tif", "jpg"), and the format a suffix names.
QString FormatSuffix(PhotoFormat format);
bool FormatForSuffix(const QString& fileName, PhotoFormat* format);

// The most pixels a photograph may have; a file whose header claims more is refused before its
// pixels are read (a 16-bit colour picture of this size takes 1.5 GiB).
inline constexpr std::int64_t kLargestPhotoPixels = std::int64_t(1) << 28;

// A photograph decoded in full: 8 or 16 bits per sample, `samplesPerPixel` samples per pixel
// (grey, grey + alpha, RGB or RGBA), rows one after another without gaps. `file` keeps the
// decoder's picture for its metadata (EXIF, XMP, IPTC, colour profile), which a save carries
// into the new file.
struct Photo {
    std::int32_t width = 0;
    std::int32_t height = 0;
    int samplesPerPixel = 0;
    int colourChannels = 0;  // 1 or 3; the rest is alpha
    int bits = 8;            // 8 or 16
    std::vector<std::uint8_t> bytes;
    QByteArray colourProfile;  // the ICC profile, empty where the file carries none
    QByteArray encoded;        // the file as read, where the decoder reads from memory
    std::shared_ptr<_VipsImage> file;
    QString source;  // the file it was read from, whose EXIF, IPTC and XMP a save carries

    std::uint8_t* samples8() { return bytes.data(); }
    std::uint16_t* samples16() { return reinterpret_cast<std::uint16_t*>(bytes.data()); }
    const std::uint8_t* samples8() const { return bytes.data(); }
    const std::uint16_t* samples16() const {
        return reinterpret_cast<const std::uint16_t*>(bytes.data());
    }
    std::size_t rowSamples() const { return std::size_t(width) * std::size_t(samplesPerPixel); }
};

// Starts the picture library; call once before the first photograph, from the main thread.
void StartPhotoLibrary(const char* programName);

// Decodes a JPEG, PNG, TIFF, WebP, BMP, ... file in the camera's own frame (the orientation tag
// is not applied). Raises ErrorKind::Picture naming the file and the reason: not a picture, a
// size beyond kLargestPhotoPixels, CMYK, samples other than 8 or 16 bits, or pixel data that is
// missing or cut short. With `pixels` false, only the header is read and `bytes` stays empty.
// The pixels go into `storage`, grown as needed: a batch hands each photo's bytes back to the
// next, so that its pages are not mapped and zeroed afresh for every picture.
Photo ReadPhoto(const QString& path, bool pixels = true, std::vector<std::uint8_t> storage = {});

// Encodes `photo` as `format` (JPEG at `quality`, 1..100) with the metadata of the file it was
// read from, and writes it atomically to `path` (see WriteFileAtomically). BMP holds 8 bits and
// no metadata; BMP and JPEG drop alpha. Raises ErrorKind::Picture for a 16-bit photo and a format
// of 8 bits, ErrorKind::File when the file cannot be written.
void WritePhoto(const Photo& photo, const QString& path, PhotoFormat format, int quality,
                Durability durability);

}  // namespace velmora
