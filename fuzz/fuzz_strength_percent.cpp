// The strength percentage conversion on any text, with '.' or ',' as the decimal separator.
// Input: byte 0 picks the separator (odd: ','), the rest is the text.
//
// A grammar written here on its own decides which texts are numbers; std::from_chars, a
// converter that does not go through strtod, gives the value. The conversion must agree with
// both: a number gives exactly that double, or Overflow past the double range; anything else
// gives TypeMismatch.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "correction/error.h"
#include "correction/filtering.h"

namespace {

using velmora::Error;
using velmora::ErrorKind;

[[noreturn]] void Fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "strength percentage \"%.*s\": %s\n", int(text.size()), text.data(), what);
    std::abort();
}

struct Grammar {
    bool number = false;
    bool negative = false;
    std::string plain;         // sign dropped, separator as '.', for std::from_chars
    bool allZero = true;       // every mantissa digit is 0
    std::int64_t leading = 0;  // decimal exponent of the first non-zero mantissa digit
};

bool Blank(char c) {
    return c == ' ' || c == '\t';
}
bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// blanks [sign] (digits [sep digits*] | sep digits) [(e|E) [sign] digits] blanks
Grammar Parse(std::string_view text, char separator) {
    enum State { Start, Sign, Int, Sep, Frac, Exp, ExpSign, ExpDigits, Trail };
    Grammar g;
    State state = Start;
    std::int64_t intDigits = 0;  // mantissa digits before the separator, leading zeros dropped
    std::int64_t fracZeros = 0;  // zeros after the separator before the first non-zero digit
    std::int64_t exponent = 0;   // saturated far beyond any double
    bool exponentNegative = false;
    for (const char c : text) {
        switch (state) {
            case Start:
                if (Blank(c)) continue;
                if (c == '+' || c == '-') {
                    g.negative = c == '-';
                    state = Sign;
                    continue;
                }
                [[fallthrough]];
            case Sign:
                if (Digit(c)) {
                    state = Int;
                } else if (c == separator) {
                    state = Sep;
                    g.plain += '.';
                    continue;
                } else {
                    return {};
                }
                [[fallthrough]];
            case Int:
                if (Digit(c)) {
                    g.plain += c;
                    if (c != '0') g.allZero = false;
                    if (!g.allZero) ++intDigits;
                    continue;
                }
                if (c == separator) {
                    g.plain += '.';
                    state = Frac;
                    continue;
                }
                if (c == 'e' || c == 'E') {
                    g.plain += 'e';
                    state = Exp;
                    continue;
                }
                if (Blank(c)) {
                    state = Trail;
                    continue;
                }
                return {};
            case Sep:  // a separator with no digit before it needs one after it
                if (!Digit(c)) return {};
                state = Frac;
                [[fallthrough]];
            case Frac:
                if (Digit(c)) {
                    g.plain += c;
                    if (g.allZero && c == '0') ++fracZeros;
                    if (c != '0') g.allZero = false;
                    continue;
                }
                if (c == 'e' || c == 'E') {
                    g.plain += 'e';
                    state = Exp;
                    continue;
                }
                if (Blank(c)) {
                    state = Trail;
                    continue;
                }
                return {};
            case Exp:
                if (c == '+' || c == '-') {
                    g.plain += c;
                    exponentNegative = c == '-';
                    state = ExpSign;
                    continue;
                }
                [[fallthrough]];
            case ExpSign:
                if (!Digit(c)) return {};
                state = ExpDigits;
                [[fallthrough]];
            case ExpDigits:
                if (Digit(c)) {
                    g.plain += c;
                    exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
                    continue;
                }
                if (Blank(c)) {
                    state = Trail;
                    continue;
                }
                return {};
            case Trail:
                if (!Blank(c)) return {};
                continue;
        }
    }
    // Ending right after a sign, a lone separator or an 'e' is no number.
    if (state == Start || state == Sign || state == Sep || state == Exp || state == ExpSign) {
        return {};
    }
    g.number = true;
    const std::int64_t signedExponent = exponentNegative ? -exponent : exponent;
    g.leading = (intDigits > 0 ? intDigits - 1 : -(fracZeros + 1)) + signedExponent;
    return g;
}

void Check(std::string_view text, char separator) {
    const Grammar expected = Parse(text, separator);
    double got = 0;
    try {
        got = velmora::ParseStrengthPercent(text, separator);
    } catch (const Error& error) {
        if (error.kind() == ErrorKind::TypeMismatch) {
            if (expected.number) Fail("a number was refused as no number", text);
            return;
        }
        if (error.kind() != ErrorKind::Overflow) Fail("an unexpected kind of error", text);
        if (!expected.number) Fail("no number was taken for an overflowing one", text);
        if (expected.allZero || expected.leading < 300) Fail("overflow on a small number", text);
        return;
    }
    if (!expected.number) Fail("no number was converted", text);
    if (!std::isfinite(got)) Fail("the value is not finite", text);
    if (std::signbit(got) != expected.negative) Fail("the sign is wrong", text);

    double value = 0;
    const char* begin = expected.plain.data();
    const char* end = begin + expected.plain.size();
    const auto [stop, ec] = std::from_chars(begin, end, value);
    if (stop != end) Fail("the grammar here and std::from_chars disagree", text);
    if (ec == std::errc::result_out_of_range) {
        // Past the range: far above must have been an overflow, far below goes to zero.
        if (expected.leading >= 0) Fail("a number beyond the double range was converted", text);
        if (std::fabs(got) > 2.3e-308) Fail("an underflow gave a large value", text);
        return;
    }
    if (ec != std::errc()) Fail("std::from_chars failed", text);
    if (expected.negative) value = -value;
    if (std::memcmp(&value, &got, sizeof value) != 0) {
        std::fprintf(stderr, "got %.17g, std::from_chars gives %.17g\n", got, value);
        Fail("the value differs", text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char separator = (data[0] & 1) ? ',' : '.';
    Check(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), separator);
    return 0;
}
