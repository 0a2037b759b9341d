#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "correction/image_view.h"

namespace velmora {

// The formats a corrected photograph can be written in.
enum class PhotoFormat { Bmp, Png, Tiff, Jpeg };

// The file name suffix of a format ("bmp", "png", "tif", "jpg"), and the format a suffix names.
QString FormatSuffix(PhotoFormat format);
bool FormatForSuffix(const QString& fileName, PhotoFormat* format);

// The most pixels a photograph may have; a file whose header claims more is refused before its
// pixels are read. Pictures are corrected a few rows at a time, so the limit guards the sizes'
// arithmetic, not memory.
inline constexpr std::int64_t kLargestPhotoPixels = std::int64_t(1) << 31;

// What a photograph's header tells: 8 or 16 bits per sample, `samplesPerPixel` samples per
// pixel (grey, grey + alpha, RGB or RGBA), of which `colourChannels` (1 or 3) are colour.
struct PhotoHeader {
    std::int64_t width = 0;
    std::int64_t height = 0;
    int samplesPerPixel = 0;
    int colourChannels = 0;
    int bits = 8;
    QByteArray colourProfile;  // the ICC profile, empty where the file carries none

    std::size_t rowSamples() const { return std::size_t(width) * std::size_t(samplesPerPixel); }
};

// A photograph file opened in the camera's own frame (the orientation tag is not applied): its
// header read, its pixels left in the file until they are decoded, top to bottom, once. It keeps
// the file's metadata (EXIF, XMP, IPTC, colour profile) for a save to carry into a new file.
class PhotoFile {
  public:
    // Raises ErrorKind::Picture naming the file and the reason: it does not exist, is not a
    // picture, claims more than kLargestPhotoPixels, is CMYK, has samples other than 8 or 16
    // bits or channels other than grey or RGB with or without alpha.
    static PhotoFile Open(const QString& path);

    const PhotoHeader& header() const { return header_; }
    const QString& path() const { return path_; }

    struct Decoder;  // the picture library's view of the file
    const Decoder& decoder() const { return *decoder_; }

  private:
    QString path_;
    PhotoHeader header_;
    std::shared_ptr<const Decoder> decoder_;
};

// A photograph decoded in full, rows one after another without gaps.
struct Photo {
    PhotoHeader header;
    std::vector<std::uint8_t> samples8;    // 8-bit photographs
    std::vector<std::uint16_t> samples16;  // 16-bit photographs

    ImageView<const std::uint8_t> view8() const;
    ImageView<const std::uint16_t> view16() const;
};

// Starts the picture library; call once before the first photograph, from the main thread.
void StartPhotoLibrary(const char* programName);

// Decodes the whole of the photograph at `path` (see PhotoFile::Open). Raises ErrorKind::Picture
// naming the file also when its pixel data is missing or cut short.
Photo ReadPhoto(const QString& path);

}  // namespace velmora
