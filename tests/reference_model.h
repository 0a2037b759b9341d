#pragma once

// A literal model of tuning and filtering, written step by step as the handlers are described:
// every array access tested on its own, every floating-point step followed by a test of the
// exception flags, a double division per byte. Slow and plain on purpose: the fast core is
// compared with it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "correction/error.h"

namespace velmora::reference {

struct Picture {
    std::int32_t w = 0;  // bytes per row
    std::int32_t h = 0;  // rows
    std::vector<std::uint8_t> bytes;
};

// Both return the kind of the error that stops the press, or nothing on success.
// Tuning writes cells as it goes, so a failure part-way leaves the cells written before it;
// `picture` receives the preview only on success.
std::optional<ErrorKind> Tune(Picture& picture, std::vector<std::uint8_t>& map);

// Filtering corrects a copy and writes it back only on success.
std::optional<ErrorKind> Filter(Picture& picture, const std::vector<std::uint8_t>& map, int check1,
                                int check2, const std::string& text, char separator);

}  // namespace velmora::reference
