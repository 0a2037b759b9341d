#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "correction/bitmap.h"
#include "correction/correction_map.h"
#include "correction/tuning_summary.h"
#include "platform/picture_file.h"

namespace velmora {

// What tuning the map from a reference picture takes.
struct MapTuning {
    QString reference;
    QString mapFile;
    int smoothRadius = 0;  // 0: the reference is tuned as it is read in
};

// What a tuning did.
struct TunedMap {
    bool found = false;  // the map file was there before (the cells outside the area kept)
    TuneSummary summary;
    std::int32_t widthPixels = 0;
    QString sidecarFile;
    // For the preview.
    std::shared_ptr<const CorrectionMap> map;
    std::shared_ptr<LoadedPicture> picture;
    BITMAP size;
};

// "load", "tuning" and the map's store, through the very calls the window's handlers make, from
// the map file's cells (all zero without one): the reference's bytes (smoothed first when asked,
// see SmoothPixelBytes; the summary looks at them as read in) replace the cells of its area, the
// map is stored, and then its sidecar (see MapSidecar). Raises what fails (a map too small for
// the picture as Problem::MapTooSmall); the map and its sidecar are replaced together or, as far
// as that can be known beforehand, not at all.
TunedMap TuneMapFile(const MapTuning& tuning);

// "save(bmp)" of the map's picture in place of the reference's (see MapPreview) at `file`.
void SaveMapPreview(const TunedMap& tuned, const QString& file);

}  // namespace velmora
