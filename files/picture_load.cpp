#include "files/picture_load.h"

#include "correction/checked_math.h"

namespace velmora {

std::int16_t ScrollMaximumFor(std::int32_t himetric, std::string_view what) {
    return RoundToInt16(double(himetric) / 30.0, what);
}

QString ProposedOutputName(const QString& inputPath) {
    return inputPath + QStringLiteral(".bmp");
}

}  // namespace velmora
