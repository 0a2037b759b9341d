#include "correction/error.h"

#include <utility>

namespace velmora {

const char* ErrorKindName(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Overflow:
            return "Overflow";
        case ErrorKind::SubscriptOutOfRange:
            return "Subscript out of range";
        case ErrorKind::TypeMismatch:
            return "Type mismatch";
        case ErrorKind::FloatingPoint:
            return "Floating-point error";
        case ErrorKind::File:
            return "File error";
        case ErrorKind::Picture:
            return "Picture error";
    }
    return "Error";
}

Error::Error(ErrorKind kind, const std::string& cause, ErrorFields fields)
    : std::runtime_error(std::string(ErrorKindName(kind)) + ": " + cause),
      kind_(kind),
      cause_(cause),
      fields_(std::move(fields)) {}

}  // namespace velmora
