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

std::string SizeText(const FrameInfo& info) {
    std::string text = std::to_string(info.width) + " x " + std::to_string(info.height);
    if (info.channels > 1) text += " x " + std::to_string(info.channels);
    if (!info.cfa.empty()) text += " (" + CfaLetters(info.cfa) + ")";
    return text;
}

void CheckSameLayout(const FrameReader& first, const FrameReader& frame) {
    const FrameInfo& a = first.info();
    const FrameInfo& b = frame.info();
    if (a.width == b.width && a.height == b.height && a.channels == b.channels &&
        CfaLetters(a.cfa) == CfaLetters(b.cfa)) {
        return;
    }
    throw Error(
        ErrorKind::Picture,
        "the frame " + Name(frame.path()) + " is " + SizeText(b) + ", but " + Name(first.path()) +
            " is " + SizeText(a) + "; frames are combined only place by place.",
        ErrorFields(frame.path().toStdString()).Sizes(b.width, b.height, a.width, a.height));
}

int PositionsOf(const FrameInfo& info) {
    return info.cfa.empty() ? info.channels : Positions(info.cfa);
}

// The position (of the mosaic, or the channel) of sample `i` of row `y`.
int PositionOf(const FrameInfo& info, std::int64_t i, std::int64_t y) {
    return info.cfa.empty() ? int(i % info.channels) : PositionAt(info.cfa, i, y);
}

// The mean or median of each position's samples, read in bands of `rows` rows.
std::vector<double> LevelsOf(FrameReader& frame, FrameScale scale, std::int64_t rows,
                             WorkPool& pool) {
    const FrameInfo& info = frame.info();
    const int positions = PositionsOf(info);
    const std::int64_t rowSamples = info.width * info.channels;
    std::vector<float> band(std::size_t(rows * rowSamples));
    std::vector<double> sums(positions, 0.0);
    std::vector<std::int64_t> counts(positions, 0);
    std::vector<std::vector<float>> values(scale == FrameScale::Median ? positions : 0);
    for (std::int64_t first = 0; first < info.height; first += rows) {
        const std::int64_t count = std::min(rows, info.height - first);
        frame.ReadRows(first, count, band.data());
        for (std::int64_t y = 0; y < count; ++y) {
            const float* row = band.data() + y * rowSamples;
            for (std::int64_t i = 0; i < rowSamples; ++i) {
                if (std::isnan(row[i])) continue;
                const int p = PositionOf(info, i, first + y);
                if (scale == FrameScale::Median) {
                    values[p].push_back(row[i]);
                } else {
                    sums[p] += row[i];
                    ++counts[p];
                }
            }
        }
    }
    std::vector<double> levels(positions, 0.0);
    pool.ForEach(std::size_t(positions), [&](std::size_t p) {
        if (scale == FrameScale::Mean) {
            levels[p] = counts[p] > 0 ? sums[p] / double(counts[p]) : 0.0;
            return;
        }
        std::vector<float>& v = values[p];
        if (v.empty()) return;
        const std::size_t mid = v.size() / 2;
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(mid), v.end());
        const double upper = v[mid];
        if (v.size() % 2 == 1) {
            levels[p] = upper;
        } else {
            levels[p] =
                (double(*std::max_element(v.begin(), v.begin() + std::ptrdiff_t(mid))) + upper) / 2;
        }
        std::vector<float>().swap(v);
    });
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
        request.bandBytes / std::max<std::int64_t>(1, std::int64_t(n) * rowSamples * 4), 1,
        info.height);
    result.values = std::int64_t(n) * rowSamples * info.height;

    if (request.scale != FrameScale::None) {
        std::vector<std::vector<double>> levels(n);
        for (std::size_t f = 0; f < n; ++f)
            levels[f] = LevelsOf(*frames[f], request.scale, rows, pool);
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
    std::vector<float> out(bandSamples);
    WriteFloatFrame(request.output, info, cards, [&](FrameSink& sink) {
        for (std::int64_t first = 0; first < info.height; first += rows) {
            const std::int64_t count = std::min(rows, info.height - first);
            const std::size_t places = std::size_t(count * rowSamples);
            pool.ForEach(n, [&](std::size_t f) {
                float* into = band.data() + f * bandSamples;
                frames[f]->ReadRows(first, count, into);
                if (result.scales.empty()) return;
                const std::vector<double>& scale = result.scales[f];
                for (std::int64_t y = 0; y < count; ++y) {
                    float* row = into + y * rowSamples;
                    for (std::int64_t i = 0; i < rowSamples; ++i)
                        row[i] = float(row[i] * scale[PositionOf(info, i, first + y)]);
                }
            });
            const std::size_t tasks = (places + kPlacesPerTask - 1) / kPlacesPerTask;
            std::vector<std::int64_t> rejected(tasks, 0);
            pool.ForEach(tasks, [&](std::size_t t) {
                const std::size_t start = t * kPlacesPerTask;
                const std::size_t length = std::min(kPlacesPerTask, places - start);
                rejected[t] = CombinePlaces(band.data() + start, n, bandSamples, length,
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
