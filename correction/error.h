#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

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

// What exactly went wrong where a front end can advise what to do about it; the sentence of the
// error states it, these let the front end add its own words (an option to use, say).
enum class Problem {
    Unspecified,
    EightBitFormat,  // a picture of more than 8 bits for a format that holds 8
    AspectRatio,     // a picture of another aspect ratio than its lens profile's
    ProfileVersion,  // a lens profile of a version this program does not read
    MemoryBudget,    // more memory than the budget allows
    OutOfMemory,     // the system refused memory
    ShotsDiffer,     // references of a lens profile shot with other settings
    MapTooSmall,     // a picture larger than the correction map serves
};

// The facts an error names besides its sentence: the file it concerns and, where they matter,
// sizes (pixels, or bytes for memory).
struct ErrorFields {
    Problem problem = Problem::Unspecified;
    std::string file;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t otherWidth = 0;
    std::int64_t otherHeight = 0;

    ErrorFields() = default;
    explicit ErrorFields(Problem what, std::string about = {})
        : problem(what), file(std::move(about)) {}
    explicit ErrorFields(std::string about) : file(std::move(about)) {}
    // The picture's size, and the other one it was measured against.
    ErrorFields& Sizes(std::int64_t w, std::int64_t h, std::int64_t otherW, std::int64_t otherH) {
        width = w;
        height = h;
        otherWidth = otherW;
        otherHeight = otherH;
        return *this;
    }
};

// The one exception type of the tool. what() reads "<kind>: <cause>", for example
// "Subscript out of range: the picture has 1201 rows; the correction map holds 1200."
class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& cause, ErrorFields fields = {});

    ErrorKind kind() const { return kind_; }
    const std::string& cause() const { return cause_; }
    const ErrorFields& fields() const { return fields_; }
    Problem problem() const { return fields_.problem; }

  private:
    ErrorKind kind_;
    std::string cause_;
    ErrorFields fields_;
};

}  // namespace velmora
