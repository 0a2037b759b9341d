#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

namespace velmora {

// Writes one chunk to an open descriptor, like POSIX write(): returns the number of bytes
// written, or -1 with errno set. Tests pass their own to make a save fail part-way.
using ChunkWriter = std::function<long(int fd, const std::uint8_t* bytes, std::size_t count)>;

enum class Durability {
    FlushEachFile,  // on disk before the name is replaced: survives a power loss at once
    FlushLater,     // replaced in one rename, flushed by a FileSystemFlush made before
};

// Writes `count` bytes as the whole new content of `file`. They go to a temporary file beside it
// that is renamed over `file`, so a save that fails at any point, or a process killed during it,
// leaves the old file whole; the temporary file is removed on failure. An existing file keeps
// its permission bits; a link keeps pointing at the file it names, which gets the content. A file
// that is a folder, or whose permission bits allow no writing, is not replaced, even for a user who
// could write through the bits. Raises ErrorKind::File as "cannot save <file>: <reason>".
void WriteFileAtomically(const std::filesystem::path& file, const std::uint8_t* bytes,
                         std::size_t count, Durability durability,
                         const ChunkWriter& writeChunk = {});

// The same replacement, for content that a library writes to a file by its name: `write` makes
// the temporary file at the path it is given (which exists, empty, with the target's permission
// bits); what it raises is passed on, the temporary file removed.
void ReplaceFileAtomically(
    const std::filesystem::path& file, Durability durability,
    const std::function<void(const std::filesystem::path& temporary)>& write);

// Flushes to disk what was written on the file system that holds `folder`. Make it before the
// writes it is to flush: the system reports a failed write-back only through descriptors opened
// before the failure, and writes can fail in the background long before Flush() is called.
class FileSystemFlush {
  public:
    // Flushes the file system's dirty data through a descriptor, like syncfs(): 0 or -1 and errno.
    using Syncer = std::function<int(int fd)>;

    explicit FileSystemFlush(const std::filesystem::path& folder);
    FileSystemFlush(const FileSystemFlush&) = delete;
    FileSystemFlush& operator=(const FileSystemFlush&) = delete;
    ~FileSystemFlush();

    // Raises ErrorKind::File as "cannot flush <folder> to disk: <reason>." when a write since
    // construction failed or the flush itself does. A folder that could not be opened is flushed
    // with the whole system's sync(), which reports nothing.
    void Flush(const Syncer& sync = {}) const;

  private:
    std::filesystem::path folder_;
    int fd_;
};

}  // namespace velmora
