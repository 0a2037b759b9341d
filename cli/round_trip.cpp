#include "cli/round_trip.h"

#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "platform/picture_file.h"

namespace velmora {

void FilterPictureFile(const QString& input, const QString& output, const CorrectionMap& map,
                       FilterMode mode, std::string_view strengthText, char decimalSeparator,
                       Durability durability) {
    LoadedPicture picture = LoadPictureFile(input);
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    FilterPixelBytes(pixels, map, mode, strengthText, decimalSeparator);
    WritePictureBytes(&picture.bitmap, size, pixels.data(), {});
    SavePictureAsBitmapFile(picture.bitmap, output, durability);
}

}  // namespace velmora
