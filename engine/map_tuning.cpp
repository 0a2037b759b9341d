#include "engine/map_tuning.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <vector>

#include "correction/atomic_file.h"
#include "correction/correction_map.h"
#include "correction/error.h"
#include "correction/map_store.h"
#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "correction/smoothing.h"
#include "correction/tuning.h"
#include "engine/map_round_trip.h"
#include "engine/map_sidecar.h"

namespace velmora {
namespace {

std::filesystem::path PathOf(const QString& file) {
    return std::filesystem::path(QFile::encodeName(file).constData());
}

// The map and its sidecar are replaced together or not at all, as far as that can be known
// beforehand: a sidecar that could not be replaced would be left describing an older map.
void CheckSidecarReplaceable(const std::filesystem::path& file) {
    struct stat existing {};
    if (::stat(file.c_str(), &existing) != 0) return;
    if ((existing.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0) {
        throw Error(ErrorKind::File, "cannot save " + file.string() +
                                         ": it is read-only; the map was left as it is.");
    }
}

MapSidecar DescribeTuning(const MapTuning& tuning, const LoadedPicture& picture, const BITMAP& size,
                          const ReferenceGroup& reference, const CorrectionMap& map) {
    MapSidecar sidecar;
    sidecar.mapFileName = QFileInfo(tuning.mapFile).fileName();
    sidecar.mapSha256 = MapSha256(map);
    sidecar.referenceFileName = QFileInfo(tuning.reference).fileName();
    sidecar.widthPixels = picture.bitmap.width();
    sidecar.heightPixels = picture.bitmap.height();
    sidecar.widthBytes = size.bmWidthBytes;
    sidecar.rows = size.bmHeight;
    sidecar.centreRow = reference.row;
    sidecar.centreByte = reference.bytes[0];
    sidecar.centre = reference.values;
    sidecar.smoothRadius = tuning.smoothRadius;
    return sidecar;
}

void WriteSidecar(const MapSidecar& sidecar, const QString& sidecarFile, const QString& mapFile) {
    const QByteArray json = SidecarToJson(sidecar);
    try {
        WriteFileAtomically(PathOf(sidecarFile),
                            reinterpret_cast<const std::uint8_t*>(json.constData()),
                            std::size_t(json.size()), Durability::FlushEachFile);
    } catch (const Error& error) {
        throw Error(error.kind(),
                    error.cause() + " The map was stored in " + PathOf(mapFile).string() +
                        "; without its sidecar, gain mode and the size check cannot use it.");
    }
}

}  // namespace

TunedMap TuneMapFile(const MapTuning& tuning) {
    TunedMap tuned;
    tuned.sidecarFile = SidecarPathFor(tuning.mapFile);
    // Cells outside the reference's area keep what the file held.
    auto kept = std::make_shared<CorrectionMap>();
    CorrectionMap& map = *kept;
    tuned.found = LoadCorrectionMap(map, PathOf(tuning.mapFile));

    tuned.picture = std::make_shared<LoadedPicture>(LoadRenderedPicture(tuning.reference));
    LoadedPicture& picture = *tuned.picture;
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    // Tuning measures the smoothed copy; the clipping warning looks at the bytes as read in,
    // where a blown highlight is still at 255.
    PixelBytes smoothed;
    if (tuning.smoothRadius > 0) {
        smoothed = pixels;
        SmoothPixelBytes(smoothed, tuning.smoothRadius);
    }
    ReferenceGroup reference;
    MarkMapTooSmall(pixels, [&] {
        reference = TuneCorrectionMap(tuning.smoothRadius > 0 ? smoothed : pixels, map);
    });
    CheckSidecarReplaceable(PathOf(tuned.sidecarFile));
    SaveCorrectionMap(map, PathOf(tuning.mapFile));
    WriteSidecar(DescribeTuning(tuning, picture, size, reference, map), tuned.sidecarFile,
                 tuning.mapFile);

    tuned.summary = SummarizeTuning(pixels, reference, map);
    tuned.summary.smoothRadius = tuning.smoothRadius;
    tuned.widthPixels = picture.bitmap.width();
    tuned.map = std::move(kept);
    tuned.size = size;
    return tuned;
}

void SaveMapPreview(const TunedMap& tuned, const QString& file) {
    const std::vector<std::uint8_t> preview =
        MapPreview(*tuned.map, tuned.size.bmWidthBytes, tuned.size.bmHeight);
    WritePictureBytes(&tuned.picture->bitmap, tuned.size, preview.data(), {});
    SavePictureAsBitmapFile(tuned.picture->bitmap, file);
}

}  // namespace velmora
