#include "platform/raw_file.h"

#include <libraw/libraw.h>

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <memory>

#include "correction/cfa_planes.h"
#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/tiff_file.h"

namespace velmora {
namespace {

[[noreturn]] void Fail(const QString& path, const QString& reason) {
    throw Error(ErrorKind::Picture, ("raw file " + Native(path) + ": " + reason).toStdString(),
                ErrorFields(path.toStdString()));
}

QString LibRawText(int code) {
    return QString::fromUtf8(LibRaw::strerror(code));
}

// The suffixes of raw formats whose files are not TIFFs that say what they are.
const QSet<QString>& RawSuffixes() {
    static const QSet<QString> suffixes{"dng", "cr2", "cr3", "crw", "nef", "nrw", "arw",
                                        "srf", "sr2", "raf", "orf", "rw2", "pef", "ptx",
                                        "srw", "x3f", "3fr", "fff", "iiq", "mos", "mef",
                                        "mrw", "erf", "kdc", "dcr", "raw", "rwl", "gpr"};
    return suffixes;
}

bool IsTiffDng(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = file.read(4);
    if (head != QByteArray("II*\0", 4) && head != QByteArray("MM\0*", 4)) return false;
    file.close();
    std::string error;
    const TiffFile tif = OpenTiffFile(path, "r", error);
    const void* version = nullptr;
    return tif != nullptr && TIFFGetField(tif.get(), TIFFTAG_DNGVERSION, &version) == 1;
}

// A DNG's DefaultCrop (origin and size in the active area, which is LibRaw's visible area), read
// from its raw IFD (the first, or a sub-IFD of it) with libtiff, as LibRaw keeps none of it;
// zeros where it has none or one that does not fit.
std::array<double, 4> DefaultCrop(const QString& path, std::int32_t width, std::int32_t height) {
    std::string error;
    const TiffFile tif = OpenTiffFile(path, "r", error);
    if (tif == nullptr) return {};
    const auto read = [&]() -> std::array<double, 4> {
        float* origin = nullptr;
        float* size = nullptr;
        if (TIFFGetField(tif.get(), TIFFTAG_DEFAULTCROPORIGIN, &origin) != 1 ||
            TIFFGetField(tif.get(), TIFFTAG_DEFAULTCROPSIZE, &size) != 1 || origin == nullptr ||
            size == nullptr || !(size[0] > 0 && size[1] > 0) || origin[0] < 0 || origin[1] < 0 ||
            origin[0] + size[0] > float(width) || origin[1] + size[1] > float(height)) {
            return {};
        }
        return {origin[0], origin[1], size[0], size[1]};
    };
    std::uint32_t subfile = 1;
    TIFFGetField(tif.get(), TIFFTAG_SUBFILETYPE, &subfile);
    if (subfile == 0) return read();
    std::uint16_t count = 0;
    std::uint64_t* offsets = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_SUBIFD, &count, &offsets) != 1 || offsets == nullptr) {
        return {};
    }
    const std::vector<std::uint64_t> subs(offsets, offsets + count);
    for (const std::uint64_t offset : subs) {
        if (TIFFSetSubDirectory(tif.get(), offset) != 1) continue;
        subfile = 1;
        TIFFGetField(tif.get(), TIFFTAG_SUBFILETYPE, &subfile);
        if (subfile == 0) return read();
    }
    return {};
}

// EXIF's orientation of LibRaw's flip.
int Orientation(int flip) {
    switch (flip) {
        case 3:
            return 3;
        case 5:
            return 8;
        case 6:
            return 6;
        default:
            return 1;
    }
}

std::unique_ptr<LibRaw> Open(const QString& path) {
    if (!QFileInfo(path).isFile()) Fail(path, "does not exist.");
    auto raw = std::make_unique<LibRaw>();
    const int code = raw->open_file(QFile::encodeName(path).constData());
    if (code != LIBRAW_SUCCESS) {
        Fail(path, "cannot be read as a raw file (LibRaw: " + LibRawText(code) + ").");
    }
    return raw;
}

// The colour of position (x, y) of the visible area as 0 red, 1 green, 2 blue.
std::uint8_t ColourAt(LibRaw& raw, int x, int y) {
    const int index = raw.COLOR(y, x);
    const char letter = raw.imgdata.idata.cdesc[std::clamp(index, 0, 3)];
    return letter == 'R' ? 0 : letter == 'B' ? 2 : 1;
}

RawHeader HeaderOf(LibRaw& raw, const QString& path) {
    const libraw_data_t& data = raw.imgdata;
    RawHeader header;
    header.width = data.sizes.width;
    header.height = data.sizes.height;
    header.dng = data.idata.dng_version != 0;
    const unsigned filters = data.idata.filters;
    if (data.idata.is_foveon || data.idata.colors > 3 || raw.is_fuji_rotated()) {
        Fail(path,
             "has a sensor layout this program does not correct (Foveon, a Fuji sensor "
             "turned 45 degrees, or four colours).");
    }
    if (filters == 0) {
        header.channels = 3;  // linear: every pixel has its three colours
    } else {
        const int side = filters == 9 ? 6 : filters < 1000 ? 0 : 2;
        if (side == 0)
            Fail(path, "has a colour filter array of a layout this program does not correct.");
        header.cfa.width = header.cfa.height = side;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x)
                header.cfa.colour[std::size_t(y * side + x)] = ColourAt(raw, x, y);
        }
    }
    // The value of no light per position: the file's one level, its level per colour and its
    // pattern (DNG's BlackLevel with BlackLevelRepeatDim).
    const unsigned* cblack = data.color.cblack;
    const int positions = header.cfa.empty() ? 1 : Positions(header.cfa);
    for (int p = 0; p < positions; ++p) {
        const int x = header.cfa.empty() ? 0 : p % header.cfa.width;
        const int y = header.cfa.empty() ? 0 : p / header.cfa.width;
        double black = data.color.black;
        if (!header.cfa.empty()) black += cblack[std::clamp(raw.COLOR(y, x), 0, 3)];
        if (cblack[4] > 0 && cblack[5] > 0)
            black += cblack[6 + (unsigned(y) % cblack[4]) * cblack[5] + unsigned(x) % cblack[5]];
        header.levels.black[std::size_t(p)] = black;
    }
    header.levels.white = data.color.maximum > 0 ? data.color.maximum : 65535;

    RawColour& colour = header.colour;
    const auto matrix = [](const float(&from)[4][3], std::array<double, 9>& to) {
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                to[std::size_t(r * 3 + c)] = from[r][c];
        }
        return std::any_of(to.begin(), to.end(), [](double v) { return v != 0; });
    };
    if (header.dng && matrix(data.color.dng_color[0].colormatrix, colour.matrix1)) {
        colour.illuminant1 = data.color.dng_color[0].illuminant;
        if (matrix(data.color.dng_color[1].colormatrix, colour.matrix2))
            colour.illuminant2 = data.color.dng_color[1].illuminant;
        // One matrix is the second of LibRaw's pair when the file has only one.
        if (!std::any_of(colour.matrix1.begin(), colour.matrix1.end(),
                         [](double v) { return v != 0; }))
            std::swap(colour.matrix1, colour.matrix2);
    } else {
        matrix(data.color.cam_xyz, colour.matrix1);  // LibRaw's table of cameras: D65
        colour.illuminant1 = 21;
    }
    const float* multipliers = data.color.cam_mul[0] > 0 ? data.color.cam_mul : data.color.pre_mul;
    if (multipliers[0] > 0 && multipliers[1] > 0 && multipliers[2] > 0) {
        for (int c = 0; c < 3; ++c)
            colour.asShotNeutral[std::size_t(c)] = double(multipliers[1]) / multipliers[c];
    }
    header.orientation = Orientation(data.sizes.flip);
    if (header.dng && data.color.dng_levels.baseline_exposure > -999)
        header.baselineExposure = data.color.dng_levels.baseline_exposure;
    if (header.dng) header.crop = DefaultCrop(path, header.width, header.height);
    header.make = data.idata.make;
    header.model = data.idata.model;
    header.uniqueModel =
        data.color.UniqueCameraModel[0] != 0 ? data.color.UniqueCameraModel : header.Camera();
    header.shot.make = header.make;
    header.shot.model = header.model;
    header.shot.lens = data.lens.Lens;
    header.shot.focalLength = std::max(0.0f, data.other.focal_len);
    header.shot.fNumber = std::max(0.0f, data.other.aperture);
    header.exposureTime = std::max(0.0f, data.other.shutter);
    header.iso = std::max(0.0f, data.other.iso_speed);
    return header;
}

}  // namespace

std::string RawHeader::Camera() const {
    if (model.rfind(make, 0) == 0) return model;
    return make.empty() ? model : make + " " + model;
}

ImageView<const std::uint16_t> RawPicture::view() const {
    auto view = ImageView<const std::uint16_t>::Packed(samples.data(), header.width, header.height,
                                                       header.channels, header.channels);
    view.cfa = header.cfa;
    view.levels = header.levels;
    return view;
}

bool IsRawFile(const QString& path) {
    return RawSuffixes().contains(QFileInfo(path).suffix().toLower()) || IsTiffDng(path);
}

RawHeader ReadRawHeader(const QString& path) {
    const std::unique_ptr<LibRaw> raw = Open(path);
    return HeaderOf(*raw, path);
}

struct RawReader::Library {
    std::unique_ptr<LibRaw> raw;
};

RawReader::RawReader(const QString& path) : path_(path), library_(std::make_unique<Library>()) {
    library_->raw = Open(path);
    header_ = HeaderOf(*library_->raw, path);
}

RawReader::~RawReader() = default;
RawReader::RawReader(RawReader&&) noexcept = default;

RawPicture ReadRaw(const QString& path) {
    return RawReader(path).Read();
}

RawPicture RawReader::Read() {
    LibRaw* raw = library_->raw.get();
    const QString& path = path_;
    RawPicture picture;
    picture.header = header_;
    if (const int code = raw->unpack(); code != LIBRAW_SUCCESS) {
        Fail(path, "is damaged or cut short (LibRaw: " + LibRawText(code) + ").");
    }
    if (raw->error_count() > 0)
        Fail(path, "is damaged or cut short (LibRaw found errors in its data).");
    const libraw_data_t& data = raw->imgdata;
    const RawHeader& header = picture.header;
    const std::size_t width = std::size_t(header.width);
    const int channels = header.channels;
    picture.samples.resize(width * std::size_t(header.height) * std::size_t(channels));
    const std::size_t top = data.sizes.top_margin;
    const std::size_t left = data.sizes.left_margin;
    const std::size_t pitch = data.sizes.raw_pitch / sizeof(std::uint16_t);
    for (std::size_t y = 0; y < std::size_t(header.height); ++y) {
        std::uint16_t* to = picture.samples.data() + y * width * std::size_t(channels);
        if (data.rawdata.raw_image != nullptr && channels == 1) {
            const std::uint16_t* from = data.rawdata.raw_image + (y + top) * pitch + left;
            std::copy(from, from + width, to);
        } else if (data.rawdata.color3_image != nullptr) {
            const std::uint16_t* from = data.rawdata.color3_image[(y + top) * pitch / 3 + left];
            std::copy(from, from + width * 3, to);
        } else if (data.rawdata.color4_image != nullptr) {
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint16_t* from =
                    data.rawdata.color4_image[(y + top) * pitch / 4 + left + x];
                std::copy(from, from + 3, to + x * 3);
            }
        } else {
            Fail(path,
                 "holds samples of a kind this program does not correct (floats or "
                 "another layout).");
        }
    }
    raw->recycle();  // LibRaw's copy of the samples goes before the correction starts
    return picture;
}

}  // namespace velmora
