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
#include <vector>

#include "platform/tiff_file.h"

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

// A file being written, in memory, as libtiff's client I/O.
struct Sink {
    std::vector<std::uint8_t> bytes;
    toff_t at = 0;
    std::string error;
};

tsize_t SinkRead(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* sink = static_cast<Sink*>(handle);
    if (size < 0 || sink->at >= sink->bytes.size()) return 0;
    const toff_t count = std::min<toff_t>(toff_t(size), sink->bytes.size() - sink->at);
    std::memcpy(buffer, sink->bytes.data() + sink->at, count);
    sink->at += count;
    return tsize_t(count);
}

tsize_t SinkWrite(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* sink = static_cast<Sink*>(handle);
    if (size < 0) return -1;
    if (sink->at + toff_t(size) > sink->bytes.size()) sink->bytes.resize(sink->at + toff_t(size));
    std::memcpy(sink->bytes.data() + sink->at, buffer, std::size_t(size));
    sink->at += toff_t(size);
    return size;
}

toff_t SinkSeek(thandle_t handle, toff_t offset, int whence) {
    auto* sink = static_cast<Sink*>(handle);
    const toff_t base = whence == SEEK_CUR ? sink->at : whence == SEEK_END ? sink->bytes.size() : 0;
    sink->at = base + offset;
    return sink->at;
}

toff_t SinkSize(thandle_t handle) {
    return static_cast<Sink*>(handle)->bytes.size();
}

using Tiff = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

// libtiff on a client's I/O, its first complaint kept in `error`.
Tiff Open(const char* mode, thandle_t client, TIFFReadWriteProc read, TIFFReadWriteProc write,
          TIFFSeekProc seek, TIFFSizeProc size, std::string& error) {
    const TiffOptions options = QuietTiffOptions(error);
    return Tiff(TIFFClientOpenExt("lens profile", mode, client, read, write, seek, Close, size, Map,
                                  Unmap, options.get()),
                TIFFClose);
}

Tiff OpenReader(Cursor& cursor) {
    return Open("rm", &cursor, Read, Write, Seek, Size, cursor.error);
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

struct StripDecoder16::Handle {
    explicit Handle(const QByteArray& file) : cursor(file), tif(OpenReader(cursor)) {}
    Cursor cursor;
    Tiff tif;
};

std::unique_ptr<StripDecoder16> StripDecoder16::Open(const QByteArray& file, int width, int height,
                                                     int channels) {
    std::unique_ptr<StripDecoder16> decoder(new StripDecoder16(file, width, height, channels));
    auto first = std::make_unique<Handle>(file);
    std::uint32_t rowsPerStrip = 0;
    if (!first->tif || !SimpleStrips(first->tif.get(), width, height, channels, &rowsPerStrip)) {
        return nullptr;
    }
    decoder->rowsPerStrip_ = int(std::min<std::uint32_t>(rowsPerStrip, std::uint32_t(height)));
    decoder->strips_ = int(TIFFNumberOfStrips(first->tif.get()));
    decoder->Give(std::move(first));
    return decoder;
}

StripDecoder16::StripDecoder16(const QByteArray& file, int width, int height, int channels)
    : file_(file), width_(width), height_(height), channels_(channels) {}

StripDecoder16::~StripDecoder16() = default;

std::unique_ptr<StripDecoder16::Handle> StripDecoder16::Take() const {
    {
        const std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            std::unique_ptr<Handle> handle = std::move(idle_.back());
            idle_.pop_back();
            return handle;
        }
    }
    // A thread of its own needs a handle of its own: libtiff keeps a cursor per handle.
    auto handle = std::make_unique<Handle>(file_);
    if (!handle->tif) throw std::runtime_error(handle->cursor.error);
    return handle;
}

void StripDecoder16::Give(std::unique_ptr<Handle> handle) const {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(handle));
}

void StripDecoder16::Decode(int strip, std::uint16_t* out) const {
    std::unique_ptr<Handle> handle = Take();
    const std::size_t rowSamples = std::size_t(width_) * std::size_t(channels_);
    const int y = strip * rowsPerStrip_;
    const int rows = std::min(rowsPerStrip_, height_ - y);
    const tmsize_t wanted = tmsize_t(std::size_t(rows) * rowSamples * 2);
    handle->cursor.error.clear();
    if (TIFFReadEncodedStrip(handle->tif.get(), std::uint32_t(strip),
                             out + std::size_t(y) * rowSamples, wanted) != wanted) {
        const std::string error = handle->cursor.error.empty()
                                      ? "strip " + std::to_string(strip) + " is cut short"
                                      : handle->cursor.error;
        throw std::runtime_error(error);
    }
    Give(std::move(handle));
}

std::vector<std::uint8_t> WriteStrips16(const std::uint16_t* samples, int width, int height,
                                        int channels, const std::string& description) {
    Sink sink;
    Tiff tif = Open("w", &sink, SinkRead, SinkWrite, SinkSeek, SinkSize, sink.error);
    if (!tif) throw std::runtime_error(sink.error.empty() ? "libtiff cannot start" : sink.error);
    const std::size_t rowSamples = std::size_t(width) * std::size_t(channels);
    // Strips of about 256 KiB: small enough to share out among the threads that read them.
    const std::uint32_t rowsPerStrip = std::uint32_t(
        std::clamp<std::size_t>((std::size_t(1) << 18) / (rowSamples * 2), 1, std::size_t(height)));
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    // Level 4 of libdeflate: a 24-megapixel profile deflates in about half a second (level 6:
    // 5 s) and inflates as fast; level 1 saves little more time and inflates a third slower.
    TIFFSetField(t, TIFFTAG_ZIPQUALITY, 4);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    for (std::uint32_t y = 0, strip = 0; y < std::uint32_t(height); y += rowsPerStrip, ++strip) {
        const std::uint32_t rows = std::min(rowsPerStrip, std::uint32_t(height) - y);
        // The predictor works on a copy of its own: the samples stay as they are.
        void* first = const_cast<std::uint16_t*>(samples + std::size_t(y) * rowSamples);
        if (TIFFWriteEncodedStrip(t, strip, first, tmsize_t(std::size_t(rows) * rowSamples * 2)) <
            0) {
            throw std::runtime_error(sink.error.empty()
                                         ? "strip " + std::to_string(strip) + " cannot be written"
                                         : sink.error);
        }
    }
    tif.reset();  // writes the directory
    if (!sink.error.empty()) throw std::runtime_error(sink.error);
    return std::move(sink.bytes);
}

}  // namespace velmora
