// "load" on any bytes: LoadPictureFile, the call the window and velmora-cli make, on a file
// that holds the input. It must end in a picture of the byte model or in a Picture error that
// names the file; never a crash, a hang, another exception, or an allocation past Qt's limit
// for image readers (scripts/fuzz sets -malloc_limit_mb just above it).
//
// Input: byte 0 picks the file's suffix (Qt tries the reader for a known suffix first, and
// some formats have no signature of their own), the rest is the file's content.

#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QImageReader>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "correction/error.h"
#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "correction/bitmap.h"
#include "platform/picture_file.h"

namespace {

using velmora::Error;
using velmora::ErrorKind;

constexpr const char* kSuffixes[] = {"",     ".bmp", ".jpg",  ".png",  ".gif", ".tga",
                                     ".ico", ".tif", ".webp", ".wbmp", ".pbm", ".svg",
                                     ".xpm", ".mng", ".icns", ".jpeg"};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "picture load: %s\n", what);
    std::abort();
}

struct Workspace {
    std::string folder;
    Workspace() {
        // TMPDIR decides where; a memory-backed one (/dev/shm) makes each run cheaper.
        std::string name =
            (std::filesystem::temp_directory_path() / "velmora-fuzz-picture-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) Fail("cannot make a temporary folder");
        folder = name;
    }
    ~Workspace() {
        for (const char* suffix : kSuffixes)
            ::unlink((folder + "/picture" + suffix).c_str());
        ::rmdir(folder.c_str());
    }
};

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) Fail("cannot write the test file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) Fail("cannot write the test file");
    if (std::fclose(file) != 0) Fail("cannot write the test file");
}

// The decoders are system libraries without coverage of their own, so what they did is fed back
// as extra counters: an input is kept when it reaches a new outcome (the reader that took it,
// a new size class or row filler, a new error reason), which spreads the corpus over formats.
__attribute__((used, section("__libfuzzer_extra_counters"))) std::uint8_t gOutcomes[1 << 12];

void NoteOutcome(std::size_t suffix, const QByteArray& format, const std::string& detail) {
    const std::size_t key = std::hash<std::string>{}(std::to_string(suffix) + "/" +
                                                     format.toStdString() + "/" + detail);
    gOutcomes[key % std::size(gOutcomes)] = 1;
}

int SizeClass(int pixels) {
    int bits = 0;
    while (pixels > 0) {
        pixels >>= 1;
        ++bits;
    }
    return bits;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The readers' warnings about each broken input would drown the fuzzer's own output.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // Image reader plugins are found through the application object, as in the programs.
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Workspace workspace;
    if (size == 0) return 0;
    const std::size_t suffix = data[0] % std::size(kSuffixes);
    const std::string path = workspace.folder + "/picture" + kSuffixes[suffix];
    WriteFile(path, data + 1, size - 1);
    const QByteArray format = QImageReader::imageFormat(QString::fromStdString(path));

    const std::size_t limit = std::size_t(QImageReader::allocationLimit()) << 20;
    try {
        velmora::LoadedPicture loaded = velmora::LoadPictureFile(QString::fromStdString(path));
        const velmora::Bitmap& bitmap = loaded.bitmap;
        if (bitmap.width() <= 0 || bitmap.height() <= 0) Fail("an empty picture was loaded");
        if (bitmap.rowBytes() != velmora::Bitmap::RowBytesFor(bitmap.width())) {
            Fail("the rows are not 3 x width rounded up to even");
        }
        if (bitmap.byteCount() != std::size_t(bitmap.rowBytes()) * std::size_t(bitmap.height())) {
            Fail("the bitmap's size does not match its rows");
        }
        if (limit > 0 && bitmap.byteCount() > limit) Fail("the bitmap is past Qt's limit");
        if (loaded.widthHimetric < 0 || loaded.heightHimetric < 0) Fail("a negative size");

        // The read-in of tuning and filtering sees the same rows.
        velmora::PixelBytes pixels;
        const velmora::BITMAP read = velmora::ReadPictureBytes(&bitmap, pixels);
        if (read.bmHeight != bitmap.height() || read.bmWidthBytes != bitmap.rowBytes() ||
            std::memcmp(pixels.data(), bitmap.bits(), bitmap.byteCount()) != 0) {
            Fail("the read-in differs from the bitmap");
        }
        NoteOutcome(suffix, format,
                    std::to_string(SizeClass(bitmap.width())) + "x" +
                        std::to_string(SizeClass(bitmap.height())) + "/" +
                        std::to_string(bitmap.width() % 2));
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::Picture) Fail("a kind other than Picture was raised");
        const char* at = std::strstr(error.what(), path.c_str());
        if (at == nullptr) Fail("the Picture error does not name the file");
        NoteOutcome(suffix, format, at + path.size());
    }
    return 0;
}
