#include "reference_model.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <regex>

namespace velmora::reference {
namespace {

constexpr std::int64_t kInt32Min = -2147483648LL;
constexpr std::int64_t kInt32Max = 2147483647LL;

struct Stop {
    ErrorKind kind;
};

std::int32_t Int32(std::int64_t v) {
    if (v < kInt32Min || v > kInt32Max) throw Stop{ErrorKind::Overflow};
    return std::int32_t(v);
}

// Rounds half to even; outside the 32-bit range, or not finite: overflow.
std::int32_t RoundInt32(double v) {
    if (std::isnan(v) || std::isinf(v)) throw Stop{ErrorKind::Overflow};
    double f = std::floor(v);
    const double rest = v - f;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(f, 2.0) != 0.0)) f += 1.0;
    if (f < double(kInt32Min) || f > double(kInt32Max)) throw Stop{ErrorKind::Overflow};
    return std::int32_t(f);
}

// One floating-point step followed by the test of its exception flags.
double Checked(double (*step)(double, double), double a, double b) {
    volatile double x = a;
    volatile double y = b;
    std::feclearexcept(FE_ALL_EXCEPT);
    volatile double result = step(x, y);
    const int raised = std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    if (raised) throw Stop{ErrorKind::FloatingPoint};
    return result;
}

double Mul(double a, double b) {
    return a * b;
}
double Div(double a, double b) {
    return a / b;
}
double Add(double a, double b) {
    return a + b;
}

std::uint8_t Get(const Picture& p, std::int32_t b, std::int32_t r) {
    if (b < 0 || b > p.w - 1 || r < 0 || r > p.h - 1) throw Stop{ErrorKind::SubscriptOutOfRange};
    return p.bytes[std::size_t(r) * p.w + b];
}

std::size_t MapIndex(std::int32_t b, std::int32_t r) {
    if (b > 4799) throw Stop{ErrorKind::SubscriptOutOfRange};
    if (r > 1199) throw Stop{ErrorKind::SubscriptOutOfRange};
    return std::size_t(r) * 4800 + b;
}

void ReadIn(const Picture& p) {
    Int32(std::int64_t{p.w} - 1);
    Int32(std::int64_t{p.h} - 1);
    if (p.w < 1 || p.h < 1) throw Stop{ErrorKind::SubscriptOutOfRange};
    Int32(std::int64_t{p.h} * p.w);
}

double Percent(const std::string& text, char separator) {
    std::string pattern = "^[ \\t]*[+-]?([0-9]+(S[0-9]*)?|S[0-9]+)([eE][+-]?[0-9]+)?[ \\t]*$";
    const std::string sep = separator == '.' ? std::string("\\.") : std::string(1, separator);
    for (std::size_t at; (at = pattern.find('S')) != std::string::npos;) {
        pattern.replace(at, 1, sep);
    }
    if (!std::regex_match(text, std::regex(pattern))) throw Stop{ErrorKind::TypeMismatch};
    std::string c = text;
    for (char& ch : c) {
        if (ch == separator) ch = '.';
    }
    errno = 0;
    const double v = std::strtod(c.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(v)) throw Stop{ErrorKind::Overflow};
    return v;
}

}  // namespace

std::optional<ErrorKind> Tune(Picture& picture, std::vector<std::uint8_t>& map) {
    try {
        ReadIn(picture);
        const std::int32_t rc = RoundInt32(picture.h / 2.0);
        const std::int32_t bc = RoundInt32(picture.w / 2.0);
        const std::uint8_t r0 = Get(picture, bc, rc);
        const std::uint8_t r1 = Get(picture, RoundInt32(picture.w / 2.0 + 1), rc);
        const std::uint8_t r2 = Get(picture, RoundInt32(picture.w / 2.0 + 2), rc);
        const std::uint8_t refs[3] = {r0, r1, r2};
        const std::int32_t lastRow = Int32(std::int64_t{picture.h} - 1);
        for (std::int32_t r = 0; r <= lastRow; r = Int32(std::int64_t{r} + 1)) {
            const std::int32_t lastByte = Int32(std::int64_t{picture.w} - 1);
            for (std::int32_t j = 0; j <= lastByte; j = Int32(std::int64_t{j} + 3)) {
                for (int k = 0; k < 3; ++k) {
                    const std::int32_t b = Int32(std::int64_t{j} + k);
                    const std::uint8_t p = Get(picture, b, r);
                    const int d = int(refs[k]) - int(p);
                    const std::uint8_t v = d >= 1 ? std::uint8_t(d) : 0;
                    map[MapIndex(b, r)] = v;
                }
            }
        }
        for (std::int32_t r = 0; r < picture.h; ++r) {
            for (std::int32_t b = 0; b < picture.w; ++b) {
                picture.bytes[std::size_t(r) * picture.w + b] = map[MapIndex(b, r)];
            }
        }
        return std::nullopt;
    } catch (const Stop& stop) {
        return stop.kind;
    }
}

std::optional<ErrorKind> Filter(Picture& picture, const std::vector<std::uint8_t>& map, int check1,
                                int check2, const std::string& text, char separator) {
    try {
        ReadIn(picture);
        Picture work = picture;
        enum { Plain, Scale, Offset } mode = Plain;
        if (check2 == 1) {
            mode = Scale;
        } else if (check1 == 1) {
            mode = Offset;
        }
        std::int32_t scaleLimit = 0;
        std::int32_t offsetAmount = 0;
        if (mode != Plain) {
            std::int32_t peak = 255;
            for (std::int32_t r = 0; r < work.h; ++r) {
                for (std::int32_t b = 0; b < work.w; ++b) {
                    const std::int32_t sum = Int32(Get(work, b, r) + map[MapIndex(b, r)]);
                    if (sum > peak) peak = sum;
                }
            }
            const double percent = Percent(text, separator);
            const double d = double(Int32(std::int64_t{peak} - 255));
            try {
                if (mode == Scale) {
                    double x = Checked(Mul, percent, d);
                    x = Checked(Div, x, 100.0);
                    x = Checked(Add, x, 255.0);
                    scaleLimit = RoundInt32(x);
                } else {
                    double x = Checked(Mul, percent, d);
                    x = Checked(Div, x, 100.0);
                    offsetAmount = RoundInt32(x);
                }
            } catch (const Stop& stop) {
                // An overflowing step of the percentage's computation is reported as overflow.
                throw Stop{stop.kind == ErrorKind::FloatingPoint ? ErrorKind::Overflow : stop.kind};
            }
        }
        for (std::int32_t r = 0; r < work.h; ++r) {
            for (std::int32_t b = 0; b < work.w; ++b) {
                const std::uint8_t p = Get(work, b, r);
                const std::int32_t sum = Int32(p + map[MapIndex(b, r)]);
                std::int32_t result = sum;
                if (mode == Scale) {
                    const double q =
                        Checked(Div, double(Int32(std::int64_t{sum} * 255)), double(scaleLimit));
                    result = RoundInt32(q);
                    if (result < 0) throw Stop{ErrorKind::Overflow};
                } else if (mode == Offset) {
                    result = Int32(std::int64_t{sum} - offsetAmount);
                    if (result < 0) result = 0;
                }
                if (result > 255) result = 255;
                work.bytes[std::size_t(r) * work.w + b] = std::uint8_t(result);
            }
        }
        picture = work;
        return std::nullopt;
    } catch (const Stop& stop) {
        return stop.kind;
    }
}

}  // namespace velmora::reference
