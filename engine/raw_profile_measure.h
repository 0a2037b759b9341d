#pragma once

#include <QString>

#include "engine/lens_profile_measure.h"
#include "platform/raw_file.h"

namespace velmora {

// A raw profile (see RawProfileInfo) from raw references of one camera, size and layout: the
// signal S = L - D of each sample with the dark frame D, else L - B with the black level B of
// its position, averaged place by place over the references, smoothed plane by plane (the
// radius in a plane's places) and normalised per plane to `measurement.level`. Raises
// ErrorKind::Picture naming the files when the references, or the dark frame, differ in size,
// layout or camera, and what reading raises.
MeasuredProfile MeasureRawProfile(const ProfileMeasurement& measurement);

// Raises ErrorKind::Picture naming both files unless `dark` (of the file `darkPath`) is of the
// camera, size and layout of `light` (of `lightPath`).
void CheckDarkFits(const RawHeader& dark, const QString& darkPath, const RawHeader& light,
                   const QString& lightPath);

}  // namespace velmora
