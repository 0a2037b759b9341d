#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

#include "correction/atomic_file.h"
#include "correction/correction_map.h"
#include "correction/filtering.h"
#include "correction/pixel_bytes.h"
#include "platform/picture_file.h"

namespace velmora {

// The size of a picture that went through a round trip: pixels, and the W x H of its bytes.
struct PictureSize {
    std::int32_t widthPixels = 0;
    std::int32_t heightPixels = 0;
    std::int32_t widthBytes = 0;
    std::int32_t rows = 0;
};

// "load", a correction of the bytes, and "save(bmp)" on one picture file, through the very calls
// the window's handlers make: LoadPictureFile, ReadPictureBytes, `correct`, WritePictureBytes,
// SavePictureAsBitmapFile. Returns the picture's size.
//
// Raises the velmora::Error of the first step that fails; `output` is then left as it was, as
// the save is the last step and replaces the file in one rename. With FlushLater the caller
// flushes the outputs' file systems once the batch is done.
// The window's "load", for the map's modes: a camera's raw file is refused by name, where the
// picture library would read its mosaic as a grey picture or fail with a reason of its own.
LoadedPicture LoadRenderedPicture(const QString& path);

PictureSize CorrectPictureFile(const QString& input, const QString& output,
                               const std::function<void(PixelBytes&)>& correct,
                               Durability durability = Durability::FlushEachFile);

// Runs `step` on `pixels`. When it fails with the map's own size error (more bytes per row or
// more rows than the map holds), the error is marked Problem::MapTooSmall, for a front end to
// say what serves larger pictures; the window reports the map's error as it is.
void MarkMapTooSmall(const PixelBytes& pixels, const std::function<void()>& step);

// The window's "load", "filtering" and "save(bmp)": FilterPixelBytes as the correction, so a
// picture filtered here and one filtered in the window come out as the same bytes. `map` is
// only read, so several threads may share it.
PictureSize FilterPictureFile(const QString& input, const QString& output, const CorrectionMap& map,
                              FilterMode mode, std::string_view strengthText, char decimalSeparator,
                              Durability durability = Durability::FlushEachFile);

// The same round trip with ApplyGain as the correction: each byte multiplied by how much the
// reference was darkened at its position, against the reference's `centre` bytes.
PictureSize GainPictureFile(const QString& input, const QString& output, const CorrectionMap& map,
                            const std::array<std::uint8_t, 3>& centre,
                            Durability durability = Durability::FlushEachFile);

}  // namespace velmora
