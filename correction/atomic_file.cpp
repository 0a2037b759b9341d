#include "correction/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "correction/error.h"

namespace velmora {
namespace {

[[noreturn]] void ThrowCannotSave(const std::filesystem::path& file, const std::string& reason) {
    throw Error(ErrorKind::File, "cannot save " + file.string() + ": " + reason + ".");
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

std::filesystem::path FolderOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

void SyncFolderOf(const std::filesystem::path& file) {
    // Makes the rename itself durable; a folder that cannot be opened only loses that guarantee.
    const int fd = ::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

namespace {

// The steps every atomic replacement shares: the target resolved and checked, `fill` writing the
// temporary file beside it through its open descriptor and path, the flush the durability asks
// for, and the rename. A failure removes the temporary file and raises "cannot save <file>".
void ReplaceAtomically(
    const std::filesystem::path& name, Durability durability,
    const std::function<void(int fd, const std::filesystem::path& temporary,
                             const std::function<void(const std::string&)>& fail)>& fill) {
    // A link is written through, so that the file it points to gets the new content and the link
    // stays a link; the rename then happens beside the file itself.
    std::error_code ec;
    std::filesystem::path file = name;
    if (std::filesystem::is_symlink(name, ec)) {
        file = std::filesystem::canonical(name, ec);
        if (ec) ThrowCannotSave(name, "it is a link to a file that does not exist");
    }
    struct stat existing {};
    const bool exists = ::stat(file.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) ThrowCannotSave(name, "it is a folder");
    if (exists && ((existing.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0)) {
        ThrowCannotSave(name, "it is read-only");
    }

    const std::filesystem::path temporary = TemporaryNameBeside(file);
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) ThrowCannotSave(name, std::strerror(errno));

    const auto fail = [&](const std::string& reason) {
        ::unlink(temporary.c_str());
        ThrowCannotSave(name, reason);
    };
    if (exists) ::fchmod(fd.get(), existing.st_mode & 07777);
    try {
        fill(fd.get(), temporary, fail);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (durability == Durability::FlushEachFile && ::fdatasync(fd.get()) != 0) {
        fail(std::string("flushing to disk failed: ") + std::strerror(errno));
    }
#ifdef SYNC_FILE_RANGE_WRITE
    // Start the disk writes now, without waiting for them, so that they overlap with the work on
    // the next files instead of all piling up for the later flush.
    if (durability == Durability::FlushLater) {
        ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
#endif
    if (fd.Close() != 0) fail(std::strerror(errno));
    if (::rename(temporary.c_str(), file.c_str()) != 0) fail(std::strerror(errno));
    if (durability == Durability::FlushEachFile) SyncFolderOf(file);
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& name, const std::uint8_t* bytes,
                         std::size_t count, Durability durability, const ChunkWriter& writeChunk) {
    ReplaceAtomically(
        name, durability, [&](int fd, const std::filesystem::path&, const auto& fail) {
            const ChunkWriter& write = writeChunk ? writeChunk : ChunkWriter(PosixWrite);
            std::size_t done = 0;
            while (done < count) {
                const long wrote = write(fd, bytes + done, count - done);
                if (wrote < 0 && errno == EINTR) continue;
                if (wrote <= 0) {
                    fail(std::string("writing stopped after ") + std::to_string(done) + " of " +
                         std::to_string(count) +
                         " bytes: " + std::strerror(wrote < 0 ? errno : ENOSPC));
                }
                done += std::size_t(wrote);
            }
        });
}

void ReplaceFileAtomically(
    const std::filesystem::path& name, Durability durability,
    const std::function<void(const std::filesystem::path& temporary)>& write) {
    ReplaceAtomically(
        name, durability,
        [&](int, const std::filesystem::path& temporary, const auto&) { write(temporary); });
}

FileSystemFlush::FileSystemFlush(const std::filesystem::path& folder)
    : folder_(folder.empty() ? "." : folder),
      fd_(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

FileSystemFlush::~FileSystemFlush() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSystemFlush::Flush(const Syncer& sync) const {
    if (fd_ < 0) {
        ::sync();
        return;
    }
    if ((sync ? sync(fd_) : ::syncfs(fd_)) != 0) {
        throw Error(ErrorKind::File,
                    "cannot flush " + folder_.string() + " to disk: " + std::strerror(errno) + ".");
    }
}

}  // namespace velmora
