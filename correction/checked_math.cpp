#include "correction/checked_math.h"

#include <cmath>
#include <limits>
#include <string>

#include "correction/error.h"

namespace velmora {
namespace {

[[noreturn]] void ThrowOverflow(std::string_view what, const std::string& detail) {
    throw Error(ErrorKind::Overflow,
                std::string(what) + " (" + detail + ") does not fit the target integer range.");
}

std::int32_t Narrow(std::int64_t exact, std::string_view what) {
    if (exact < std::numeric_limits<std::int32_t>::min() ||
        exact > std::numeric_limits<std::int32_t>::max()) {
        ThrowOverflow(what, std::to_string(exact));
    }
    return static_cast<std::int32_t>(exact);
}

template <typename Int>
Int RoundTo(double value, std::string_view what) {
    // rint rounds half to even in the default rounding mode, which the tool never changes.
    const double rounded = std::rint(value);
    if (!(rounded >= static_cast<double>(std::numeric_limits<Int>::min()) &&
          rounded <= static_cast<double>(std::numeric_limits<Int>::max()))) {
        ThrowOverflow(what,
                      std::isnan(value) ? std::string("not a number") : std::to_string(value));
    }
    return static_cast<Int>(rounded);
}

}  // namespace

std::int32_t CheckedAdd(std::int32_t a, std::int32_t b, std::string_view what) {
    return Narrow(std::int64_t{a} + b, what);
}

std::int32_t CheckedSub(std::int32_t a, std::int32_t b, std::string_view what) {
    return Narrow(std::int64_t{a} - b, what);
}

std::int32_t CheckedMul(std::int32_t a, std::int32_t b, std::string_view what) {
    return Narrow(std::int64_t{a} * b, what);
}

std::int32_t RoundToInt32(double value, std::string_view what) {
    return RoundTo<std::int32_t>(value, what);
}

std::int16_t RoundToInt16(double value, std::string_view what) {
    return RoundTo<std::int16_t>(value, what);
}

}  // namespace velmora
