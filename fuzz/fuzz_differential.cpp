// The fast tuning and filtering against the literal model of the unit tests
// (tests/reference_model.cpp), on fuzzed pictures, maps, modes and percentages: the same bytes
// and the same kind of error. A failed tuning must leave the fast map as it was (the literal
// model leaves the cells it wrote before the failing one).
//
// Input layout:
//   byte 0      bit 0: tuning (1) or filtering (0); bits 1-2: Check1; bits 3-4: Check2
//               (0..3, so a grayed 2 and an out-of-range 3 both count as unchecked);
//               bit 5: ',' as the decimal separator instead of '.'
//   bytes 1-2   W code, bytes 3-4 H code (little endian, see SizeFrom)
//   byte 5      n, the length of the percentage text (at most 40), then n bytes of text
//   byte        p, then p bytes: a picture pattern repeated over H rows of W bytes
//   rest        a map pattern repeated over the picture's area of the map (none: zeros)
// Pictures stay below kMaxPictureBytes, so a width near 4800 comes with a few rows and a height
// near 1200 with a narrow row; the map outside the picture keeps a fixed background.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "correction/correction_map.h"
#include "correction/error.h"
#include "correction/filtering.h"
#include "correction/pixel_bytes.h"
#include "correction/tuning.h"
#include "tests/reference_model.h"

namespace {

using velmora::CorrectionMap;
using velmora::Error;
using velmora::ErrorKind;
using velmora::kMapBytes;
using velmora::kMapRowBytes;
using velmora::kMapRows;
using velmora::PixelBytes;

constexpr std::int64_t kMaxPictureBytes = 1 << 15;

std::string KindName(const std::optional<ErrorKind>& kind) {
    return kind ? velmora::ErrorKindName(*kind) : "success";
}

struct Case {
    bool tuning = false;
    int check1 = 0;
    int check2 = 0;
    char separator = '.';
    std::int32_t w = 0;
    std::int32_t h = 0;
    std::string text;
    std::vector<std::uint8_t> picturePattern;
    std::vector<std::uint8_t> mapPattern;
};

[[noreturn]] void Fail(const Case& c, const char* what, const std::optional<ErrorKind>& fast,
                       const std::optional<ErrorKind>& literal) {
    std::fprintf(stderr,
                 "differential: %s\n  %s, W %d, H %d, Check1 %d, Check2 %d, text \"%s\" with "
                 "'%c'\n  fast: %s, literal: %s\n",
                 what, c.tuning ? "tuning" : "filtering", c.w, c.h, c.check1, c.check2,
                 c.text.c_str(), c.separator, KindName(fast).c_str(), KindName(literal).c_str());
    std::abort();
}

// Three ranges per dimension, picked by the code's top bits: small, around the map's edge,
// anywhere up to a little past the edge.
std::int32_t SizeFrom(std::uint16_t code, std::int32_t small, std::int32_t edge) {
    const std::int32_t value = code & 0x3fff;
    switch (code >> 14) {
        case 0:
            return value % small;
        case 1:
            return edge - 10 + value % 21;
        default:
            return value % (edge + 11);
    }
}

std::optional<Case> Decode(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return std::nullopt;
    Case c;
    c.tuning = data[0] & 1;
    c.check1 = (data[0] >> 1) & 3;
    c.check2 = (data[0] >> 3) & 3;
    c.separator = (data[0] & 0x20) ? ',' : '.';
    const auto wCode = std::uint16_t(data[1] | data[2] << 8);
    const auto hCode = std::uint16_t(data[3] | data[4] << 8);
    c.w = SizeFrom(wCode, 64, kMapRowBytes);
    c.h = SizeFrom(hCode, 16, kMapRows);
    if (std::int64_t{c.w} * c.h > kMaxPictureBytes) {
        // Keep the dimension that was asked to be near the map's edge.
        if ((hCode >> 14) == 1) {
            c.w = std::int32_t(kMaxPictureBytes / c.h);
        } else {
            c.h = std::int32_t(kMaxPictureBytes / c.w);
        }
    }
    std::size_t at = 5;
    const std::size_t n = std::min<std::size_t>(data[at++], 40);
    if (size - at < n) return std::nullopt;
    c.text.assign(reinterpret_cast<const char*>(data + at), n);
    at += n;
    if (at < size) {
        const std::size_t wanted = data[at++];
        const std::size_t p = std::min(wanted, size - at);
        c.picturePattern.assign(data + at, data + at + p);
        at += p;
    }
    c.mapPattern.assign(data + at, data + size);
    return c;
}

// The map both sides start from: a fixed background of small values outside the picture, so
// cells that must stay untouched are not all zero, and the fuzzed pattern inside it.
struct Maps {
    CorrectionMap background;
    CorrectionMap fast;
    std::vector<std::uint8_t> literal;
    Maps() : literal(kMapBytes) {
        for (std::size_t i = 0; i < kMapBytes; ++i)
            background.data()[i] = std::uint8_t((i * 2654435761u) >> 27);  // 0..31
        fast = background;
        std::memcpy(literal.data(), background.data(), kMapBytes);
    }
    // Rows a case may touch: those of the picture and the one after.
    std::int32_t RowsTouched(const Case& c) const { return std::min(c.h + 1, kMapRows); }
    void Prepare(const Case& c) {
        const std::int32_t w = std::min(c.w, kMapRowBytes);
        const std::int32_t h = std::min(c.h, kMapRows);
        std::size_t k = 0;
        for (std::int32_t r = 0; r < h; ++r) {
            for (std::int32_t b = 0; b < w; ++b, ++k) {
                const std::uint8_t cell =
                    c.mapPattern.empty() ? 0 : c.mapPattern[k % c.mapPattern.size()];
                fast(b, r) = cell;
                literal[std::size_t(r) * kMapRowBytes + b] = cell;
            }
        }
    }
    void Restore(const Case& c) {
        const std::size_t bytes = std::size_t(RowsTouched(c)) * kMapRowBytes;
        std::memcpy(fast.data(), background.data(), bytes);
        std::memcpy(literal.data(), background.data(), bytes);
    }
};

void RunTuning(const Case& c, const PixelBytes& pixels, Maps& maps) {
    const std::size_t bytes = std::size_t(maps.RowsTouched(c)) * kMapRowBytes;
    const std::vector<std::uint8_t> start(maps.fast.data(), maps.fast.data() + bytes);
    velmora::reference::Picture picture{
        c.w, c.h, std::vector<std::uint8_t>(pixels.data(), pixels.data() + pixels.size())};
    const auto literal = velmora::reference::Tune(picture, maps.literal);
    std::optional<ErrorKind> fast;
    try {
        velmora::TuneCorrectionMap(pixels, maps.fast);
    } catch (const Error& error) {
        fast = error.kind();
    }
    if (KindName(fast) != KindName(literal)) Fail(c, "the outcomes differ", fast, literal);
    if (fast) {
        if (std::memcmp(maps.fast.data(), start.data(), bytes) != 0) {
            Fail(c, "a failed tuning changed the map", fast, literal);
        }
        return;
    }
    if (std::memcmp(maps.fast.data(), maps.literal.data(), bytes) != 0) {
        Fail(c, "the tuned maps differ", fast, literal);
    }
    if (velmora::MapPreview(maps.fast, c.w, c.h) != picture.bytes) {
        Fail(c, "the previews differ", fast, literal);
    }
}

void RunFiltering(const Case& c, const PixelBytes& pixels, Maps& maps) {
    velmora::reference::Picture picture{
        c.w, c.h, std::vector<std::uint8_t>(pixels.data(), pixels.data() + pixels.size())};
    const auto literal =
        velmora::reference::Filter(picture, maps.literal, c.check1, c.check2, c.text, c.separator);
    PixelBytes work = pixels;
    std::optional<ErrorKind> fast;
    try {
        velmora::FilterPixelBytes(work, maps.fast, velmora::DecideFilterMode(c.check1, c.check2),
                                  c.text, c.separator);
    } catch (const Error& error) {
        fast = error.kind();
    }
    if (KindName(fast) != KindName(literal)) Fail(c, "the outcomes differ", fast, literal);
    if (fast) {
        // Every error is raised before the first byte changes.
        if (pixels.size() > 0 && std::memcmp(work.data(), pixels.data(), pixels.size()) != 0) {
            Fail(c, "a failed filtering changed the picture", fast, literal);
        }
        return;
    }
    if (work.size() != picture.bytes.size() ||
        (work.size() > 0 && std::memcmp(work.data(), picture.bytes.data(), work.size()) != 0)) {
        Fail(c, "the filtered bytes differ", fast, literal);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Maps maps;
    const std::optional<Case> decoded = Decode(data, size);
    if (!decoded) return 0;
    const Case& c = *decoded;

    PixelBytes pixels;
    pixels.Recreate(c.w, c.h);
    if (!c.picturePattern.empty()) {
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels.data()[i] = c.picturePattern[i % c.picturePattern.size()];
    }
    maps.Prepare(c);
    if (c.tuning) {
        RunTuning(c, pixels, maps);
    } else {
        RunFiltering(c, pixels, maps);
    }
    maps.Restore(c);
    return 0;
}
