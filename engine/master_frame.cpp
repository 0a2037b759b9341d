#include "engine/master_frame.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <memory>

#include "correction/cfa_planes.h"
#include "correction/error.h"
#include "platform/native_path.h"

namespace velmora {
namespace {

// Places combined by one task: enough to pay for handing it out, few enough to share a band.
constexpr std::size_t kPlacesPerTask = 16384;

std::string Name(const QString& path) {
    return Native(path).toStdString();
}

void CheckSameLayout(const FrameReader& first, const FrameReader& frame) {
    if (SameLayout(first.info(), frame.info())) return;
    RefuseOtherLayout(frame.path(), frame.info(), first.path(), first.info(), "",
                      "; frames are combined only place by place");
}

// The median of the values counted in `histogram`, bin k for the value k + offset.
double HistogramMedian(const std::vector<std::int64_t>& histogram, std::int64_t count,
                       std::int64_t offset) {
    // The values at places count / 2 (and count / 2 - 1 for an even count), in sorted order.
    const auto valueAt = [&](std::int64_t place) {
        std::int64_t seen = 0;
        for (std::size_t k = 0; k < histogram.size(); ++k) {
            seen += histogram[k];
            if (seen > place) return double(std::int64_t(k) + offset);
        }
        return 0.0;
    };
    const double upper = valueAt(count / 2);
    return count % 2 == 1 ? upper : (valueAt(count / 2 - 1) + upper) / 2;
}

// The mean or median of each position's samples, read in bands of `rows` rows. The median of
// whole numbers of 16 bits at most comes from a histogram; of others, from a selection among
// all of them.
std::vector<double> LevelsOf(FrameReader& frame, FrameScale scale, std::int64_t rows) {
    const FrameInfo& info = frame.info();
    const int positions = PositionsOf(info);
    const std::int64_t rowSamples = info.width * info.channels;
    constexpr std::int64_t kLowest = -32768;
    constexpr std::int64_t kHighest = 65535;
    std::vector<float> band(std::size_t(rows * rowSamples));
    std::vector<double> sums(positions, 0.0);
    std::vector<std::int64_t> counts(positions, 0);
    const bool median = scale == FrameScale::Median;
    bool whole = median && !info.floating && info.bits <= 16;
    std::vector<std::vector<std::int64_t>> histograms(
        whole ? positions : 0, std::vector<std::int64_t>(std::size_t(kHighest - kLowest + 1)));
    std::vector<std::vector<float>> values(median ? positions : 0);
    for (std::int64_t first = 0; first < info.height; first += rows) {
        const std::int64_t count = std::min(rows, info.height - first);
        frame.ReadRows(first, count, band.data());
        for (std::int64_t y = 0; y < count; ++y) {
            const float* row = band.data() + y * rowSamples;
            for (std::int64_t i = 0; i < rowSamples; ++i) {
                const float v = row[i];
                if (std::isnan(v)) continue;
                const int p = PositionOf(info, i, first + y);
                ++counts[p];
                if (!median) {
                    sums[p] += v;
                } else if (whole && v == std::floor(v) && v >= kLowest && v <= kHighest) {
                    ++histograms[p][std::size_t(std::int64_t(v) - kLowest)];
                } else {
                    whole = false;
                    values[p].push_back(v);
                }
            }
        }
    }
    std::vector<double> levels(positions, 0.0);
    for (int p = 0; p < positions; ++p) {
        if (counts[p] == 0) continue;
        if (!median) {
            levels[p] = sums[p] / double(counts[p]);
            continue;
        }
        std::vector<float>& v = values[p];
        if (whole) {
            levels[p] = HistogramMedian(histograms[p], counts[p], kLowest);
            continue;
        }
        // Some values were not whole: those counted so far join the rest.
        if (!histograms.empty()) {
            for (std::size_t k = 0; k < histograms[p].size(); ++k)
                v.insert(v.end(), std::size_t(histograms[p][k]), float(std::int64_t(k) + kLowest));
        }
        const std::size_t mid = v.size() / 2;
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(mid), v.end());
        const double upper = v[mid];
        levels[p] =
            v.size() % 2 == 1
                ? upper
                : (double(*std::max_element(v.begin(), v.begin() + std::ptrdiff_t(mid))) + upper) /
                      2;
    }
    return levels;
}

const char* MethodName(CombineMethod method) {
    switch (method) {
        case CombineMethod::Mean:
            return "mean";
        case CombineMethod::Median:
            return "median";
        case CombineMethod::SigmaClip:
            return "sigma-clip";
        case CombineMethod::Winsorized:
            return "winsorized";
    }
    return "mean";
}

}  // namespace

MasterResult CombineMaster(const MasterRequest& request, WorkPool& pool) {
    if (request.frames.isEmpty()) {
        throw Error(ErrorKind::Picture, "no frames to combine into " + Name(request.output) + ".",
                    ErrorFields(request.output.toStdString()));
    }
    std::vector<std::unique_ptr<FrameReader>> frames(std::size_t(request.frames.size()));
    pool.ForEach(frames.size(),
                 [&](std::size_t f) { frames[f] = FrameReader::Open(request.frames[int(f)]); });
    for (const auto& frame : frames)
        CheckSameLayout(*frames.front(), *frame);

    MasterResult result;
    result.info = frames.front()->info();
    FrameInfo& info = result.info;
    info.floating = true;
    info.bits = 32;
    const std::size_t n = frames.size();
    const std::int64_t rowSamples = info.width * info.channels;
    const std::int64_t rows = std::clamp<std::int64_t>(
        request.bandBytes /
            std::max<std::int64_t>(
                1, std::int64_t(n) * rowSamples * (request.scale == FrameScale::None ? 4 : 12)),
        1, info.height);
    result.values = std::int64_t(n) * rowSamples * info.height;

    if (request.scale != FrameScale::None) {
        std::vector<std::vector<double>> levels(n);
        pool.ForEach(n,
                     [&](std::size_t f) { levels[f] = LevelsOf(*frames[f], request.scale, rows); });
        result.scales.assign(n, std::vector<double>(levels[0].size(), 1.0));
        for (std::size_t f = 0; f < n; ++f) {
            for (std::size_t p = 0; p < levels[f].size(); ++p) {
                const double level = levels[f][p];
                if (!(level > 0) || !std::isfinite(level) || !(levels[0][p] > 0)) {
                    throw Error(ErrorKind::Picture,
                                "the frame " + Name(frames[f]->path()) + " cannot be scaled to " +
                                    Name(frames[0]->path()) + ": its " +
                                    (request.scale == FrameScale::Mean ? "mean" : "median") +
                                    " is not a positive number.",
                                ErrorFields(frames[f]->path().toStdString()));
                }
                result.scales[f][p] = levels[0][p] / level;
            }
        }
    }

    std::vector<FrameCard> cards;
    cards.push_back(
        {"VMETHOD", std::string(MethodName(request.rule.method)), "how the frames were combined"});
    if (request.rule.method == CombineMethod::SigmaClip ||
        request.rule.method == CombineMethod::Winsorized) {
        cards.push_back({"VLOW", request.rule.low, "K below the median, in sigma"});
        cards.push_back({"VHIGH", request.rule.high, "K above the median, in sigma"});
    }
    const char* scaleName = request.scale == FrameScale::Mean     ? "mean"
                            : request.scale == FrameScale::Median ? "median"
                                                                  : "none";
    cards.push_back({"VSCALE", std::string(scaleName), "frames scaled to the first's"});
    cards.push_back({"NCOMBINE", std::int64_t(n), "frames combined"});
    cards.push_back(
        {"VREJECT", std::int64_t(0),
         request.rule.method == CombineMethod::Winsorized ? "values replaced" : "values rejected"});
    const std::size_t rejectedCard = cards.size() - 1;
    for (std::size_t f = 0; f < n && f < 999; ++f) {
        char key[9];
        std::snprintf(key, sizeof key, "IMCMB%03d", int(f + 1));
        cards.push_back({key, QFileInfo(request.frames[int(f)]).fileName().toStdString(), ""});
    }
    cards.push_back({"HISTORY",
                     std::string("velmora-cli master: ") + MethodName(request.rule.method) +
                         " of " + std::to_string(n) + " frames",
                     ""});

    const std::size_t bandSamples = std::size_t(rows * rowSamples);
    std::vector<float> band(n * bandSamples);
    // Scaled frames are combined as doubles: x * s is not rounded to a float first.
    std::vector<double> scaled(result.scales.empty() ? 0 : n * bandSamples);
    std::vector<float> out(bandSamples);
    WriteFloatFrame(request.output, info, cards, [&](FrameSink& sink) {
        for (std::int64_t first = 0; first < info.height; first += rows) {
            const std::int64_t count = std::min(rows, info.height - first);
            const std::size_t places = std::size_t(count * rowSamples);
            pool.ForEach(n, [&](std::size_t f) {
                const float* read = band.data() + f * bandSamples;
                frames[f]->ReadRows(first, count, band.data() + f * bandSamples);
                if (result.scales.empty()) return;
                const std::vector<double>& scale = result.scales[f];
                double* into = scaled.data() + f * bandSamples;
                for (std::int64_t y = 0; y < count; ++y) {
                    for (std::int64_t i = 0; i < rowSamples; ++i) {
                        const std::size_t at = std::size_t(y * rowSamples + i);
                        into[at] = double(read[at]) * scale[PositionOf(info, i, first + y)];
                    }
                }
            });
            const std::size_t tasks = (places + kPlacesPerTask - 1) / kPlacesPerTask;
            std::vector<std::int64_t> rejected(tasks, 0);
            pool.ForEach(tasks, [&](std::size_t t) {
                const std::size_t start = t * kPlacesPerTask;
                const std::size_t length = std::min(kPlacesPerTask, places - start);
                rejected[t] = scaled.empty()
                                  ? CombinePlaces(band.data() + start, n, bandSamples, length,
                                                  request.rule, out.data() + start)
                                  : CombinePlaces(scaled.data() + start, n, bandSamples, length,
                                                  request.rule, out.data() + start);
            });
            for (const std::int64_t r : rejected)
                result.rejected += r;
            cards[rejectedCard].value = result.rejected;
            sink.WriteRows(out.data(), count);
        }
    });
    return result;
}

}  // namespace velmora
