// Reading a raw file through LibRaw: any bytes, from a whole DNG to one cut short or with
// flipped bits, as a file of a raw format's suffix.
//
// Expected: ReadRaw returns a picture whose samples fill its stated size and whose levels and
// pattern are ones the correction can use, or raises velmora::Error of kind Picture; nothing
// else escapes, and nothing crashes or hangs.

#include <unistd.h>

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "correction/error.h"
#include "platform/raw_file.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "raw file: %s\n", what);
    std::abort();
}

const std::filesystem::path& ScratchFile() {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("velmora-fuzz-raw-" + std::to_string(::getpid()) + ".dng");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(ScratchFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    const QString path = QString::fromStdString(ScratchFile().string());
    try {
        const velmora::RawPicture picture = velmora::ReadRaw(path);
        const velmora::RawHeader& header = picture.header;
        if (picture.samples.size() !=
            std::size_t(header.width) * std::size_t(header.height) * std::size_t(header.channels))
            Fail("samples do not fill the stated size");
        if (header.cfa.empty() != (header.channels == 3)) Fail("pattern and channels disagree");
        if (!(header.levels.white > 0)) Fail("no white level");
    } catch (const velmora::Error& error) {
        if (error.kind() != velmora::ErrorKind::Picture) Fail("error of another kind than Picture");
    }
    return 0;
}
