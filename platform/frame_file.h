#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "correction/atomic_file.h"
#include "correction/image_view.h"

namespace velmora {

// What a frame's file tells before its samples are read. Frames are the calibration world's
// pictures: FITS, TIFF of any depth including 32-bit float, and raw files, their samples taken
// as the numbers they are, with no curve and no cut at full scale.
struct FrameInfo {
    std::int64_t width = 0;
    std::int64_t height = 0;
    int channels = 1;       // 1, or 3 (a FITS's planes, a TIFF's samples)
    CfaPattern cfa;         // a FITS's BAYERPAT, a raw file's mosaic; empty for whole pixels
    bool fits = false;      // of a FITS file
    bool floating = false;  // the file stores floating-point samples
    int bits = 16;          // of each stored sample
    std::optional<double> exposure;  // seconds: FITS EXPTIME (or EXPOSURE), EXIF ExposureTime
    // A FITS's header cards, 80 characters each, but for those that describe its layout (a
    // float TIFF's, from the lines of its description that this program wrote): what an output
    // of it carries.
    std::vector<std::string> cards;
};

// The value of the card `key` among `cards` ('quoted' text unquoted, the comment left out);
// nothing where there is no such card.
std::optional<std::string> CardValue(const std::vector<std::string>& cards, const std::string& key);

// "6000 x 4000", "6000 x 4000 x 3", "6000 x 4000 (RGGB)": a frame's layout for messages.
std::string LayoutText(const FrameInfo& info);
// Raises ErrorKind::Picture: "the frame <path> is <layout>, but <otherName> <otherPath> is
// <layout><because>.", with both sizes in its fields.
[[noreturn]] void RefuseOtherLayout(const QString& path, const FrameInfo& info,
                                    const QString& otherPath, const FrameInfo& other,
                                    const std::string& otherName, const std::string& because = "");
// Whether frames of `a` and `b` can be combined place by place.
bool SameLayout(const FrameInfo& a, const FrameInfo& b);
// The positions a frame's samples fall into: of its mosaic, else its channels.
int PositionsOf(const FrameInfo& info);
// The position of sample `i` (counted along the row, channels together) of row `y`.
int PositionOf(const FrameInfo& info, std::int64_t i, std::int64_t y);

// Whether `path` names a FITS file by its suffix (.fits, .fit, .fts, any case).
bool IsFitsFile(const QString& path);

// A frame opened once, its rows read in any order as floats: each row `width * channels`
// samples, a pixel's channels together. A FITS's BZERO and BSCALE are applied and its BLANK
// samples (and a float file's) are not a number. Safe to use from one thread at a time; frames
// of different files from different threads at once.
class FrameReader {
  public:
    // Raises ErrorKind::File naming the file and the reason (cfitsio's, libvips's or LibRaw's)
    // when it cannot be read, is cut short or is not a frame of 1 or 3 channels.
    static std::unique_ptr<FrameReader> Open(const QString& path);
    virtual ~FrameReader() = default;

    const FrameInfo& info() const { return info_; }
    const QString& path() const { return path_; }
    // Rows `first` to `first + count` into `out`. Raises ErrorKind::File as Open does.
    virtual void ReadRows(std::int64_t first, std::int64_t count, float* out) = 0;

  protected:
    FrameReader(QString path, FrameInfo info) : path_(std::move(path)), info_(std::move(info)) {}
    QString path_;
    FrameInfo info_;
};

// A header card an output adds: KEY = value / comment, or, with the key "HISTORY", a line of
// history.
struct FrameCard {
    std::string key;
    std::variant<std::string, double, std::int64_t> value;
    std::string comment;
};

// Where a frame's rows go as they are made, first to last.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual void WriteRows(const float* rows, std::int64_t count) = 0;
};

// Writes a 32-bit float frame of `info`'s size, channels and mosaic: FITS where the path's
// suffix says so (with `info.cards` carried, then `cards`, BAYERPAT for a mosaic), else a TIFF
// whose image description lists the same cards, a line each. `produce` writes every row into
// the sink it is given; `cards` may still grow while it runs. Written atomically: on any failure
// the file is as before. Raises ErrorKind::File naming the file, and what `produce` raises.
void WriteFloatFrame(const QString& path, const FrameInfo& info, std::vector<FrameCard>& cards,
                     const std::function<void(FrameSink&)>& produce,
                     Durability durability = Durability::FlushEachFile);

}  // namespace velmora
