#include "correction/map_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "correction/error.h"

namespace velmora {
namespace {

[[noreturn]] void ThrowFileError(const std::filesystem::path& file, const std::string& what,
                                 int errorNumber) {
    std::string cause = "\"" + file.string() + "\" " + what;
    if (errorNumber != 0) cause += ": " + std::string(std::strerror(errorNumber));
    throw Error(ErrorKind::File, cause + ".");
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports the close's own failure, which can be a delayed write error.
    int Close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

long PosixWrite(int fd, const std::uint8_t* bytes, std::size_t count) {
    return static_cast<long>(::write(fd, bytes, count));
}

std::filesystem::path TemporaryNameBeside(const std::filesystem::path& file) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path name = file;
    name += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    return name;
}

void SyncFolderOf(const std::filesystem::path& file) {
    // Makes the rename itself durable; a folder that cannot be opened only loses that guarantee.
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool LoadCorrectionMap(CorrectionMap& map, const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return false;

    Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) ThrowFileError(file, "cannot be opened", errno);

    // Read into a buffer of our own first, so a short or failing file leaves the map as it was.
    std::vector<std::uint8_t> cells(kMapBytes);
    std::size_t done = 0;
    while (done < kMapBytes) {
        const ssize_t got = ::read(fd.get(), cells.data() + done, kMapBytes - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            ThrowFileError(file, "cannot be read", errno);
        }
        if (got == 0) break;
        done += std::size_t(got);
    }
    if (done < kMapBytes) {
        ThrowFileError(file,
                       "is " + std::to_string(done) + " bytes long, not a correction map of " +
                           std::to_string(kMapBytes) + " bytes; it was left as it is",
                       0);
    }
    std::memcpy(map.data(), cells.data(), kMapBytes);
    return true;
}

void SaveCorrectionMap(const CorrectionMap& map, const std::filesystem::path& file,
                       const ChunkWriter& writeChunk) {
    struct stat existing {};
    const bool exists = ::stat(file.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) ThrowFileError(file, "is a folder", EISDIR);
    // A map marked read-only is kept even from a user who could write through the bits.
    if (exists && ((existing.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0)) {
        ThrowFileError(file, "is read-only and cannot be replaced", 0);
    }

    const std::filesystem::path temporary = TemporaryNameBeside(file);
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) ThrowFileError(file, "cannot be written", errno);

    const auto fail = [&](const std::string& what, int errorNumber) {
        ::unlink(temporary.c_str());
        ThrowFileError(file, what, errorNumber);
    };
    if (exists) ::fchmod(fd.get(), existing.st_mode & 07777);

    const ChunkWriter& write = writeChunk ? writeChunk : ChunkWriter(PosixWrite);
    std::size_t done = 0;
    while (done < kMapBytes) {
        const long wrote = write(fd.get(), map.data() + done, kMapBytes - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) fail("could not be written whole", wrote < 0 ? errno : ENOSPC);
        done += std::size_t(wrote);
    }
    if (::fsync(fd.get()) != 0) fail("could not be flushed to disk", errno);
    if (fd.Close() != 0) fail("could not be written whole", errno);
    if (::rename(temporary.c_str(), file.c_str()) != 0) fail("could not be replaced", errno);
    SyncFolderOf(file);
}

}  // namespace velmora
