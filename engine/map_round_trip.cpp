#include "engine/map_round_trip.h"

#include "correction/error.h"
#include "correction/gain.h"
#include "correction/picture_bytes.h"
#include "platform/native_path.h"
#include "platform/picture_file.h"
#include "platform/raw_file.h"

namespace velmora {

void MarkMapTooSmall(const PixelBytes& pixels, const std::function<void()>& step) {
    try {
        step();
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::SubscriptOutOfRange) throw;
        // The very error the map's checks raise for this picture, and no other of the kind.
        try {
            CheckRowFitsMap(pixels.widthBytes());
            CheckRowsFitMap(pixels.rows());
        } catch (const Error& beyond) {
            if (beyond.cause() != error.cause()) throw error;
            throw Error(error.kind(), error.cause(), ErrorFields(Problem::MapTooSmall));
        }
        throw;
    }
}

LoadedPicture LoadRenderedPicture(const QString& path) {
    if (IsRawFile(path)) {
        throw Error(ErrorKind::Picture,
                    "cannot load " + Native(path).toStdString() +
                        ": it is a camera's raw file; the map works on rendered pictures. "
                        "Measure a raw profile with tune --profile and correct with filter "
                        "--profile.",
                    ErrorFields(path.toStdString()));
    }
    return LoadPictureFile(path);
}

PictureSize CorrectPictureFile(const QString& input, const QString& output,
                               const std::function<void(PixelBytes&)>& correct,
                               Durability durability) {
    LoadedPicture picture = LoadRenderedPicture(input);
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    MarkMapTooSmall(pixels, [&] { correct(pixels); });
    WritePictureBytes(&picture.bitmap, size, pixels.data(), {});
    SavePictureAsBitmapFile(picture.bitmap, output, durability);
    return {picture.bitmap.width(), picture.bitmap.height(), size.bmWidthBytes, size.bmHeight};
}

PictureSize FilterPictureFile(const QString& input, const QString& output, const CorrectionMap& map,
                              FilterMode mode, std::string_view strengthText, char decimalSeparator,
                              Durability durability) {
    return CorrectPictureFile(
        input, output,
        [&](PixelBytes& pixels) {
            FilterPixelBytes(pixels, map, mode, strengthText, decimalSeparator);
        },
        durability);
}

PictureSize GainPictureFile(const QString& input, const QString& output, const CorrectionMap& map,
                            const std::array<std::uint8_t, 3>& centre, Durability durability) {
    return CorrectPictureFile(
        input, output, [&](PixelBytes& pixels) { ApplyGain(pixels, map, centre); }, durability);
}

}  // namespace velmora
