#include "platform/tiff_strips.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

// The file in memory as libtiff's client I/O: each thread reads through a cursor of its own.
struct Cursor {
    explicit Cursor(const QByteArray& file) : data(file.constData()), size(toff_t(file.size())) {}

    const char* data;
    toff_t size;
    toff_t at = 0;
    std::string error;  // libtiff's first complaint
};

tsize_t Read(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* cursor = static_cast<Cursor*>(handle);
    if (size < 0 || cursor->at >= cursor->size) return 0;
    const toff_t count = std::min<toff_t>(toff_t(size), cursor->size - cursor->at);
    std::memcpy(buffer, cursor->data + cursor->at, count);
    cursor->at += count;
    return tsize_t(count);
}

tsize_t Write(thandle_t, tdata_t, tsize_t) {
    return -1;
}

toff_t Seek(thandle_t handle, toff_t offset, int whence) {
    auto* cursor = static_cast<Cursor*>(handle);
    const toff_t base = whence == SEEK_CUR ? cursor->at : whence == SEEK_END ? cursor->size : 0;
    cursor->at = base + offset;
    return cursor->at;
}

int Close(thandle_t) {
    return 0;
}

toff_t Size(thandle_t handle) {
    return static_cast<Cursor*>(handle)->size;
}

int Map(thandle_t, tdata_t*, toff_t*) {
    return 0;
}

void Unmap(thandle_t, tdata_t, toff_t) {}

int KeepError(TIFF*, void* user, const char* module, const char* format, va_list arguments) {
    auto* cursor = static_cast<Cursor*>(user);
    if (cursor->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        cursor->error = std::string(module != nullptr ? module : "TIFF") + ": " + text;
    }
    return 1;
}

int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

using Tiff = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

Tiff Open(Cursor& cursor) {
    std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(),
                                                                             TIFFOpenOptionsFree);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), KeepError, &cursor);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), IgnoreWarning, &cursor);
    return Tiff(TIFFClientOpenExt("lens profile", "rm", &cursor, Read, Write, Seek, Close, Size,
                                  Map, Unmap, options.get()),
                TIFFClose);
}

// Whether the file holds exactly the promised pixels in whole-row strips of 16-bit samples.
bool SimpleStrips(TIFF* tif, int width, int height, int channels, std::uint32_t* rowsPerStrip) {
    std::uint32_t w = 0, h = 0;
    std::uint16_t bits = 0, samples = 0, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    if (TIFFIsTiled(tif) || int(w) != width || int(h) != height || bits != 16 ||
        samples != channels || planar != PLANARCONFIG_CONTIG || format != SAMPLEFORMAT_UINT ||
        *rowsPerStrip == 0) {
        return false;
    }
    const std::uint32_t rows = std::min<std::uint32_t>(*rowsPerStrip, std::uint32_t(height));
    const std::uint64_t strips = (std::uint64_t(height) + rows - 1) / rows;
    return TIFFNumberOfStrips(tif) == strips &&
           std::uint64_t(TIFFStripSize(tif)) ==
               std::uint64_t(rows) * std::uint64_t(width) * std::uint64_t(channels) * 2;
}

}  // namespace

bool ReadStrips16(const QByteArray& file, int width, int height, int channels, std::uint16_t* out,
                  int threads) {
    Cursor first(file);
    Tiff tif = Open(first);
    std::uint32_t rowsPerStrip = 0;
    if (!tif || !SimpleStrips(tif.get(), width, height, channels, &rowsPerStrip)) return false;
    rowsPerStrip = std::min<std::uint32_t>(rowsPerStrip, std::uint32_t(height));
    const std::size_t rowSamples = std::size_t(width) * std::size_t(channels);
    const int strips = int(TIFFNumberOfStrips(tif.get()));
    std::mutex mutex;
    std::string failure;
    // Strips t, t + threads, ...: the threads move down the picture side by side.
    const auto decode = [&](TIFF* mine, Cursor& cursor, int t, int step) {
        for (int s = t; s < strips; s += step) {
            const std::uint32_t y = std::uint32_t(s) * rowsPerStrip;
            const std::uint32_t rows = std::min(rowsPerStrip, std::uint32_t(height) - y);
            const tmsize_t wanted = tmsize_t(std::size_t(rows) * rowSamples * 2);
            if (TIFFReadEncodedStrip(mine, std::uint32_t(s), out + std::size_t(y) * rowSamples,
                                     wanted) != wanted) {
                const std::lock_guard lock(mutex);
                if (failure.empty()) {
                    failure = cursor.error.empty() ? "strip " + std::to_string(s) + " is cut short"
                                                   : cursor.error;
                }
                return;
            }
        }
    };
    const int count = std::clamp(threads, 1, std::max(1, strips));
    std::vector<std::thread> helpers;
    std::vector<std::unique_ptr<Cursor>> cursors;
    for (int t = 1; t < count; ++t) {
        cursors.push_back(std::make_unique<Cursor>(file));
        helpers.emplace_back([&, t, cursor = cursors.back().get()] {
            Tiff own = Open(*cursor);
            if (own) {
                decode(own.get(), *cursor, t, count);
            } else {
                const std::lock_guard lock(mutex);
                if (failure.empty()) failure = cursor->error;
            }
        });
    }
    decode(tif.get(), first, 0, count);
    for (std::thread& helper : helpers)
        helper.join();
    if (!failure.empty()) throw std::runtime_error(failure);
    return true;
}

}  // namespace velmora
