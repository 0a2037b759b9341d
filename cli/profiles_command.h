#pragma once

#include "cli/command_line.h"

namespace velmora {

// `velmora-cli profiles DIR`: a table of the folder's lens profiles (camera, lens, focal length,
// f-number, size, corner falloff and colour cast), then each file that is not a valid profile
// with what is wrong; exit status 1 when there is one. `profiles --plot PROFILE OUT.png`: the
// profile drawn as a picture. Returns the process's exit status.
int RunProfilesCommand(const ProfilesOptions& options);

}  // namespace velmora
