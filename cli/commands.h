#pragma once

#include "cli/command_line.h"

namespace velmora {

// Each command returns the process's exit status. Each plans every file it writes first and
// refuses, before anything is read, a plan that would lose a file.

// `tune`: the window's "load" and "tuning" on the reference, smoothed first when asked (see
// TuneMapFile); prints the summary, and writes the preview last.
int RunTuneCommand(const TuneOptions& options);

// `tune REFERENCE... --profile FILE`: measures a lens profile (see MeasureLensProfile), warns
// about what the references show, writes it (see SaveLensProfile) and prints its summary.
int RunProfileTuneCommand(const TuneOptions& options);

// `filter`: by the map, by a lens profile or by a library of them, as the options say. By the
// map, gain mode is refused without a sidecar that describes the map; a picture of another size
// than the sidecar's reference gets a warning, its result unchanged.
int RunFilterCommand(const FilterOptions& options);

// `filter --profile FILE`: reads the profile's description, then corrects the inputs
// `options.jobs` at a time within `options.memory`, each written in `options.format` with the
// input's metadata. A profile that cannot be read stops the batch before a picture is written.
int RunProfileFilterCommand(const FilterOptions& options);

// `filter --profiles DIR`: each picture by the profiles its EXIF calls for (see LibraryCorrector;
// one none serves takes `options.fallbackFile`, or is reported and not written); with
// `options.explain`, says per picture what it took, and counts the pictures per profile.
int RunLibraryFilterCommand(const FilterOptions& options);

// `profiles DIR`: a table of the folder's lens profiles, then each file that is not a valid
// one with what is wrong (status 1); `profiles --plot PROFILE OUT.png`: the profile drawn.
int RunProfilesCommand(const ProfilesOptions& options);

// `tune FRAME... --profile FLAT`, for frames (FITS, float TIFF; see IsFrameFile): the flat less
// the darks or bias (see MeasureFrameFlat), written as a float frame, with its summary and,
// from two references or more, the sensor's PRNU and DSNU.
int RunFrameTuneCommand(const TuneOptions& options);

// `filter --profile FLAT FRAME...`: each light frame calibrated (see CalibrateFrame) into a
// float frame of its own format, `options.jobs` at a time.
int RunFrameFilterCommand(const FilterOptions& options);

// `master`: the frames combined into the master (see CombineMaster), with the values rejected
// and each frame's scale printed. Refuses a master that would replace one of its frames.
int RunMasterCommand(const MasterOptions& options);

// The threads of a batch's pool: one per job, and at least one per core.
int PoolThreads(int jobs);

}  // namespace velmora
