#include "correction/map_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

}  // namespace

bool LoadCorrectionMap(CorrectionMap& map, const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return false;

    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(file.c_str(), "rb"),
                                                             &std::fclose);
    if (!in) ThrowFileError(file, "cannot be opened", errno);

    // Read into a buffer of our own first, so a short or failing file leaves the map as it was.
    std::vector<std::uint8_t> cells(kMapBytes);
    const std::size_t done = std::fread(cells.data(), 1, kMapBytes, in.get());
    if (done < kMapBytes && std::ferror(in.get())) ThrowFileError(file, "cannot be read", errno);
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
    WriteFileAtomically(file, map.data(), kMapBytes, Durability::FlushEachFile, writeChunk);
}

}  // namespace velmora
