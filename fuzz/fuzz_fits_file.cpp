// Reading a frame through cfitsio: any bytes as a .fits file, from a whole FITS to one cut short
// or with a damaged header.
//
// Expected: FrameReader opens a frame of 1 or 3 channels whose every row reads, or raises
// velmora::Error of kind File; nothing else escapes, and nothing crashes or hangs.

#include <unistd.h>

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "correction/error.h"
#include "platform/frame_file.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "FITS frame: %s\n", what);
    std::abort();
}

const std::filesystem::path& ScratchFile() {
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("velmora-fuzz-fits-" + std::to_string(::getpid()) + ".fits");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(ScratchFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    try {
        const auto frame =
            velmora::FrameReader::Open(QString::fromStdString(ScratchFile().string()));
        const velmora::FrameInfo& info = frame->info();
        if (info.width <= 0 || info.height <= 0 || (info.channels != 1 && info.channels != 3))
            Fail("a frame of no size or of other channels");
        // The file holds every sample it states (checked on opening), so a row costs at most
        // the file's own bytes.
        std::vector<float> row(std::size_t(info.width * info.channels));
        for (std::int64_t y = 0; y < info.height; ++y)
            frame->ReadRows(y, 1, row.data());
    } catch (const velmora::Error& error) {
        if (error.kind() != velmora::ErrorKind::File) Fail("error of another kind than File");
    }
    return 0;
}
