#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "correction/atomic_file.h"
#include "correction/correction_map.h"

namespace velmora {

// The store's name, relative: it lies in the process's current directory at each call.
inline constexpr char kMapFileName[] = "data.dat";

// Restores `map` from `file`: the first 5,760,000 bytes, row after row of 4800, no header.
// Returns false, touching nothing, when no regular file of that name exists. A file that cannot
// be read, or is shorter than a map, raises ErrorKind::File and leaves `map` as it was.
bool LoadCorrectionMap(CorrectionMap& map, const std::filesystem::path& file = kMapFileName);

// Stores all 5,760,000 cells in `file`, flushed to disk and renamed over the old file (see
// WriteFileAtomically): a save that fails at any point leaves the old file whole and raises
// ErrorKind::File. A read-only `file` is refused.
void SaveCorrectionMap(const CorrectionMap& map, const std::filesystem::path& file = kMapFileName,
                       const ChunkWriter& writeChunk = {});

}  // namespace velmora
