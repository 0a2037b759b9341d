#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora {

// The libraries the picture services run on, each with the version this program runs against
// (as the library reports it at run time), for bug reports: Qt, libvips, LibRaw, cfitsio, Little
// CMS, Exiv2, libtiff.
std::vector<std::pair<std::string, std::string>> LibraryVersions();

}  // namespace velmora
