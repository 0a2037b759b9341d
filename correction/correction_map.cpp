#include "correction/correction_map.h"

#include <string>

#include "correction/error.h"

namespace velmora {

void CheckRowFitsMap(std::int32_t widthBytes) {
    if (widthBytes > kMapRowBytes) {
        throw Error(ErrorKind::SubscriptOutOfRange,
                    "the picture has " + std::to_string(widthBytes) +
                        " bytes per row; the correction map holds " + std::to_string(kMapRowBytes) +
                        ".");
    }
}

void CheckRowsFitMap(std::int32_t rows) {
    if (rows > kMapRows) {
        throw Error(ErrorKind::SubscriptOutOfRange, "the picture has " + std::to_string(rows) +
                                                        " rows; the correction map holds " +
                                                        std::to_string(kMapRows) + ".");
    }
}

}  // namespace velmora
