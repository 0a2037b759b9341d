#include "platform/library_versions.h"

#include <fitsio.h>
#include <lcms2.h>
#include <libraw/libraw.h>
#include <tiffio.h>
#include <vips/vips.h>

#include <QtGlobal>
#include <cstdio>
#include <exiv2/exiv2.hpp>

namespace velmora {
namespace {

// libtiff's version text is a paragraph; its first line holds the number.
std::string FirstLine(const char* text) {
    const std::string all = text != nullptr ? text : "";
    return all.substr(0, all.find('\n'));
}

}  // namespace

std::vector<std::pair<std::string, std::string>> LibraryVersions() {
    float fitsVersion = 0;
    fits_get_version(&fitsVersion);
    char fits[16];
    std::snprintf(fits, sizeof fits, "%.2f", double(fitsVersion));
    // Little CMS encodes its version as major x 1000 + minor x 10.
    const int cms = cmsGetEncodedCMMversion();
    char lcms[16];
    std::snprintf(lcms, sizeof lcms, "%d.%d", cms / 1000, cms % 1000 / 10);
    return {
        {"Qt", qVersion()},
        {"libvips", vips_version_string()},
        {"LibRaw", libraw_version()},
        {"cfitsio", fits},
        {"Little CMS", lcms},
        {"Exiv2", Exiv2::versionString()},
        {"libtiff", FirstLine(TIFFGetVersion())},
    };
}

}  // namespace velmora
