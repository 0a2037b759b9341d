#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <vector>

#include "correction/frame_combine.h"
#include "engine/work_pool.h"
#include "platform/frame_file.h"

namespace velmora {

// What each frame is multiplied by before it is combined: nothing, or what brings its mean (or
// median) to the first frame's, per position of a mosaic and per channel, for flats of
// different exposure.
enum class FrameScale { None, Mean, Median };

struct MasterRequest {
    QStringList frames;
    QString output;  // FITS by its suffix, else a 32-bit float TIFF
    CombineRule rule;
    FrameScale scale = FrameScale::None;
    // The bytes of frames' rows held at once; the bands of rows are sized to it.
    std::int64_t bandBytes = std::int64_t(64) << 20;
};

struct MasterResult {
    FrameInfo info;                           // of the master, the first frame's layout
    std::int64_t rejected = 0;                // values left out (or replaced, winsorized)
    std::int64_t values = 0;                  // every frame's samples
    std::vector<std::vector<double>> scales;  // per frame, per position; empty without scaling
};

// Combines the frames place by place by `request.rule` into the master, a band of rows of every
// frame at a time, the places of a band spread over `pool`; the master carries the first
// frame's header cards and records the method, its K, the frames (IMCMBnnn), their count and
// the values rejected. Raises ErrorKind::Picture naming both files when a frame differs from the
// first in size, channels or mosaic, or its mean or median to scale by is not a positive number;
// what reading and writing raise. Nothing is written unless every frame is combined.
MasterResult CombineMaster(const MasterRequest& request, WorkPool& pool);

}  // namespace velmora
