#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli filter --profiles DIR`: reads the descriptions of DIR's lens profiles and each
// input's EXIF, chooses each picture's profile or blend of profiles (see ChooseProfiles; a picture
// none serves takes `options.fallbackFile`, or is reported and not written), then corrects the
// pictures of one choice after another, so that each profile is read and each blend made once
// and let go when its last picture is done. With `options.explain`, says per picture what it
// took. Returns the process's exit status.
int RunLibraryFilterCommand(const FilterOptions& options);

}  // namespace velmora
