#include "platform/dng_writer.h"

#include <QFile>
#include <algorithm>
#include <exiv2/exiv2.hpp>
#include <mutex>

#include "correction/cfa_planes.h"
#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/tiff_file.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace velmora {
namespace {

TIFFExtendProc previousExtender = nullptr;

void AddDngTags(TIFF* tif) {
    static const TIFFFieldInfo fields[] = {{ttag_t(kOpcodeList2Tag), -3, -3, TIFF_UNDEFINED,
                                            FIELD_CUSTOM, 1, 1, const_cast<char*>("OpcodeList2")}};
    TIFFMergeFieldInfo(tif, fields, 1);
    if (previousExtender != nullptr) previousExtender(tif);
}

[[noreturn]] void Fail(const QString& output, const std::string& reason) {
    throw Error(ErrorKind::File,
                ("cannot write " + Native(output)).toStdString() + ": " + reason + ".",
                ErrorFields(output.toStdString()));
}

std::vector<float> Floats(const std::array<double, 9>& matrix) {
    return std::vector<float>(matrix.begin(), matrix.end());
}

bool Known(const std::array<double, 9>& matrix) {
    return std::any_of(matrix.begin(), matrix.end(), [](double v) { return v != 0; });
}

void SetTags(TIFF* tif, const DngImage& image) {
    const RawHeader& header = *image.header;
    const std::uint32_t width = std::uint32_t(header.width);
    const std::uint32_t height = std::uint32_t(header.height);
    const bool mosaic = !header.cfa.empty();
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, header.channels);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, mosaic ? 32803 : 34892);  // CFA, LinearRaw
    // About a megabyte a strip, and never more rows than the picture has: a raw decoder
    // (rawspeed, in darktable) refuses a strip taller than the image.
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                 std::clamp<std::uint32_t>(
                     (1u << 20) / (width * 2 * std::uint32_t(header.channels)), 1, height));
    TIFFSetField(tif, TIFFTAG_ORIENTATION, header.orientation);
    TIFFSetField(tif, TIFFTAG_MAKE, header.make.c_str());
    TIFFSetField(tif, TIFFTAG_MODEL, header.model.c_str());
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "velmora-cli");
    static const std::uint8_t version[4] = {1, 4, 0, 0};
    static const std::uint8_t backward[4] = {1, 3, 0, 0};
    TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, backward);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, header.uniqueModel.c_str());

    const int positions = mosaic ? Positions(header.cfa) : 1;
    if (mosaic) {
        const std::uint16_t dims[2] = {std::uint16_t(header.cfa.height),
                                       std::uint16_t(header.cfa.width)};
        TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, dims);
        TIFFSetField(tif, TIFFTAG_CFAPATTERN, positions, header.cfa.colour.data());
        static const std::uint8_t planes[3] = {0, 1, 2};
        TIFFSetField(tif, TIFFTAG_CFAPLANECOLOR, 3, planes);
        TIFFSetField(tif, TIFFTAG_CFALAYOUT, 1);
        TIFFSetField(tif, TIFFTAG_BLACKLEVELREPEATDIM, dims);
    }
    std::vector<float> black(std::size_t(positions) * std::size_t(mosaic ? 1 : header.channels));
    for (std::size_t i = 0; i < black.size(); ++i)
        black[i] = float(header.levels.black[mosaic ? i : 0]);
    TIFFSetField(tif, TIFFTAG_BLACKLEVEL, int(black.size()), black.data());
    const std::uint32_t white = std::uint32_t(header.levels.white);
    TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);

    const RawColour& colour = header.colour;
    if (Known(colour.matrix1)) {
        const std::vector<float> matrix = Floats(colour.matrix1);
        TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, matrix.data());
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, colour.illuminant1);
    }
    if (Known(colour.matrix2) && colour.illuminant2 != 0) {
        const std::vector<float> matrix = Floats(colour.matrix2);
        TIFFSetField(tif, TIFFTAG_COLORMATRIX2, 9, matrix.data());
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT2, colour.illuminant2);
    }
    const float neutral[3] = {float(colour.asShotNeutral[0]), float(colour.asShotNeutral[1]),
                              float(colour.asShotNeutral[2])};
    TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    if (header.baselineExposure != 0) {
        TIFFSetField(tif, TIFFTAG_BASELINEEXPOSURE, header.baselineExposure);
    }
    const std::uint32_t area[4] = {0, 0, height, width};
    TIFFSetField(tif, TIFFTAG_ACTIVEAREA, area);
    const bool cropped = header.crop[2] > 0;
    const float origin[2] = {cropped ? float(header.crop[0]) : 0.0f,
                             cropped ? float(header.crop[1]) : 0.0f};
    const float size[2] = {cropped ? float(header.crop[2]) : float(width),
                           cropped ? float(header.crop[3]) : float(height)};
    TIFFSetField(tif, TIFFTAG_DEFAULTCROPORIGIN, origin);
    TIFFSetField(tif, TIFFTAG_DEFAULTCROPSIZE, size);
    if (!image.opcodeList2.empty()) {
        TIFFSetField(tif, kOpcodeList2Tag, std::uint32_t(image.opcodeList2.size()),
                     image.opcodeList2.data());
    }
}

// Exif.Photo (without the maker note, which describes the original's own layout) and GPS.
void CarryExif(const QString& input, const std::filesystem::path& written, const QString& output) {
    Exiv2::Image::AutoPtr source;
    try {
        source = Exiv2::ImageFactory::open(std::string(QFile::encodeName(input).constData()));
        source->readMetadata();
    } catch (const Exiv2::AnyError&) {
        return;  // a format the library does not read: the DNG has LibRaw's tags alone
    }
    try {
        Exiv2::Image::AutoPtr target = Exiv2::ImageFactory::open(written.string());
        target->readMetadata();
        Exiv2::ExifData exif = target->exifData();
        for (const Exiv2::Exifdatum& datum : source->exifData()) {
            const std::string group = datum.groupName();
            if ((group == "Photo" && datum.tagName() != "MakerNote") || group == "GPSInfo" ||
                (group == "Image" &&
                 (datum.tagName() == "Artist" || datum.tagName() == "Copyright" ||
                  datum.tagName() == "DateTime"))) {
                exif[datum.key()] = datum.value();
            }
        }
        target->setExifData(exif);
        target->setIptcData(source->iptcData());
        target->setXmpData(source->xmpData());
        target->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        Fail(output, std::string("cannot write its metadata: ") + error.what());
    }
}

}  // namespace

void RegisterDngTags() {
    static std::once_flag once;
    std::call_once(once, [] { previousExtender = TIFFSetTagExtender(AddDngTags); });
}

void WriteDng(const DngImage& image, const QString& output, const QString& metadataFrom,
              Durability durability) {
    RegisterDngTags();
    ReplaceFileAtomically(
        std::filesystem::path(QFile::encodeName(output).constData()), durability,
        [&](const std::filesystem::path& temporary) {
            std::string error;
            {
                const TiffFile tif = OpenTiffFile(QFile::decodeName(temporary.c_str()), "w", error);
                if (tif == nullptr) Fail(output, error);
                SetTags(tif.get(), image);
                const ImageView<const std::uint16_t>& samples = image.samples;
                std::vector<std::uint16_t> row(samples.rowSamples());
                for (std::int64_t y = 0; y < samples.height(); ++y) {
                    std::copy(samples.row(y), samples.row(y) + row.size(), row.begin());
                    if (TIFFWriteScanline(tif.get(), row.data(), std::uint32_t(y), 0) != 1) {
                        Fail(output, error.empty() ? "the disk refused it" : error);
                    }
                }
                if (TIFFWriteDirectory(tif.get()) != 1) Fail(output, error);
            }
            CarryExif(metadataFrom, temporary, output);
        });
}

}  // namespace velmora

#pragma GCC diagnostic pop
