// Reading a lens profile file: any bytes, from a whole profile to a TIFF with a forged
// description or a header that claims a huge picture.
//
// Expected: ReadLensProfileHeader and LoadLensProfile agree on what the description says, or the
// header alone is read where the pixels are damaged; LoadLensProfile returns a profile whose flat
// matches its stated size and channels, with every value within 0..1 and the same when it keeps
// the file's values, or raises velmora::Error of kind File; nothing else escapes and nothing
// crashes, hangs or allocates past the limit.

#include <unistd.h>

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "correction/error.h"
#include "platform/lens_profile_file.h"
#include "platform/photo_file.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "lens profile: %s\n", what);
    std::abort();
}

const std::filesystem::path& ScratchFile() {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("velmora-fuzz-profile-" + std::to_string(::getpid()) + ".tif");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velmora::StartPhotoLibrary("fuzz_lens_profile");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(ScratchFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    const QString path = QString::fromStdString(ScratchFile().string());
    bool headerRead = false;
    velmora::LensProfile header;
    try {
        header = velmora::ReadLensProfileHeader(path);
        headerRead = true;
    } catch (const velmora::Error& error) {
        if (error.kind() != velmora::ErrorKind::File)
            Fail("header: error of another kind than File");
    }
    try {
        const velmora::LensProfile profile = velmora::LoadLensProfile(path);
        if (!headerRead) Fail("a profile whose header cannot be read");
        if (header.flat.width != profile.flat.width || header.flat.height != profile.flat.height ||
            header.flat.channels != profile.flat.channels || !(header.shot == profile.shot)) {
            Fail("header and profile disagree");
        }
        const velmora::FlatField& flat = profile.flat;
        if (flat.channels != 1 && flat.channels != 3) Fail("channels");
        if (flat.values.size() != flat.places() * std::size_t(flat.channels)) Fail("size");
        for (const float value : flat.values) {
            if (!(value >= 0.0f && value <= 1.0f)) Fail("value outside 0..1");
        }
        // A batch keeps the file's values instead; they must make the same flat.
        const velmora::LensProfile stored =
            velmora::LoadLensProfile(path, velmora::FlatValues::AsStored);
        if (!stored.flat.values.empty() || velmora::FlatWithValues(stored).values != flat.values)
            Fail("the file's values and the float flat disagree");
    } catch (const velmora::Error& error) {
        if (error.kind() != velmora::ErrorKind::File) Fail("error of another kind than File");
    }
    // libFuzzer ends without running exit handlers: the scratch file goes after each input.
    std::filesystem::remove(ScratchFile());
    return 0;
}
