#include "platform/frame_file.h"

#include <fitsio.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <vips/vips.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "correction/atomic_file.h"
#include "correction/cfa_planes.h"
#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/photo_metadata.h"
#include "platform/raw_file.h"
#include "platform/tiff_file.h"

namespace velmora {
namespace {

[[noreturn]] void CannotRead(const QString& path, const std::string& reason) {
    throw Error(ErrorKind::File, ("cannot read " + Native(path)).toStdString() + ": " + reason,
                ErrorFields(path.toStdString()));
}

[[noreturn]] void CannotWrite(const QString& path, const std::string& reason) {
    throw Error(ErrorKind::File, ("cannot write " + Native(path)).toStdString() + ": " + reason,
                ErrorFields(path.toStdString()));
}

// cfitsio's reason for `status`, with the first message of its stack, which names the card or
// the place.
std::string FitsReason(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    std::string reason = text;
    char message[FLEN_ERRMSG] = {};
    if (fits_read_errmsg(message) != 0 && std::strlen(message) > 0 &&
        reason.find(message) == std::string::npos) {
        reason += std::string(" (") + message + ")";
    }
    fits_clear_errmsg();
    return reason + ".";
}

// The cards that describe a FITS's layout, which every writer sets for its own.
bool IsLayoutCard(const std::string& key) {
    static const char* const kLayout[] = {"SIMPLE",   "BITPIX",  "EXTEND",  "BZERO",  "BSCALE",
                                          "BLANK",    "END",     "PCOUNT",  "GCOUNT", "XTENSION",
                                          "CHECKSUM", "DATASUM", "BAYERPAT"};
    if (key.rfind("NAXIS", 0) == 0) return true;
    return std::find(std::begin(kLayout), std::end(kLayout), key) != std::end(kLayout);
}

std::string CardKey(const std::string& card) {
    std::string key = card.substr(0, std::min<std::size_t>(8, card.size()));
    key.erase(key.find_last_not_of(' ') + 1);
    return key;
}

// The lines of a float TIFF's description that WriteFloatFrame made of cards, as cards again.
std::vector<std::string> CardsOfDescription(const std::string& description) {
    std::vector<std::string> cards;
    std::size_t start = 0;
    while (start < description.size()) {
        std::size_t end = description.find('\n', start);
        if (end == std::string::npos) end = description.size();
        const std::string line = description.substr(start, end - start);
        start = end + 1;
        std::string card;
        if (line.rfind("HISTORY ", 0) == 0 || line.rfind("COMMENT ", 0) == 0) {
            card = line;
        } else if (const std::size_t equals = line.find(" = ");
                   equals != std::string::npos && equals > 0 && equals <= 8) {
            const std::string key = line.substr(0, equals);
            if (key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
                std::string::npos)
                continue;
            card = key + std::string(8 - key.size(), ' ') + "= " + line.substr(equals + 3);
        } else {
            continue;
        }
        card.resize(80, ' ');
        cards.push_back(card);
    }
    return cards;
}

class FitsFrame final : public FrameReader {
  public:
    FitsFrame(const QString& path, fitsfile* file, FrameInfo info)
        : FrameReader(path, std::move(info)), file_(file) {}
    ~FitsFrame() override {
        int status = 0;
        fits_close_file(file_, &status);
    }

    void ReadRows(std::int64_t first, std::int64_t count, float* out) override {
        const std::int64_t width = info_.width;
        const int channels = info_.channels;
        float blank = std::numeric_limits<float>::quiet_NaN();
        if (channels > 1) plane_.resize(std::size_t(width * count));
        for (int c = 0; c < channels; ++c) {
            long first_pixel[3] = {1, long(first + 1), long(c + 1)};
            float* into = channels == 1 ? out : plane_.data();
            int anyBlank = 0;
            int status = 0;
            if (fits_read_pix(file_, TFLOAT, first_pixel, LONGLONG(width * count), &blank, into,
                              &anyBlank, &status) != 0) {
                CannotRead(path_, FitsReason(status));
            }
            if (channels > 1) {
                for (std::int64_t i = 0; i < width * count; ++i)
                    out[i * channels + c] = plane_[std::size_t(i)];
            }
        }
    }

    static std::unique_ptr<FrameReader> Open(const QString& path) {
        fitsfile* file = nullptr;
        int status = 0;
        // The disk file as named: no brackets or other extended syntax taken from its name.
        if (fits_open_diskfile(&file, QFile::encodeName(path).constData(), READONLY, &status) !=
            0) {
            CannotRead(path, FitsReason(status));
        }
        std::unique_ptr<FitsFrame> frame(new FitsFrame(path, file, {}));
        FrameInfo& info = frame->info_;
        info.fits = true;
        int bitpix = 0;
        int axes = 0;
        long size[3] = {0, 0, 1};
        if (fits_get_img_param(file, 3, &bitpix, &axes, size, &status) != 0) {
            CannotRead(path, FitsReason(status));
        }
        if (axes < 2 || axes > 3 || size[0] <= 0 || size[1] <= 0 ||
            (axes == 3 && size[2] != 1 && size[2] != 3)) {
            CannotRead(path, "its primary image has " + std::to_string(axes) +
                                 " axes; a frame has two, or a third of 1 or 3 planes.");
        }
        // A file cut short reads as far as it goes; say so before any row is asked for.
        LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
        fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
        // In double: a damaged header's axes may multiply past any integer.
        const double needed = double(dataStart) + double(size[0]) * double(size[1]) *
                                                      double(size[2]) * (std::abs(bitpix) / 8);
        const qint64 fileBytes = QFileInfo(path).size();
        if (status == 0 && double(fileBytes) < needed) {
            CannotRead(path, "it is cut short: its image needs " +
                                 QString::number(needed, 'f', 0).toStdString() +
                                 " bytes, the file has " + std::to_string(fileBytes) + ".");
        }
        info.width = size[0];
        info.height = size[1];
        info.channels = axes == 3 ? int(size[2]) : 1;
        info.floating = bitpix < 0;
        info.bits = std::abs(bitpix);
        for (const char* key : {"EXPTIME", "EXPOSURE"}) {
            double seconds = 0;
            int missing = 0;
            if (fits_read_key_dbl(file, key, &seconds, nullptr, &missing) == 0) {
                info.exposure = seconds;
                break;
            }
            fits_clear_errmsg();
        }
        char pattern[FLEN_VALUE] = {};
        int missing = 0;
        if (fits_read_key_str(file, "BAYERPAT", pattern, nullptr, &missing) == 0) {
            info.cfa = CfaFromLetters(pattern);
            if (info.cfa.empty() || info.channels != 1) {
                CannotRead(path, std::string("its BAYERPAT '") + pattern +
                                     "' names no mosaic of R, G and B of one plane.");
            }
        }
        fits_clear_errmsg();
        int cards = 0;
        if (fits_get_hdrspace(file, &cards, nullptr, &status) != 0) {
            CannotRead(path, FitsReason(status));
        }
        for (int i = 1; i <= cards; ++i) {
            char card[FLEN_CARD] = {};
            if (fits_read_record(file, i, card, &status) != 0) CannotRead(path, FitsReason(status));
            // cfitsio's note on what FITS is, which every file it writes gets anew.
            const bool boilerplate = CardKey(card) == "COMMENT" &&
                                     (std::strstr(card, "FITS (Flexible Image") != nullptr ||
                                      std::strstr(card, "and Astrophysics', volume") != nullptr);
            if (!IsLayoutCard(CardKey(card)) && !boilerplate) info.cards.emplace_back(card);
        }
        return frame;
    }

  private:
    fitsfile* file_;
    std::vector<float> plane_;
};

class PictureFrame final : public FrameReader {
  public:
    PictureFrame(const QString& path, FrameInfo info, VipsImage* image)
        : FrameReader(path, std::move(info)), image_(image) {}
    ~PictureFrame() override { g_object_unref(image_); }

    void ReadRows(std::int64_t first, std::int64_t count, float* out) override {
        // A region belongs to the thread that made it, and rows are read from any thread.
        VipsRegion* region = vips_region_new(image_);
        const VipsRect rows{0, int(first), int(info_.width), int(count)};
        if (vips_region_prepare(region, &rows) != 0) {
            g_object_unref(region);
            Fail(path_);
        }
        const std::size_t rowSamples = std::size_t(info_.width * info_.channels);
        for (std::int64_t y = 0; y < count; ++y) {
            const auto* from =
                reinterpret_cast<const float*>(VIPS_REGION_ADDR(region, 0, int(first + y)));
            std::copy(from, from + rowSamples, out + std::size_t(y) * rowSamples);
        }
        g_object_unref(region);
    }

    [[noreturn]] static void Fail(const QString& path) {
        std::string reason = vips_error_buffer();
        vips_error_clear();
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
            reason.pop_back();
        CannotRead(path, reason.empty() ? "libvips cannot decode it." : reason + ".");
    }

    static std::unique_ptr<FrameReader> Open(const QString& path) {
        VipsImage* image = vips_image_new_from_file(QFile::encodeName(path).constData(), nullptr);
        if (image == nullptr) Fail(path);
        FrameInfo info;
        info.width = image->Xsize;
        info.height = image->Ysize;
        info.floating = vips_band_format_isfloat(image->BandFmt);
        info.bits = int(vips_format_sizeof(image->BandFmt)) * 8;
        const int bands = image->Bands;
        info.channels = bands >= 3 ? 3 : 1;
        if (const double seconds = ReadExposureTime(path); seconds > 0) info.exposure = seconds;
        const char* description = nullptr;
        if (info.floating && vips_image_get_typeof(image, "image-description") != 0 &&
            vips_image_get_string(image, "image-description", &description) == 0) {
            info.cards = CardsOfDescription(description);
            if (const auto pattern = CardValue(info.cards, "BAYERPAT"); pattern && bands == 1)
                info.cfa = CfaFromLetters(*pattern);
            if (const auto seconds = CardValue(info.cards, "EXPTIME")) {
                info.exposure = std::atof(seconds->c_str());
            }
            std::erase_if(info.cards,
                          [](const std::string& card) { return IsLayoutCard(CardKey(card)); });
        }
        // An alpha band takes no part; every sample is read as a float.
        VipsImage* colour = nullptr;
        if (bands == info.channels) {
            colour = image;
        } else if (vips_extract_band(image, &colour, 0, "n", info.channels, nullptr) != 0) {
            g_object_unref(image);
            Fail(path);
        } else {
            g_object_unref(image);
        }
        VipsImage* floats = nullptr;
        const int cast = vips_cast(colour, &floats, VIPS_FORMAT_FLOAT, nullptr);
        g_object_unref(colour);
        if (cast != 0) Fail(path);
        return std::make_unique<PictureFrame>(path, std::move(info), floats);
    }

  private:
    VipsImage* image_;
};

// A raw file's samples, unpacked once and kept in a temporary file of their own, so that a
// stack of raw frames takes no more memory than a stack of FITS.
class RawFrame final : public FrameReader {
  public:
    RawFrame(const QString& path, FrameInfo info, std::FILE* spool)
        : FrameReader(path, std::move(info)), spool_(spool) {}
    ~RawFrame() override { std::fclose(spool_); }

    void ReadRows(std::int64_t first, std::int64_t count, float* out) override {
        const std::size_t samples = std::size_t(info_.width * info_.channels * count);
        row_.resize(samples);
        const off_t at = off_t(first * info_.width * info_.channels) * off_t(sizeof(std::uint16_t));
        const ssize_t bytes =
            pread(fileno(spool_), row_.data(), samples * sizeof(std::uint16_t), at);
        if (bytes != ssize_t(samples * sizeof(std::uint16_t))) {
            CannotRead(path_,
                       "its unpacked samples cannot be read back from the temporary folder.");
        }
        std::copy(row_.begin(), row_.end(), out);
    }

    static std::unique_ptr<FrameReader> Open(const QString& path) {
        RawPicture raw;
        try {
            raw = ReadRaw(path);
        } catch (const Error& error) {
            throw Error(ErrorKind::File, error.cause(), ErrorFields(path.toStdString()));
        }
        FrameInfo info;
        info.width = raw.header.width;
        info.height = raw.header.height;
        info.channels = raw.header.channels;
        info.cfa = raw.header.cfa;
        if (raw.header.exposureTime > 0) info.exposure = raw.header.exposureTime;
        std::FILE* spool = std::tmpfile();
        const std::size_t count = std::size_t(info.width * info.height * info.channels);
        if (spool == nullptr ||
            std::fwrite(raw.samples.data(), sizeof(std::uint16_t), count, spool) != count ||
            std::fflush(spool) != 0) {
            if (spool != nullptr) std::fclose(spool);
            CannotRead(path, std::string("its unpacked samples cannot be kept in the temporary "
                                         "folder: ") +
                                 std::strerror(errno) + ".");
        }
        return std::make_unique<RawFrame>(path, std::move(info), spool);
    }

  private:
    std::FILE* spool_;
    std::vector<std::uint16_t> row_;
};

// Rows to FITS, a plane at a time as FITS keeps them.
class FitsSink final : public FrameSink {
  public:
    FitsSink(fitsfile* file, const FrameInfo& info, const QString& path)
        : file_(file), info_(info), path_(path) {}
    void WriteRows(const float* rows, std::int64_t count) override {
        const std::int64_t width = info_.width;
        const int channels = info_.channels;
        std::vector<float> plane;
        for (int c = 0; c < channels; ++c) {
            const float* from = rows;
            if (channels > 1) {
                plane.resize(std::size_t(width * count));
                for (std::int64_t i = 0; i < width * count; ++i)
                    plane[std::size_t(i)] = rows[i * channels + c];
                from = plane.data();
            }
            long first_pixel[3] = {1, long(next_ + 1), long(c + 1)};
            int status = 0;
            if (fits_write_pix(file_, TFLOAT, first_pixel, LONGLONG(width * count),
                               const_cast<float*>(from), &status) != 0) {
                CannotWrite(path_, FitsReason(status));
            }
        }
        next_ += count;
    }

  private:
    fitsfile* file_;
    const FrameInfo& info_;
    const QString& path_;
    std::int64_t next_ = 0;
};

class TiffSink final : public FrameSink {
  public:
    TiffSink(TIFF* tif, const FrameInfo& info, const QString& path, const std::string& error)
        : tif_(tif), info_(info), path_(path), error_(error) {}
    void WriteRows(const float* rows, std::int64_t count) override {
        const std::size_t rowSamples = std::size_t(info_.width * info_.channels);
        for (std::int64_t y = 0; y < count; ++y) {
            if (TIFFWriteScanline(tif_, const_cast<float*>(rows + std::size_t(y) * rowSamples),
                                  std::uint32_t(next_ + y), 0) != 1) {
                CannotWrite(path_, error_ + ".");
            }
        }
        next_ += count;
    }

  private:
    TIFF* tif_;
    const FrameInfo& info_;
    const QString& path_;
    const std::string& error_;
    std::int64_t next_ = 0;
};

void PutCard(fitsfile* file, const FrameCard& card, int& status) {
    char* key = const_cast<char*>(card.key.c_str());
    char* comment = const_cast<char*>(card.comment.c_str());
    if (card.key == "HISTORY") {
        fits_write_history(file, std::get<std::string>(card.value).c_str(), &status);
    } else if (const auto* text = std::get_if<std::string>(&card.value)) {
        fits_update_key_str(file, key, text->c_str(), comment, &status);
    } else if (const auto* number = std::get_if<double>(&card.value)) {
        fits_update_key_dbl(file, key, *number, -15, comment, &status);
    } else {
        fits_update_key_lng(file, key, LONGLONG(std::get<std::int64_t>(card.value)), comment,
                            &status);
    }
}

std::string CardLine(const FrameCard& card) {
    if (card.key == "HISTORY") return "HISTORY " + std::get<std::string>(card.value);
    std::string value;
    if (const auto* text = std::get_if<std::string>(&card.value)) {
        value = "'" + *text + "'";
    } else if (const auto* number = std::get_if<double>(&card.value)) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%.15g", *number);
        value = digits;
    } else {
        value = std::to_string(std::get<std::int64_t>(card.value));
    }
    std::string line = card.key + " = " + value;
    if (!card.comment.empty()) line += " / " + card.comment;
    return line;
}

void WriteFits(const QString& path, const std::filesystem::path& temporary, const FrameInfo& info,
               std::vector<FrameCard>& cards, const std::function<void(FrameSink&)>& produce) {
    // cfitsio makes its file itself: the empty one made in its place goes, its permissions kept.
    struct stat kept {};
    const bool hadMode = ::stat(temporary.c_str(), &kept) == 0;
    ::unlink(temporary.c_str());
    fitsfile* file = nullptr;
    int status = 0;
    if (fits_create_diskfile(&file, temporary.c_str(), &status) != 0) {
        CannotWrite(path, FitsReason(status));
    }
    struct Closer {
        fitsfile* file;
        ~Closer() {
            int ignored = 0;
            if (file != nullptr) fits_close_file(file, &ignored);
        }
    } closer{file};
    long size[3] = {long(info.width), long(info.height), long(info.channels)};
    fits_create_img(file, FLOAT_IMG, info.channels == 1 ? 2 : 3, size, &status);
    if (!info.cfa.empty()) {
        fits_write_key_str(file, "BAYERPAT", CfaLetters(info.cfa).c_str(),
                           "colour filter array, top row first", &status);
    }
    for (const std::string& card : info.cards) {
        const std::string key = CardKey(card);
        const bool replaced = std::any_of(cards.begin(), cards.end(), [&](const FrameCard& c) {
            return c.key == key && key != "HISTORY";
        });
        if (!replaced) fits_write_record(file, card.c_str(), &status);
    }
    // The cards first, so that the header need not grow, and so move the data, once it is
    // written; their values are set again at the end.
    for (const FrameCard& card : cards)
        PutCard(file, card, status);
    if (status != 0) CannotWrite(path, FitsReason(status));
    FitsSink sink(file, info, path);
    produce(sink);
    for (const FrameCard& card : cards) {
        if (card.key != "HISTORY") PutCard(file, card, status);
    }
    closer.file = nullptr;
    fits_close_file(file, &status);
    if (status != 0) CannotWrite(path, FitsReason(status));
    if (hadMode) ::chmod(temporary.c_str(), kept.st_mode & 07777);
}

void WriteTiff(const QString& path, const std::filesystem::path& temporary, const FrameInfo& info,
               std::vector<FrameCard>& cards, const std::function<void(FrameSink&)>& produce) {
    std::string error;
    const TiffFile tif = OpenTiffFile(QFile::decodeName(temporary.c_str()), "w", error);
    if (tif == nullptr) CannotWrite(path, error + ".");
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(info.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(info.height));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(info.channels));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(32));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                 info.channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(16));
    TiffSink sink(t, info, path, error);
    produce(sink);
    // The description is written with the directory, when the file is closed, so it takes the
    // cards' final values.
    std::string description;
    for (const std::string& card : info.cards) {
        std::string line = card;
        line.erase(line.find_last_not_of(' ') + 1);
        description += line + "\n";
    }
    if (!info.cfa.empty()) description += "BAYERPAT = '" + CfaLetters(info.cfa) + "'\n";
    for (const FrameCard& card : cards)
        description += CardLine(card) + "\n";
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    if (TIFFWriteDirectory(t) != 1 || !error.empty()) CannotWrite(path, error + ".");
}

}  // namespace

std::optional<std::string> CardValue(const std::vector<std::string>& cards,
                                     const std::string& key) {
    for (const std::string& card : cards) {
        if (CardKey(card) != key || card.size() < 10 || card.compare(8, 2, "= ") != 0) continue;
        std::string value = card.substr(10);
        const std::size_t begin = value.find_first_not_of(' ');
        if (begin == std::string::npos) return std::string();
        value.erase(0, begin);
        if (value.front() == '\'') {
            std::string text;
            for (std::size_t i = 1; i < value.size(); ++i) {
                if (value[i] == '\'') {
                    if (i + 1 < value.size() && value[i + 1] == '\'') {
                        text += '\'';
                        ++i;
                        continue;
                    }
                    break;
                }
                text += value[i];
            }
            text.erase(text.find_last_not_of(' ') + 1);
            return text;
        }
        value = value.substr(0, value.find('/'));
        value.erase(value.find_last_not_of(' ') + 1);
        return value;
    }
    return std::nullopt;
}

std::string LayoutText(const FrameInfo& info) {
    std::string text = std::to_string(info.width) + " x " + std::to_string(info.height);
    if (info.channels > 1) text += " x " + std::to_string(info.channels);
    if (!info.cfa.empty()) text += " (" + CfaLetters(info.cfa) + ")";
    return text;
}

void RefuseOtherLayout(const QString& path, const FrameInfo& info, const QString& otherPath,
                       const FrameInfo& other, const std::string& otherName,
                       const std::string& because) {
    throw Error(
        ErrorKind::Picture,
        "the frame " + Native(path).toStdString() + " is " + LayoutText(info) + ", but " +
            (otherName.empty() ? "" : otherName + " ") + Native(otherPath).toStdString() + " is " +
            LayoutText(other) + because + ".",
        ErrorFields(path.toStdString()).Sizes(info.width, info.height, other.width, other.height));
}

bool SameLayout(const FrameInfo& a, const FrameInfo& b) {
    return a.width == b.width && a.height == b.height && a.channels == b.channels &&
           CfaLetters(a.cfa) == CfaLetters(b.cfa);
}

int PositionsOf(const FrameInfo& info) {
    return info.cfa.empty() ? info.channels : Positions(info.cfa);
}

int PositionOf(const FrameInfo& info, std::int64_t i, std::int64_t y) {
    return info.cfa.empty() ? int(i % info.channels) : PositionAt(info.cfa, i, y);
}

bool IsFitsFile(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == "fits" || suffix == "fit" || suffix == "fts";
}

std::unique_ptr<FrameReader> FrameReader::Open(const QString& path) {
    if (IsFitsFile(path)) return FitsFrame::Open(path);
    if (IsRawFile(path)) return RawFrame::Open(path);
    return PictureFrame::Open(path);
}

void WriteFloatFrame(const QString& path, const FrameInfo& info, std::vector<FrameCard>& cards,
                     const std::function<void(FrameSink&)>& produce, Durability durability) {
    ReplaceFileAtomically(std::filesystem::path(QFile::encodeName(path).constData()), durability,
                          [&](const std::filesystem::path& temporary) {
                              if (IsFitsFile(path)) {
                                  WriteFits(path, temporary, info, cards, produce);
                              } else {
                                  WriteTiff(path, temporary, info, cards, produce);
                              }
                          });
}

}  // namespace velmora
