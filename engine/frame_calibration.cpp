#include "engine/frame_calibration.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <span>

#include "correction/error.h"
#include "platform/native_path.h"
#include "platform/tiff_file.h"

namespace velmora {
namespace {

// Rows of every frame held at once while they are averaged.
constexpr std::int64_t kBandBytes = std::int64_t(64) << 20;
// The largest flat value that is a number: infinity and NaN leave the light as it is.
constexpr double kLargestFlat = std::numeric_limits<double>::max();
// Rows of one light corrected at a time.
constexpr std::int64_t kLightRows = 64;

std::string Name(const QString& path) {
    return Native(path).toStdString();
}

// The position (of the mosaic, or the channel) of sample `index` of the frame.
int PositionOfSample(const FrameInfo& info, std::size_t index) {
    const std::int64_t rowSamples = info.width * info.channels;
    const std::int64_t y = std::int64_t(index) / rowSamples;
    const std::int64_t i = std::int64_t(index) % rowSamples;
    return PositionOf(info, i, y);
}

FrameSamples ReadWhole(FrameReader& frame) {
    const FrameInfo& info = frame.info();
    FrameSamples values(std::size_t(info.width * info.height * info.channels));
    frame.ReadRows(0, info.height, values.data());
    return values;
}

// Per position: the spatial variance of `values` (two passes) and their mean.
struct Moments {
    std::vector<double> mean;
    std::vector<double> variance;
};
Moments MomentsOf(const FrameInfo& info, std::span<const float> values) {
    const int positions = PositionsOf(info);
    std::vector<double> sum(positions, 0.0), squares(positions, 0.0);
    std::vector<std::int64_t> count(positions, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) continue;
        const int p = PositionOfSample(info, i);
        sum[p] += values[i];
        ++count[p];
    }
    Moments m{std::vector<double>(positions), std::vector<double>(positions)};
    for (int p = 0; p < positions; ++p)
        m.mean[p] = count[p] > 0 ? sum[p] / double(count[p]) : 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) continue;
        const int p = PositionOfSample(info, i);
        const double d = values[i] - m.mean[p];
        squares[p] += d * d;
    }
    for (int p = 0; p < positions; ++p)
        m.variance[p] = count[p] > 1 ? squares[p] / double(count[p] - 1) : 0;
    return m;
}

// Per position: half the spatial variance of a - b, the temporal variance of one frame.
std::vector<double> TemporalVariance(const FrameInfo& info, std::span<const float> a,
                                     std::span<const float> b) {
    FrameSamples difference(a.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        difference[i] = float(double(a[i]) - double(b[i]));
    std::vector<double> variance = MomentsOf(info, difference).variance;
    for (double& v : variance)
        v /= 2;
    return variance;
}

// The variance of a plane less its mean over the 5 x 5 box around each place (away from the
// edges), times 25 / 24: a white noise keeps its variance, a smooth falloff goes.
double HighPassVariance(const FlatField& plane) {
    constexpr int r = 2;
    double sum = 0, squares = 0;
    std::int64_t count = 0;
    for (std::int32_t y = r; y + r < plane.height; ++y) {
        for (std::int32_t x = r; x + r < plane.width; ++x) {
            double box = 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    box += plane.at(x + dx, y + dy, 0);
            const double residual = plane.at(x, y, 0) - box / 25;
            if (!std::isfinite(residual)) continue;
            sum += residual;
            squares += residual * residual;
            ++count;
        }
    }
    if (count < 2) return 0;
    const double mean = sum / double(count);
    return (squares / double(count) - mean * mean) * 25.0 / 24.0;
}

// Each position's samples as a plane of their own.
std::vector<FlatField> PlanesOf(const FrameInfo& info, std::span<const float> values) {
    FlatField whole{std::int32_t(info.width), std::int32_t(info.height), info.channels,
                    std::vector<float>(values.begin(), values.end())};
    std::vector<FlatField> planes;
    if (!info.cfa.empty()) {
        for (int p = 0; p < Positions(info.cfa); ++p)
            planes.push_back(PlaneOf(whole, info.cfa, p));
        return planes;
    }
    for (int c = 0; c < info.channels; ++c) {
        FlatField plane{whole.width, whole.height, 1, std::vector<float>(whole.places())};
        for (std::size_t i = 0; i < whole.places(); ++i)
            plane.values[i] = values[i * std::size_t(info.channels) + std::size_t(c)];
        planes.push_back(std::move(plane));
    }
    return planes;
}

}  // namespace

bool IsFrameFile(const QString& path) {
    if (IsFitsFile(path)) return true;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != "tif" && suffix != "tiff") return false;
    std::string error;
    const TiffFile tif = OpenTiffFile(path, "r", error);
    std::uint16_t format = SAMPLEFORMAT_UINT;
    return tif != nullptr && TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &format) == 1 &&
           format == SAMPLEFORMAT_IEEEFP;
}

FrameOffset::FrameOffset(const FrameDarks& darks, WorkPool& pool)
    : darkPaths_(darks.darks), biasPath_(darks.bias), scale_(darks.scaleByExposure) {
    // One dark at a time into the sum, so that many darks take the memory of three; the first
    // two are kept until their difference has told the dark's temporal noise.
    darkFrames_ = int(darks.darks.size());
    std::vector<double> sum;
    FrameSamples first;
    for (int d = 0; d < darks.darks.size(); ++d) {
        const auto reader = FrameReader::Open(darks.darks[d]);
        if (d == 0) {
            info_ = reader->info();
            infoPath_ = darks.darks.front();
            darkExposure_ = info_.exposure;
        } else if (!SameLayout(reader->info(), info_)) {
            RefuseOtherLayout(darks.darks[d], reader->info(), infoPath_, info_, "the dark");
        }
        FrameSamples frame = ReadWhole(*reader);
        if (darks.darks.size() == 1) {
            dark_ = std::move(frame);
            break;
        }
        if (sum.empty()) sum.assign(frame.size(), 0.0);
        pool.ForEach(64, [&](std::size_t part) {
            const std::size_t from = frame.size() * part / 64;
            const std::size_t to = frame.size() * (part + 1) / 64;
            for (std::size_t i = from; i < to; ++i)
                sum[i] += frame[i];
        });
        if (d == 0) first = std::move(frame);
        if (d == 1) {
            darkTemporal_ = TemporalVariance(info_, first, frame);
            FrameSamples().swap(first);
        }
    }
    if (darks.darks.size() == 1) {
        // A master says how many frames it averages; its temporal share is not known.
        if (const auto count = CardValue(info_.cards, "NCOMBINE"))
            darkFrames_ = std::max(1, std::atoi(count->c_str()));
    } else if (!sum.empty()) {
        dark_.resize(sum.size());
        for (std::size_t i = 0; i < sum.size(); ++i)
            dark_[i] = float(sum[i] / double(darkFrames_));
    }
    if (!darks.bias.isEmpty()) {
        const auto reader = FrameReader::Open(darks.bias);
        if (dark_.empty()) {
            info_ = reader->info();
            infoPath_ = darks.bias;
        } else if (!SameLayout(reader->info(), info_)) {
            RefuseOtherLayout(darks.bias, reader->info(), infoPath_, info_, "the dark");
        }
        bias_ = ReadWhole(*reader);
    }
    if (scale_ && !darkExposure_) {
        throw Error(ErrorKind::Picture,
                    "the dark " + Name(infoPath_) +
                        " records no exposure time (EXPTIME, EXPOSURE or EXIF ExposureTime); "
                        "it cannot be scaled by exposure.",
                    ErrorFields(infoPath_.toStdString()));
    }
}

void FrameOffset::CheckFits(const FrameInfo& frame, const QString& path) const {
    if (empty()) return;
    if (!SameLayout(frame, info_)) {
        RefuseOtherLayout(path, frame, infoPath_, info_, dark_.empty() ? "the bias" : "the dark");
    }
    if (scale_ && !(frame.exposure && *frame.exposure >= 0)) {
        throw Error(ErrorKind::Picture,
                    "the frame " + Name(path) +
                        " records no exposure time (EXPTIME, EXPOSURE or EXIF ExposureTime); the "
                        "dark cannot be scaled to it.",
                    ErrorFields(path.toStdString()));
    }
}

double FrameOffset::DarkShare(const FrameInfo& frame) const {
    if (!scale_ || !frame.exposure || !darkExposure_ || !(*darkExposure_ > 0)) return 1;
    return *frame.exposure / *darkExposure_;
}

void FrameOffset::Signal(const float* rows, std::size_t start, std::size_t count, double darkShare,
                         double* signal) const {
    const float* dark = dark_.empty() ? nullptr : dark_.data() + start;
    const float* bias = bias_.empty() ? nullptr : bias_.data() + start;
    if (dark == nullptr && bias == nullptr) {
        for (std::size_t i = 0; i < count; ++i)
            signal[i] = rows[i];
    } else if (bias == nullptr) {
        for (std::size_t i = 0; i < count; ++i)
            signal[i] = double(rows[i]) - double(dark[i]) * darkShare;
    } else if (dark == nullptr) {
        for (std::size_t i = 0; i < count; ++i)
            signal[i] = double(rows[i]) - double(bias[i]);
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const double b = bias[i];
            signal[i] = double(rows[i]) - (b + (double(dark[i]) - b) * darkShare);
        }
    }
}

std::vector<std::string> FrameOffset::History(double darkShare) const {
    std::vector<std::string> lines;
    if (!bias_.empty())
        lines.push_back("bias " + QFileInfo(biasPath_).fileName().toStdString() + " subtracted");
    if (!dark_.empty()) {
        QStringList names;
        for (const QString& path : darkPaths_)
            names << QFileInfo(path).fileName();
        std::string line = "dark " + names.join(", ").toStdString();
        if (!bias_.empty()) line += " less the bias";
        if (darkShare != 1) line += " x " + QString::number(darkShare, 'g', 8).toStdString();
        lines.push_back(line + " subtracted");
    }
    return lines;
}

MeasuredFrameFlat MeasureFrameFlat(const QStringList& references, const FrameOffset& offset,
                                   int smoothRadius, PlaneLevel level, WorkPool& pool) {
    std::vector<std::unique_ptr<FrameReader>> frames(std::size_t(references.size()));
    pool.ForEach(frames.size(),
                 [&](std::size_t f) { frames[f] = FrameReader::Open(references[int(f)]); });
    const FrameInfo& info = frames.front()->info();
    for (const auto& frame : frames) {
        if (!SameLayout(frame->info(), info))
            RefuseOtherLayout(frame->path(), frame->info(), frames.front()->path(), info,
                              "the reference");
        offset.CheckFits(frame->info(), frame->path());
    }
    if (info.width > INT32_MAX || info.height > INT32_MAX) {
        throw Error(ErrorKind::Picture, "the frame " + Name(references.front()) + " is too large.",
                    ErrorFields(references.front().toStdString()));
    }
    const std::size_t n = frames.size();
    const std::int64_t rowSamples = info.width * info.channels;
    const std::int64_t rows = std::clamp<std::int64_t>(
        kBandBytes / std::max<std::int64_t>(1, std::int64_t(n) * rowSamples * 4), 1, info.height);
    const std::size_t samples = std::size_t(rowSamples * info.height);

    MeasuredFrameFlat measured;
    FrameFlat& flat = measured.flat;
    flat.info = info;
    flat.info.floating = true;
    flat.info.bits = 32;
    flat.values.resize(samples);
    FrameSamples first, second;  // the first two references' signals, for their noise
    if (n >= 2) {
        first.resize(samples);
        second.resize(samples);
    }
    std::vector<double> shares(n);
    for (std::size_t f = 0; f < n; ++f)
        shares[f] = offset.DarkShare(frames[f]->info());
    const std::size_t bandSamples = std::size_t(rows * rowSamples);
    std::vector<float> band(n * bandSamples);
    for (std::int64_t y = 0; y < info.height; y += rows) {
        const std::int64_t count = std::min(rows, info.height - y);
        const std::size_t start = std::size_t(y * rowSamples);
        const std::size_t length = std::size_t(count * rowSamples);
        pool.ForEach(n, [&](std::size_t f) {
            frames[f]->ReadRows(y, count, band.data() + f * bandSamples);
        });
        pool.ForEach(n, [&](std::size_t f) {
            std::vector<double> signal(length);
            offset.Signal(band.data() + f * bandSamples, start, length, shares[f], signal.data());
            for (std::size_t i = 0; i < length; ++i)
                band[f * bandSamples + i] = float(signal[i]);
        });
        for (std::size_t i = 0; i < length; ++i) {
            double sum = 0;
            for (std::size_t f = 0; f < n; ++f)
                sum += band[f * bandSamples + i];
            flat.values[start + i] = float(sum / double(n));
        }
        if (n >= 2) {
            std::copy_n(band.data(), length, first.data() + start);
            std::copy_n(band.data() + bandSamples, length, second.data() + start);
        }
    }

    // EMVA 1288: spatial variance of the averaged frames, less the temporal noise they keep.
    if (n >= 2) {
        SensorReport report;
        const std::vector<double> temporal = TemporalVariance(info, first, second);
        FrameSamples().swap(first);
        FrameSamples().swap(second);
        const Moments light = MomentsOf(info, flat.values);
        const Moments dark = MomentsOf(info, offset.dark());
        const bool darkNoise = offset.darkTemporal().size() == temporal.size();
        const std::vector<FlatField> planes = PlanesOf(info, flat.values);
        for (std::size_t p = 0; p < temporal.size(); ++p) {
            double spatial = light.variance[p] - temporal[p] / double(n);
            if (darkNoise) spatial -= offset.darkTemporal()[p] / double(offset.darkFrames());
            report.prnu.push_back(100 * std::sqrt(std::max(0.0, spatial)) / light.mean[p]);
            double highPass = HighPassVariance(planes[p]) - temporal[p] / double(n);
            if (darkNoise) highPass -= offset.darkTemporal()[p] / double(offset.darkFrames());
            report.prnuHighPass.push_back(100 * std::sqrt(std::max(0.0, highPass)) / light.mean[p]);
            if (darkNoise) {
                report.dsnu.push_back(std::sqrt(std::max(
                    0.0, dark.variance[p] - offset.darkTemporal()[p] / offset.darkFrames())));
            } else if (!offset.dark().empty() && offset.darkFrames() > 1) {
                report.dsnu.push_back(std::sqrt(dark.variance[p]));
                report.dsnuBound = true;
            }
        }
        measured.sensor = report;
    }

    FlatField field{std::int32_t(info.width), std::int32_t(info.height), info.channels,
                    std::vector<float>(flat.values.begin(), flat.values.end())};
    flat.smoothRadius = smoothRadius;
    flat.meanLevel = level == PlaneLevel::Mean;
    if (info.cfa.empty()) {
        SmoothFlatField(field, smoothRadius);
        const int window = std::max(2, std::min(field.width, field.height) / 100);
        const std::array<double, 3> levels =
            flat.meanLevel ? MeanLevels(field) : CentreLevels(field, window);
        flat.level.assign(levels.begin(), levels.begin() + info.channels);
    } else {
        SmoothPlanes(field, info.cfa, smoothRadius);
        const std::int32_t side =
            std::min(PlaneWidth(info.cfa, 0, field.width), PlaneHeight(info.cfa, 0, field.height));
        flat.level = PlaneLevels(field, info.cfa, level, std::max(2, side / 100));
    }
    flat.values.assign(field.values.begin(), field.values.end());
    return measured;
}

void SaveFrameFlat(const FrameFlat& flat, const QString& path, const QStringList& references,
                   const std::vector<std::string>& history) {
    const FrameInfo& info = flat.info;
    std::vector<FrameCard> cards;
    cards.push_back({"VPROFILE", std::string("flat"), "a flat for velmora-cli filter --profile"});
    cards.push_back({"VLEVTYPE", std::string(flat.meanLevel ? "mean" : "centre"),
                     "what each position is normalised to"});
    for (std::size_t p = 0; p < flat.level.size(); ++p) {
        cards.push_back({"VLEVEL" + std::to_string(p + 1), flat.level[p],
                         "level C of position (or channel) " + std::to_string(p + 1)});
    }
    cards.push_back({"VSMOOTH", std::int64_t(flat.smoothRadius), "smoothing radius, places"});
    cards.push_back({"NCOMBINE", std::int64_t(references.size()), "references averaged"});
    for (int f = 0; f < references.size() && f < 999; ++f) {
        char key[9];
        std::snprintf(key, sizeof key, "IMCMB%03d", f + 1);
        cards.push_back({key, QFileInfo(references[f]).fileName().toStdString(), ""});
    }
    for (const std::string& line : history)
        cards.push_back({"HISTORY", "velmora-cli tune: " + line, ""});
    const std::int64_t rowSamples = info.width * info.channels;
    WriteFloatFrame(path, info, cards, [&](FrameSink& sink) {
        for (std::int64_t y = 0; y < info.height; y += kLightRows) {
            const std::int64_t count = std::min(kLightRows, info.height - y);
            sink.WriteRows(flat.values.data() + y * rowSamples, count);
        }
    });
}

FrameFlat LoadFrameFlat(const QString& path) {
    const auto reader = FrameReader::Open(path);
    FrameFlat flat;
    flat.info = reader->info();
    flat.values = ReadWhole(*reader);
    const int positions = PositionsOf(flat.info);
    const std::optional<std::string> type = CardValue(flat.info.cards, "VLEVTYPE");
    flat.meanLevel = !type || *type == "mean";
    for (int p = 0; p < positions; ++p) {
        const auto value = CardValue(flat.info.cards, "VLEVEL" + std::to_string(p + 1));
        if (!value) break;
        flat.level.push_back(std::atof(value->c_str()));
    }
    // A master flat from elsewhere: normalised to its mean, the astronomers' way.
    if (int(flat.level.size()) != positions) flat.level = MomentsOf(flat.info, flat.values).mean;
    return flat;
}

void CalibrateFrame(const QString& input, const QString& output, const FrameFlat& flat,
                    const QString& flatPath, const FrameOffset& offset) {
    const auto light = FrameReader::Open(input);
    FrameInfo info = light->info();
    if (!SameLayout(info, flat.info))
        RefuseOtherLayout(input, info, flatPath, flat.info, "the flat");
    offset.CheckFits(info, input);
    const double share = offset.DarkShare(info);
    info.floating = true;
    info.bits = 32;
    std::vector<FrameCard> cards;
    for (const std::string& line : offset.History(share))
        cards.push_back({"HISTORY", "velmora-cli filter: " + line, ""});
    cards.push_back({"HISTORY",
                     "velmora-cli filter: divided by the flat " +
                         QFileInfo(flatPath).fileName().toStdString() + " at its " +
                         (flat.meanLevel ? "mean" : "centre") + " level",
                     ""});
    const std::int64_t rowSamples = info.width * info.channels;
    const int positions = PositionsOf(info);
    WriteFloatFrame(
        output, info, cards,
        [&](FrameSink& sink) {
            std::vector<float> rows(std::size_t(kLightRows * rowSamples));
            std::vector<double> signal(rows.size());
            for (std::int64_t y = 0; y < info.height; y += kLightRows) {
                const std::int64_t count = std::min(kLightRows, info.height - y);
                const std::size_t start = std::size_t(y * rowSamples);
                const std::size_t length = std::size_t(count * rowSamples);
                light->ReadRows(y, count, rows.data());
                offset.Signal(rows.data(), start, length, share, signal.data());
                const float* f = flat.values.data() + start;
                if (positions == 1) {
                    // One level: a loop the compiler makes vector code of.
                    const double level = flat.level[0];
                    for (std::size_t i = 0; i < length; ++i) {
                        const double divisor = f[i];
                        const bool usable = divisor > 0 && divisor <= kLargestFlat;
                        rows[i] = float(usable ? signal[i] * level / divisor : signal[i]);
                    }
                } else {
                    for (std::size_t i = 0; i < length; ++i) {
                        const double divisor = f[i];
                        const bool usable = divisor > 0 && divisor <= kLargestFlat;
                        const double level =
                            flat.level[std::size_t(PositionOfSample(info, start + i))];
                        rows[i] = float(usable ? signal[i] * level / divisor : signal[i]);
                    }
                }
                sink.WriteRows(rows.data(), count);
            }
        },
        Durability::FlushLater);
}

}  // namespace velmora
