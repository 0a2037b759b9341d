// The start-up load of the correction map on any "data.dat": any content, any length, and
// things of that name that are no regular file.
//
// Input: byte 0 picks what "data.dat" is (below), bytes 1-2 a signed offset from the map's
// length, byte 3 a length mode; the rest is a pattern repeated to fill the file, so lengths
// around 5,760,000 cost a few input bytes. Short inputs with mode 0 are written as they are.
//
// Expected: a regular file of at least 5,760,000 bytes loads exactly its first 5,760,000; a
// shorter one raises a File error; no file, a folder, a FIFO or a dangling link is not found.
// A load that does not succeed leaves the map as it was.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "correction/correction_map.h"
#include "correction/error.h"
#include "correction/map_store.h"

namespace {

using velmora::CorrectionMap;
using velmora::Error;
using velmora::ErrorKind;
using velmora::kMapBytes;
namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "map store: %s\n", what);
    std::abort();
}

enum class Kind { RegularFile, Missing, Folder, Fifo, LinkToFile, DanglingLink, Count };

// A folder of its own that each run works in, so the default relative name is used as the
// window uses it; removed at exit. The fuzzer's own relative paths (corpus, artifacts) need the
// first working folder back after each run.
struct Workspace {
    fs::path folder;
    int home = -1;
    Workspace() {
        // TMPDIR decides where; a memory-backed one (/dev/shm) makes each run cheaper.
        std::string name =
            (std::filesystem::temp_directory_path() / "velmora-fuzz-map-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) Fail("cannot make a temporary folder");
        folder = name;
        home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (home < 0) Fail("cannot open the working folder");
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
    void Enter() const {
        if (::chdir(folder.c_str()) != 0) Fail("cannot enter the temporary folder");
    }
    void Leave() const {
        if (::fchdir(home) != 0) Fail("cannot return to the working folder");
    }
};

void Clear() {
    std::error_code ec;
    fs::remove_all(velmora::kMapFileName, ec);
    fs::remove_all("target.dat", ec);
}

void WriteFile(const char* name, const std::vector<std::uint8_t>& content) {
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot write the test file");
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote <= 0) Fail("cannot write the test file");
        done += std::size_t(wrote);
    }
    ::close(fd);
}

// Fills one buffer kept between runs: a fresh 5.76 MB block per run costs more than the load.
const std::vector<std::uint8_t>& Content(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::uint8_t> content;
    const std::uint8_t* pattern = data + 4;
    const std::size_t patternSize = size - 4;
    const auto offset = std::int16_t(std::uint16_t(data[1] | data[2] << 8));
    std::size_t length = 0;
    switch (data[3] % 4) {
        case 0:  // the pattern alone
            length = patternSize;
            break;
        case 1:  // around the map's length
            length = std::size_t(std::int64_t(kMapBytes) + offset);
            break;
        case 2:  // a few bytes either side of it
            length = std::size_t(std::int64_t(kMapBytes) + offset % 8);
            break;
        default:  // anywhere below it, in steps
            length = std::size_t(std::uint16_t(offset)) * 88 % kMapBytes;
            break;
    }
    content.resize(length);
    if (length == 0) return content;
    if (patternSize > 0) {
        // The pattern once, then the filled part copied after itself: a few large copies.
        std::size_t filled = std::min(length, patternSize);
        std::memcpy(content.data(), pattern, filled);
        while (filled < length) {
            const std::size_t step = std::min(filled, length - filled);
            std::memcpy(content.data() + filled, content.data(), step);
            filled += step;
        }
    } else {
        // No pattern: bytes that tell their offset apart, so a shifted read shows.
        for (std::size_t i = 0; i < length; ++i)
            content[i] = std::uint8_t(i * 7 + (i >> 12));
    }
    return content;
}

void Run(const std::uint8_t* data, std::size_t size) {
    static CorrectionMap map;
    static CorrectionMap before;

    Clear();
    const auto kind = Kind(data[0] % int(Kind::Count));
    const std::vector<std::uint8_t>& content = Content(data, size);
    switch (kind) {
        case Kind::RegularFile:
            WriteFile(velmora::kMapFileName, content);
            break;
        case Kind::Missing:
            break;
        case Kind::Folder:
            fs::create_directory(velmora::kMapFileName);
            break;
        case Kind::Fifo:
            if (::mkfifo(velmora::kMapFileName, 0644) != 0) Fail("cannot make a FIFO");
            break;
        case Kind::LinkToFile:
            WriteFile("target.dat", content);
            fs::create_symlink("target.dat", velmora::kMapFileName);
            break;
        case Kind::DanglingLink:
            fs::create_symlink("target.dat", velmora::kMapFileName);
            break;
        case Kind::Count:
            break;
    }

    // The map holds the previous run's outcome plus a mark, so "unchanged" is a real test.
    map.data()[size % kMapBytes] ^= 0xA5;
    before = map;

    bool found = false;
    try {
        found = velmora::LoadCorrectionMap(map);
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::File) Fail("a kind other than File was raised");
        if (std::strstr(error.what(), velmora::kMapFileName) == nullptr) {
            Fail("the File error does not name the file");
        }
        const bool isFile = kind == Kind::RegularFile || kind == Kind::LinkToFile;
        if (!isFile || content.size() >= kMapBytes) Fail("a File error for a loadable file");
        if (!(map == before)) Fail("a failed load changed the map");
        return;
    }
    if (kind == Kind::RegularFile || kind == Kind::LinkToFile) {
        if (content.size() < kMapBytes) Fail("a short file was loaded");
        if (!found) Fail("an existing file was not found");
        if (std::memcmp(map.data(), content.data(), kMapBytes) != 0) {
            Fail("the map is not the file's first 5,760,000 bytes");
        }
    } else {
        if (found) Fail("something that is no regular file was loaded");
        if (!(map == before)) Fail("a load that found nothing changed the map");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Workspace workspace;
    if (size < 4) return 0;
    workspace.Enter();
    Run(data, size);
    workspace.Leave();
    return 0;
}
