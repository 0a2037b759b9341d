#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "correction/cfa_planes.h"
#include "correction/flat_field.h"
#include "correction/unset_vector.h"
#include "engine/work_pool.h"
#include "platform/frame_file.h"

namespace velmora {

// A whole frame's samples: not zeroed before they are read, on huge pages.
using FrameSamples = UnsetVector<float>;

// Whether `path` is a frame of the calibration world rather than a picture: a FITS, or a TIFF of
// floating-point samples. Reads no more than a TIFF's first directory.
bool IsFrameFile(const QString& path);

// What is subtracted from each frame before its light is measured or corrected.
struct FrameDarks {
    QStringList darks;             // averaged place by place into one dark; empty: none
    QString bias;                  // empty: none
    bool scaleByExposure = false;  // needs both: B + (D - B) x t / t_dark
};

// The offset of a frame: the bias B, the dark D, or B + (D - B) x k with k the frame's exposure
// over the dark's (1 unless scaled by exposure), read once and served to every frame.
class FrameOffset {
  public:
    // Raises ErrorKind::Picture naming both files when a dark and the bias differ in size, and
    // what reading raises.
    explicit FrameOffset(const FrameDarks& darks, WorkPool& pool);

    bool empty() const { return dark_.empty() && bias_.empty(); }
    // Raises ErrorKind::Picture naming both files and both sizes for a frame of another size,
    // and naming the file for a frame (or dark) without an exposure time when it is scaled.
    void CheckFits(const FrameInfo& frame, const QString& path) const;
    // The dark's share k for `frame` (see CheckFits).
    double DarkShare(const FrameInfo& frame) const;
    // signal[i] = rows[i] - offset of sample `start + i`, for `count` samples.
    void Signal(const float* rows, std::size_t start, std::size_t count, double darkShare,
                double* signal) const;
    // What was subtracted, for a header's HISTORY: "dark d.fits (x 0.5)", "bias b.fits".
    std::vector<std::string> History(double darkShare) const;

    // For the sensor's report: the dark frames and their own temporal variance per position,
    // from the first two (none with one dark).
    int darkFrames() const { return darkFrames_; }
    const FrameSamples& dark() const { return dark_; }
    const std::vector<double>& darkTemporal() const { return darkTemporal_; }

  private:
    FrameInfo info_;  // of the dark, else the bias
    QString infoPath_;
    FrameSamples dark_;
    FrameSamples bias_;
    QStringList darkPaths_;
    QString biasPath_;
    std::optional<double> darkExposure_;
    bool scale_ = false;
    int darkFrames_ = 0;
    std::vector<double> darkTemporal_;
};

// A flat for frames: the signal of evenly lit frames, averaged, and the level C of each position
// (of the mosaic, or channel) that the correction S x C / F brings every place to.
struct FrameFlat {
    FrameInfo info;
    FrameSamples values;
    std::vector<double> level;
    bool meanLevel = true;
    int smoothRadius = 0;
};

// The sensor's non-uniformities by EMVA 1288, per position, from two or more flats and darks:
// spatial variances of the averaged frames less their temporal share.
struct SensorReport {
    std::vector<double> prnu;  // per cent of the signal
    // The same after a 5 x 5 box high-pass, which leaves out the lens's falloff and the light's
    // slopes: the pixels' own response.
    std::vector<double> prnuHighPass;
    std::vector<double> dsnu;  // DN; empty without two darks or a master of several
    bool dsnuBound = false;    // from a master alone: its temporal share unknown, an upper bound
};

struct MeasuredFrameFlat {
    FrameFlat flat;
    std::optional<SensorReport> sensor;
};

// The flat of `references` (frames of one layout) less `offset`, smoothed by `smoothRadius`
// (per plane of a mosaic; 0: as measured), normalised to each position's centre or mean, read a
// band of rows of every reference at a time. Raises ErrorKind::Picture naming both files when a
// reference differs from the first; what reading raises.
MeasuredFrameFlat MeasureFrameFlat(const QStringList& references, const FrameOffset& offset,
                                   int smoothRadius, PlaneLevel level, WorkPool& pool);

// Writes the flat as a float frame (FITS or TIFF by the suffix), its levels in its header
// (VLEVEL1 ... and VLEVTYPE) with the first reference's cards (the flat's info keeps them) and
// `history`.
void SaveFrameFlat(const FrameFlat& flat, const QString& path, const QStringList& references,
                   const std::vector<std::string>& history);

// A flat written by SaveFrameFlat, or any float or FITS frame taken as one: its levels its mean
// per position. Raises as FrameReader does.
FrameFlat LoadFrameFlat(const QString& path);

// The light frame `input` corrected into `output` (Durability::FlushLater), a 32-bit float frame
// with the input's cards and HISTORY: (L - offset) x C / F, and where F is not positive, L -
// offset. Raises ErrorKind::Picture naming both files for a light of another size or layout than
// the flat, what CheckFits raises, and what reading and writing raise.
void CalibrateFrame(const QString& input, const QString& output, const FrameFlat& flat,
                    const QString& flatPath, const FrameOffset& offset);

}  // namespace velmora
