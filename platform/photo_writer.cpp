#include "platform/photo_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>
#include <vips/vips8>

#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/photo_decoder.h"
#include "platform/photo_metadata.h"
#include "platform/picture_file.h"

namespace velmora {
namespace {

[[noreturn]] void RefuseWrite(const QString& path, const QString& reason, Problem problem = {}) {
    throw Error(ErrorKind::Picture, ("cannot write " + Native(path) + ": " + reason).toStdString(),
                ErrorFields(problem, path.toStdString()));
}

// The correction as a step of the picture library's pipeline: each region of the output is the
// input's region, copied and handed to the thread's corrector. What fails is kept for the
// writer, which the library only tells that something did.
struct Correction {
    vips::VImage input;
    const NewRowCorrector* newCorrector;
    std::mutex mutex;
    std::exception_ptr raised;
    bool inputFailed = false;
    QString inputReason;

    void Keep(std::exception_ptr error) {
        const std::lock_guard lock(mutex);
        if (!raised) raised = std::move(error);
    }
};

struct Sequence {
    VipsRegion* input = nullptr;
    std::unique_ptr<RowCorrector> corrector;
};

void* StartCorrection(VipsImage*, void* a, void*) {
    auto* correction = static_cast<Correction*>(a);
    auto sequence = std::make_unique<Sequence>();
    try {
        if (*correction->newCorrector) sequence->corrector = (*correction->newCorrector)();
    } catch (...) {
        correction->Keep(std::current_exception());
        return nullptr;
    }
    sequence->input = vips_region_new(correction->input.get_image());
    return sequence.release();
}

int StopCorrection(void* seq, void*, void*) {
    auto* sequence = static_cast<Sequence*>(seq);
    if (sequence->input != nullptr) g_object_unref(sequence->input);
    delete sequence;
    return 0;
}

template <typename Sample>
ImageView<Sample> ViewOf(VipsRegion* region, int bands, int colourChannels) {
    const VipsRect& r = region->valid;
    return ImageView<Sample>(reinterpret_cast<Sample*>(VIPS_REGION_ADDR(region, r.left, r.top)),
                             r.width, r.height, bands, colourChannels,
                             std::ptrdiff_t(VIPS_REGION_LSKIP(region) / sizeof(Sample)));
}

int GenerateCorrection(VipsRegion* out, void* seq, void* a, void*, gboolean*) {
    auto* sequence = static_cast<Sequence*>(seq);
    auto* correction = static_cast<Correction*>(a);
    const VipsRect& r = out->valid;
    if (vips_region_prepare(sequence->input, &r) != 0) {
        const std::lock_guard lock(correction->mutex);
        if (!correction->inputFailed) {
            correction->inputFailed = true;
            correction->inputReason = LibraryReason(vips::VError());
        }
        return -1;
    }
    const std::size_t rowBytes = std::size_t(VIPS_REGION_SIZEOF_LINE(out));
    for (int y = r.top; y < r.top + r.height; ++y) {
        std::memcpy(VIPS_REGION_ADDR(out, r.left, y), VIPS_REGION_ADDR(sequence->input, r.left, y),
                    rowBytes);
    }
    if (!sequence->corrector) return 0;
    const int bands = out->im->Bands;
    const int colour = bands >= 3 ? 3 : 1;
    try {
        if (out->im->BandFmt == VIPS_FORMAT_USHORT) {
            sequence->corrector->Correct(ViewOf<std::uint16_t>(out, bands, colour), r.left, r.top);
        } else {
            sequence->corrector->Correct(ViewOf<std::uint8_t>(out, bands, colour), r.left, r.top);
        }
    } catch (...) {
        correction->Keep(std::current_exception());
        return -1;
    }
    return 0;
}

// A new picture of the input's pixels as `correction` corrects them, without the input's fields
// (a save takes the photograph's metadata, and only that, from CopyMetadata).
vips::VImage Corrected(Correction& correction) {
    VipsImage* in = correction.input.get_image();
    VipsImage* out = vips_image_new();
    vips_image_init_fields(out, in->Xsize, in->Ysize, in->Bands, in->BandFmt, VIPS_CODING_NONE,
                           in->Bands == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_MULTIBAND,
                           1.0, 1.0);
    if (vips_image_pipelinev(out, VIPS_DEMAND_STYLE_FATSTRIP, nullptr) != 0 ||
        vips_image_generate(out, StartCorrection, GenerateCorrection, StopCorrection, &correction,
                            nullptr) != 0) {
        g_object_unref(out);
        throw vips::VError();
    }
    return vips::VImage(out);
}

// Fields that describe the pixels rather than the photograph; the new picture has its own.
bool IsPixelField(const char* name) {
    static const std::set<std::string> kPixelFields{"width",
                                                    "height",
                                                    "bands",
                                                    "format",
                                                    "coding",
                                                    "interpretation",
                                                    "xoffset",
                                                    "yoffset",
                                                    "filename",
                                                    "mode",
                                                    "bits-per-sample",
                                                    "palette",
                                                    "palette-bit-depth",
                                                    "vips-loader",
                                                    "n-pages",
                                                    "page-height"};
    return kPixelFields.count(name) != 0;
}

void CopyMetadata(VipsImage* in, vips::VImage& to) {
    VipsImage* out = to.get_image();
    char** fields = vips_image_get_fields(in);
    for (char** field = fields; *field != nullptr; ++field) {
        if (!IsPixelField(*field)) {
            GValue value = G_VALUE_INIT;
            if (vips_image_get(in, *field, &value) == 0) {
                vips_image_set(out, *field, &value);
                g_value_unset(&value);
            }
        }
    }
    g_strfreev(fields);
}

// The pixels as the library's picture to save, with the metadata of the file they came from;
// for JPEG without alpha.
vips::VImage ImageToWrite(const vips::VImage& pixels, const PhotoFile& input, PhotoFormat format) {
    const PhotoHeader& header = input.header();
    const bool grey = header.colourChannels == 1;
    VipsImage* file = input.decoder().image.get_image();
    vips::VImage image =
        pixels.copy(vips::VImage::option()
                        ->set("interpretation",
                              header.bits == 16
                                  ? (grey ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_RGB16)
                                  : (grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB))
                        ->set("xres", file->Xres)
                        ->set("yres", file->Yres));
    if (format == PhotoFormat::Jpeg && header.samplesPerPixel != header.colourChannels) {
        image = image.extract_band(0, vips::VImage::option()->set("n", header.colourChannels));
    }
    CopyMetadata(file, image);
    return image;
}

// Whether the input may hold EXIF, XMP or IPTC that the PNG and TIFF writers would not all carry:
// where the library found some, and in any PNG, whose IPTC text only Exiv2 reads.
bool HasMetadataToCarry(const PhotoFile& input) {
    VipsImage* in = input.decoder().image.get_image();
    const char* loader = nullptr;
    if (vips_image_get_typeof(in, VIPS_META_LOADER) != 0) {
        vips_image_get_string(in, VIPS_META_LOADER, &loader);
    }
    return vips_image_get_typeof(in, VIPS_META_EXIF_NAME) != 0 ||
           vips_image_get_typeof(in, VIPS_META_XMP_NAME) != 0 ||
           vips_image_get_typeof(in, VIPS_META_IPTC_NAME) != 0 ||
           (loader != nullptr && std::string_view(loader).starts_with("png")) ||
           !input.decoder().encoded.isEmpty();
}

// Writes by the saver's own name, so that the file name is not read for options.
void Save(const vips::VImage& image, PhotoFormat format, int quality, const char* file) {
    if (format == PhotoFormat::Jpeg) {
        image.jpegsave(file, vips::VImage::option()->set("Q", quality));
    } else if (format == PhotoFormat::Png) {
        image.pngsave(file);
    } else {
        image.tiffsave(file);
    }
}

// A 24-bit BMP as Qt's writer makes it (see BitmapLayoutFor). The rows arrive from the top in
// strips, each written where it belongs.
struct BitmapSink {
    int fd = -1;
    std::int64_t width = 0;
    std::int64_t height = 0;
    int samplesPerPixel = 0;
    int colourChannels = 0;
    BitmapLayout layout;
    std::vector<std::uint8_t> buffer;
    int error = 0;  // errno of what failed

    bool Put(const std::uint8_t* bytes, std::size_t count, std::int64_t at) {
        while (count > 0) {
            const ssize_t wrote = ::pwrite(fd, bytes, count, off_t(at));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) {
                error = wrote < 0 ? errno : ENOSPC;
                return false;
            }
            bytes += wrote;
            count -= std::size_t(wrote);
            at += wrote;
        }
        return true;
    }

    static int Write(VipsRegion* region, VipsRect* area, void* a) {
        auto* sink = static_cast<BitmapSink*>(a);
        const int step = sink->samplesPerPixel;
        const int green = sink->colourChannels == 3 ? 1 : 0;
        const int blue = sink->colourChannels == 3 ? 2 : 0;
        const std::size_t fileRow = std::size_t(sink->layout.fileRowBytes);
        sink->buffer.assign(fileRow * std::size_t(area->height), 0);
        // The strip's last row comes first in the file.
        for (int y = area->top; y < area->top + area->height; ++y) {
            const auto* in = reinterpret_cast<const std::uint8_t*>(VIPS_REGION_ADDR(region, 0, y));
            std::uint8_t* out =
                sink->buffer.data() + std::size_t(area->top + area->height - 1 - y) * fileRow;
            for (std::int64_t x = 0; x < sink->width; ++x, in += step, out += 3) {
                out[0] = in[blue];
                out[1] = in[green];
                out[2] = in[0];
            }
        }
        const std::int64_t at = BitmapLayout::kHeaderBytes +
                                (sink->height - area->top - area->height) * std::int64_t(fileRow);
        return sink->Put(sink->buffer.data(), sink->buffer.size(), at) ? 0 : -1;
    }
};

void SaveBitmap(const vips::VImage& image, const PhotoHeader& header, const QString& path,
                Durability durability, const std::function<void()>& confirm) {
    const auto cannotSave = [&](const QString& reason) {
        return Error(ErrorKind::File, ("cannot save " + Native(path) + ": " + reason).toStdString(),
                     ErrorFields(path.toStdString()));
    };
    BitmapSink sink;
    sink.width = header.width;
    sink.height = header.height;
    sink.samplesPerPixel = header.samplesPerPixel;
    sink.colourChannels = header.colourChannels;
    sink.layout = BitmapLayoutFor(header.width, header.height);
    if (!sink.layout.fits) throw cannotSave("the picture is too large for a BMP file");
    ReplaceFileAtomically(
        QFile::encodeName(path).constData(), durability,
        [&](const std::filesystem::path& temporary) {
            sink.fd = ::open(temporary.c_str(), O_WRONLY | O_CLOEXEC);
            if (sink.fd < 0) sink.error = errno;
            if (sink.fd < 0 || !sink.Put(sink.layout.header.data(), sink.layout.header.size(), 0) ||
                vips_sink_disc(image.get_image(), BitmapSink::Write, &sink) != 0) {
                if (sink.fd >= 0) ::close(sink.fd);
                if (sink.error != 0) throw cannotSave(QString(std::strerror(sink.error)) + ".");
                throw vips::VError();
            }
            if (::close(sink.fd) != 0) throw cannotSave(QString(std::strerror(errno)) + ".");
            if (confirm) confirm();
        });
}

void Encode(const vips::VImage& image, const PhotoFile& input, const QString& path,
            PhotoFormat format, int quality, Durability durability,
            const std::function<void()>& confirm) {
    if (format == PhotoFormat::Bmp) {
        SaveBitmap(image, input.header(), path, durability, confirm);
        return;
    }
    // The library's JPEG writer carries EXIF, XMP, IPTC and ICC itself; its PNG and TIFF writers
    // leave some out, which Exiv2 adds to the file written.
    const bool carry = CarriesMetadataInMemory(input, format);
    ReplaceFileAtomically(QFile::encodeName(path).constData(), durability,
                          [&](const std::filesystem::path& temporary) {
                              Save(image, format, quality, temporary.c_str());
                              if (carry) CarryMetadata(input.path(), temporary, path);
                              if (confirm) confirm();
                          });
}

}  // namespace

int PictureThreads() {
    return vips_concurrency_get();
}

bool CarriesMetadataInMemory(const PhotoFile& input, PhotoFormat format) {
    return (format == PhotoFormat::Png || format == PhotoFormat::Tiff) && HasMetadataToCarry(input);
}

void WritePhoto(const PhotoFile& input, const NewRowCorrector& corrector, const QString& path,
                PhotoFormat format, int quality, Durability durability,
                const std::function<void()>& confirm) {
    const PhotoHeader& header = input.header();
    if (header.bits == 16 && (format == PhotoFormat::Bmp || format == PhotoFormat::Jpeg)) {
        RefuseWrite(path,
                    QString("a 16-bit picture cannot be written as %1, which holds 8 bits.")
                        .arg(format == PhotoFormat::Bmp ? "BMP" : "JPEG"),
                    Problem::EightBitFormat);
    }
    Correction correction{input.decoder().image, &corrector, {}, {}, false, {}};
    try {
        Encode(ImageToWrite(Corrected(correction), input, format), input, path, format, quality,
               durability, confirm);
    } catch (const vips::VError& error) {
        if (correction.raised) std::rethrow_exception(correction.raised);
        if (correction.inputFailed) RefuseDamaged(input.path(), correction.inputReason);
        RefuseWrite(path, "cannot encode the picture (" + LibraryReason(error) + ").");
    }
    if (correction.raised) std::rethrow_exception(correction.raised);
}

}  // namespace velmora
