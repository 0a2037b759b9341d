#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

// The kinds of failure a handler can end with. Every report names its kind first.
enum class ErrorKind {
    Overflow,
    SubscriptOutOfRange,
    TypeMismatch,
    FloatingPoint,
    File,
    Picture,
};

// "Overflow", "Subscript out of range", ...
const char* ErrorKindName(ErrorKind kind);

// The one exception type of the tool. what() reads "<kind>: <cause>", for example
// "Subscript out of range: the picture has 1201 rows; the correction map holds 1200."
class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& cause);

    ErrorKind kind() const { return kind_; }
    const std::string& cause() const { return cause_; }

  private:
    ErrorKind kind_;
    std::string cause_;
};

}  // namespace velmora
