#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "correction/image_view.h"
#include "correction/lens_profile.h"
#include "correction/unset_vector.h"

namespace velmora {

// How a raw converter turns a camera's samples into colour, as a DNG records it: the matrices
// from XYZ to the camera's colours under two illuminants (EXIF light source codes: 21 is D65,
// 17 standard light A), and the neutral the camera's white balance saw.
struct RawColour {
    std::array<double, 9> matrix1{};  // row by row; all zero where none is known
    std::array<double, 9> matrix2{};
    int illuminant1 = 21;
    int illuminant2 = 0;  // zero where there is no second matrix
    std::array<double, 3> asShotNeutral{1, 1, 1};
};

// What a raw file's header tells, before its samples are unpacked.
struct RawHeader {
    std::int32_t width = 0;  // of the visible area
    std::int32_t height = 0;
    int channels = 1;  // 1 for a mosaic, 3 for a linear (demosaiced) DNG
    CfaPattern cfa;    // of the visible area; empty for a linear DNG
    SampleLevels levels;
    RawColour colour;
    int orientation = 1;  // EXIF's 1 to 8
    // The part of the visible area a converter shows (a DNG's DefaultCrop): all of it unless
    // the file says otherwise.
    std::array<double, 4> crop{};  // left, top, width, height; zero width: the whole
    double baselineExposure = 0;   // EV a converter adds (a DNG's BaselineExposure)
    bool dng = false;
    std::string make;
    std::string model;
    std::string uniqueModel;  // the camera's name as a DNG names it, else make and model
    ShotSettings shot;
    double exposureTime = 0;  // seconds, zero where not known
    double iso = 0;

    // "Canon EOS R5", as the user knows the camera.
    std::string Camera() const;
};

// A raw file's samples of the visible area, rows packed, with what its header tells.
struct RawPicture {
    RawHeader header;
    UnsetVector<std::uint16_t> samples;

    ImageView<const std::uint16_t> view() const;
};

// Whether `path` is a camera's raw file rather than a rendered picture: a DNG (a TIFF that says
// so, whatever its suffix), or a file whose suffix names one of the raw formats (CR2, CR3, NEF,
// ARW, RAF, ORF, RW2, PEF, ...). Reading nothing but the file's first bytes.
bool IsRawFile(const QString& path);

// Raise ErrorKind::Picture naming the file and what LibRaw found wrong: it cannot be read, is
// not a raw file LibRaw knows, is cut short or damaged, or has a layout this program does not
// correct (Foveon, a Fuji sensor turned 45 degrees, a mosaic of other than 2 x 2 or 6 x 6).
RawHeader ReadRawHeader(const QString& path);
RawPicture ReadRaw(const QString& path);

// A raw file opened once: its header read, its samples read when asked for (once), so that
// what the header decides comes before the samples take their memory. Raises as ReadRaw does.
class RawReader {
  public:
    explicit RawReader(const QString& path);
    ~RawReader();
    RawReader(RawReader&&) noexcept;

    const RawHeader& header() const { return header_; }
    RawPicture Read();

  private:
    struct Library;  // LibRaw's state of the file
    QString path_;
    RawHeader header_;
    std::unique_ptr<Library> library_;
};

}  // namespace velmora
