#pragma once

#include <QString>
#include <string_view>

#include "correction/atomic_file.h"
#include "correction/correction_map.h"
#include "correction/filtering.h"

namespace velmora {

// "load", "filtering" and "save(bmp)" on one picture file, through the very calls the window's
// handlers make: LoadPictureFile, ReadPictureBytes, FilterPixelBytes, WritePictureBytes,
// SavePictureAsBitmapFile. So a picture filtered here and one filtered in the window come out
// as the same bytes. `map` is only read, so several threads may share it.
//
// Raises the velmora::Error of the first step that fails; `output` is then left as it was, as
// the save is the last step and replaces the file in one rename. With FlushLater the caller
// flushes the outputs' file systems once the batch is done.
void FilterPictureFile(const QString& input, const QString& output, const CorrectionMap& map,
                       FilterMode mode, std::string_view strengthText, char decimalSeparator,
                       Durability durability = Durability::FlushEachFile);

}  // namespace velmora
