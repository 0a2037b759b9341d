#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "correction/atomic_file.h"
#include "correction/image_view.h"
#include "platform/photo_file.h"

namespace velmora {

// Corrects the rows of a picture in place as they are decoded, a strip at a time. Each of the
// picture library's threads has a corrector of its own, so a corrector keeps its scratch
// buffers without locks; strips come in any order. `left` and `top` place the strip's first
// sample in the picture.
class RowCorrector {
  public:
    virtual ~RowCorrector() = default;
    virtual void Correct(ImageView<std::uint8_t> strip, std::int64_t left, std::int64_t top) = 0;
    virtual void Correct(ImageView<std::uint16_t> strip, std::int64_t left, std::int64_t top) = 0;
};
using NewRowCorrector = std::function<std::unique_ptr<RowCorrector>()>;

// Decodes `input` a strip at a time, has each strip corrected by a corrector from `corrector`
// (none when it is empty), and encodes it as `format` (JPEG at `quality`, 1..100) with the
// metadata of the input into `path`, replaced atomically (see ReplaceFileAtomically): memory
// grows with the picture's width, not its area. BMP holds 8 bits and no metadata; BMP and JPEG
// drop alpha.
//
// Raises ErrorKind::Picture naming the input when its pixel data is damaged or cut short, and
// naming `path` (Problem::EightBitFormat) for a 16-bit picture and a format of 8 bits, before
// anything is decoded; ErrorKind::File when the file cannot be written. What a corrector raises
// is raised as it is, and what `confirm` raises: it is called once the picture is encoded,
// before the file takes the name. Whatever fails, `path` is left as it was.
void WritePhoto(const PhotoFile& input, const NewRowCorrector& corrector, const QString& path,
                PhotoFormat format, int quality, Durability durability,
                const std::function<void()>& confirm = {});

// The threads WritePhoto corrects a picture's strips on, each with a corrector of its own.
int PictureThreads();

// Whether WritePhoto rewrites the whole file in memory to carry the input's metadata (EXIF and
// IPTC into PNG and TIFF, which the picture library's writers leave out).
bool CarriesMetadataInMemory(const PhotoFile& input, PhotoFormat format);

}  // namespace velmora
