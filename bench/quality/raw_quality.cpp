// How well velmora-cli's raw profiles undo real lenses' falloff on 24-megapixel Bayer DNGs.
//
//   velmora_raw_quality --cli VELMORA_CLI --photos DIR --lensfun DIR --work DIR [--lenses N]
//
// From lensfun's measured lenses (DIR/*.xml, <vignetting model="pa">) it takes N whose corners
// lose 1.0 to 2.0 EV, spread over that range, and makes the falloff differ per colour: red loses
// 1.2 times the lens's stops and blue 0.8 times, so that the corners of an uncorrected picture
// turn cyan. Through each lens, 14-bit RGGB DNGs of 6000 x 4000 are written with a black level
// per position of the pattern, photon noise (Gaussian, of variance the signal in DN) and read
// noise: two grey cards at 60 % of white and a mosaic of the photographs in linear light, each
// site sampling its own colour. The real velmora-cli tunes a profile on the first card and
// corrects the light and the second card; LibRaw reads the results back. The light is measured
// against the scene without noise or falloff, times the light at the frame's centre (the level
// the correction brings every place up to), beside the ideal gain C / F of the first card,
// smoothed here in double precision per plane as velmora-cli smooths (two box passes across and
// two down). The second card gives the falloff left in its corners per colour. Corners are the
// samples beyond 90 % of the half-diagonal. Last, a dark current (hot pixels, amp glow from the
// left edge) is added to a card and a light through the first lens, shot with its dark frame,
// and both are corrected with --dark and without.

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>
#include <vips/vips8>

#include "cli_steps.h"
#include "correction/cfa_planes.h"
#include "lens_candidates.h"
#include "lens_scene.h"
#include "lensfun_data.h"
#include "platform/dng_writer.h"
#include "platform/raw_file.h"

namespace {

using velmora::bench::Candidate;
using velmora::bench::Folder;
using velmora::bench::ProfileSmoothing;
using velmora::bench::RunCli;
using velmora::bench::Spread;
using velmora::bench::StrongestPerLens;
using velmora::bench::Verdict;

using namespace velmora;
using namespace velmora::scene;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kPlaneWidth = kWidth / 2;
constexpr int kPlaneHeight = kHeight / 2;
// velmora-cli's window of a plane's centre level, in the plane's places.
constexpr int kCentreRadius = std::max(2, std::min(kPlaneWidth, kPlaneHeight) / 100);
constexpr std::array<double, 4> kBlack{512, 514, 510, 516};  // R, G, G, B
constexpr double kWhite = 16383;
constexpr double kPeak = kWhite - 510;  // PSNR's full scale: the lowest black to white
constexpr double kCardSignal = 0.6 * kWhite;
constexpr double kExposure = 10000;  // the signal of linear light 1 at the frame's centre
constexpr double kReadNoise = 3;
constexpr std::array<double, 3> kStops{1.2, 1.0, 0.8};  // each colour's falloff, times the lens's
constexpr double kLeastEv = 1.0;
constexpr double kMostEv = 2.0;
constexpr double kCornerR2 = 0.81;
constexpr double kGoalPsnrGap = 0.5;
constexpr double kGoalEv = 0.05;
constexpr double kGoalNoise = 2;  // the dark pattern's residual RMS, in photon noise
// The dark current: hot pixels, and amp glow falling by e every kGlowLength pixels from the
// left edge, whose band of kGlowBand pixels is measured. The light stays below white with them.
constexpr int kHotPixels = 300;
constexpr double kHotLeast = 1000;
constexpr double kHotMost = 3000;
constexpr double kGlow = 800;
constexpr double kGlowLength = 300;
constexpr int kGlowBand = 600;

using Samples = std::vector<std::uint16_t>;
// The signal above black before the lens at (x, y) for the site's colour.
using Scene = std::function<double(int x, int y, int colour)>;

[[noreturn]] void Fail(const QString& message) {
    std::fprintf(stderr, "velmora_raw_quality: %s\n", qPrintable(message));
    std::exit(1);
}

const CfaPattern& Cfa() {
    static const CfaPattern cfa = CfaFromLetters("RGGB");
    return cfa;
}

int ColourOf(int position) {
    return Cfa().colour[std::size_t(position)];
}

std::size_t Index(int x, int y) {
    return std::size_t(y) * std::size_t(kWidth) + std::size_t(x);
}

// --- lensfun -----------------------------------------------------------------------------

// The lens's falloff in the shape it has, deepened or eased per colour to kStops of its stops.
Lens PerColour(const Lens& lens) {
    Lens coloured = lens;
    const auto& k = lens.k[0];
    const double sum = k[0] + k[1] + k[2];
    for (std::size_t c = 0; c < 3; ++c) {
        const double target = std::exp2(kStops[c] * lens.CornerEv(0)) - 1.0;
        for (double& v : coloured.k[c])
            v *= target / sum;
    }
    if (!coloured.IsFalloff()) Fail(QString::fromStdString(lens.name) + " per colour rises");
    return coloured;
}

// --- shots -------------------------------------------------------------------------------

RawHeader Header() {
    RawHeader header;
    header.width = kWidth;
    header.height = kHeight;
    header.cfa = Cfa();
    std::copy(kBlack.begin(), kBlack.end(), header.levels.black.begin());
    header.levels.white = kWhite;
    header.make = "Velmora";
    header.model = "Quality Camera";
    header.uniqueModel = "Velmora Quality Camera";
    header.colour.matrix1 = {0.9, -0.3, -0.1, -0.4, 1.2, 0.2, -0.1, 0.2, 0.6};
    header.colour.asShotNeutral = {0.5, 1, 0.7};
    return header;
}

// `scene` through the lens, with photon noise (variance the signal and the dark current, in DN),
// read noise, the black level and the dark current `current` where given.
Samples Shoot(const Lens& lens, const Scene& scene, const std::vector<float>* current,
              std::uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> unit(0, 1);
    Samples samples(std::size_t(kWidth) * std::size_t(kHeight));
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int p = PositionAt(Cfa(), x, y);
            const int colour = ColourOf(p);
            const std::size_t i = Index(x, y);
            const double dark = current != nullptr ? (*current)[i] : 0.0;
            const double signal =
                scene(x, y, colour) * lens.Factor(colour, RadiusSquared(x, y, kWidth, kHeight)) +
                dark;
            const double value =
                signal + std::sqrt(std::max(signal, 0.0) + kReadNoise * kReadNoise) * unit(random) +
                kBlack[std::size_t(p)];
            samples[i] = std::uint16_t(std::clamp(std::nearbyint(value), 0.0, kWhite));
        }
    }
    return samples;
}

void WriteShot(const Samples& samples, const QString& path) {
    const RawHeader header = Header();
    DngImage image;
    image.header = &header;
    image.samples = ImageView<const std::uint16_t>::Packed(samples.data(), kWidth, kHeight, 1, 1);
    WriteDng(image, path, {}, Durability::FlushLater);
}

Scene Card() {
    return [](int, int, int) { return kCardSignal; };
}

Scene Photograph(const Rgb8& photo) {
    return [&photo](int x, int y, int colour) {
        return kExposure * Linear8()[photo.samples[photo.index(x, y, colour)]];
    };
}

// --- the ideal gain ----------------------------------------------------------------------

// The mean of value(x, y) over position p's samples in the window of its plane's centre level.
template <typename Value>
double CentreMean(int p, Value value) {
    double sum = 0;
    int count = 0;
    for (int j = kPlaneHeight / 2 - kCentreRadius; j <= kPlaneHeight / 2 + kCentreRadius; ++j) {
        for (int i = kPlaneWidth / 2 - kCentreRadius; i <= kPlaneWidth / 2 + kCentreRadius; ++i) {
            sum += value(p % 2 + 2 * i, p / 2 + 2 * j);
            ++count;
        }
    }
    return sum / count;
}

// One box pass of 2 r + 1 places along each of `lines` lines of `length` places, `step` apart
// (lines `lineStep` apart), each box averaging only the places inside the plane.
void BoxPass(std::vector<double>& values, int lines, int length, std::size_t lineStep,
             std::size_t step, int radius) {
    std::vector<double> prefix(std::size_t(length) + 1);
    for (int line = 0; line < lines; ++line) {
        double* first = values.data() + std::size_t(line) * lineStep;
        for (int i = 0; i < length; ++i)
            prefix[std::size_t(i) + 1] = prefix[std::size_t(i)] + first[std::size_t(i) * step];
        for (int i = 0; i < length; ++i) {
            const int lo = std::max(i - radius, 0);
            const int hi = std::min(i + radius, length - 1);
            first[std::size_t(i) * step] =
                (prefix[std::size_t(hi) + 1] - prefix[std::size_t(lo)]) / (hi - lo + 1);
        }
    }
}

// A card's signal (L - B, or L - D with a dark frame) with each plane smoothed on its own, and
// each plane's centre level.
struct Flat {
    std::vector<double> values;  // the mosaic
    std::array<double, 4> centre{};
};

Flat SmoothedCard(const Samples& card, const Samples* dark, int radius) {
    Flat flat{std::vector<double>(card.size()), {}};
    std::vector<double> plane(std::size_t(kPlaneWidth) * std::size_t(kPlaneHeight));
    const auto place = [](int p, int i, int j) { return Index(p % 2 + 2 * i, p / 2 + 2 * j); };
    for (int p = 0; p < 4; ++p) {
        for (int j = 0; j < kPlaneHeight; ++j) {
            for (int i = 0; i < kPlaneWidth; ++i) {
                const std::size_t at = place(p, i, j);
                plane[std::size_t(j) * kPlaneWidth + std::size_t(i)] =
                    card[at] - (dark != nullptr ? double((*dark)[at]) : kBlack[std::size_t(p)]);
            }
        }
        for (int pass = 0; pass < 2; ++pass) {
            BoxPass(plane, kPlaneHeight, kPlaneWidth, kPlaneWidth, 1, radius);
            BoxPass(plane, kPlaneWidth, kPlaneHeight, 1, kPlaneWidth, radius);
        }
        for (int j = 0; j < kPlaneHeight; ++j) {
            for (int i = 0; i < kPlaneWidth; ++i)
                flat.values[place(p, i, j)] = plane[std::size_t(j) * kPlaneWidth + std::size_t(i)];
        }
        flat.centre[std::size_t(p)] =
            CentreMean(p, [&](int x, int y) { return flat.values[Index(x, y)]; });
    }
    return flat;
}

// (L - B) x C / F, or (L - D) x C / F: the correction in double precision, unrounded.
std::function<double(std::size_t, int)> IdealGain(const Samples& light, const Samples* dark,
                                                  const Flat& flat) {
    return [&light, dark, &flat](std::size_t i, int p) {
        const double below = dark != nullptr ? double((*dark)[i]) : kBlack[std::size_t(p)];
        return (light[i] - below) * flat.centre[std::size_t(p)] / flat.values[i];
    };
}

std::function<double(std::size_t, int)> SignalOf(const Samples& samples) {
    return [&samples](std::size_t i, int p) { return samples[i] - kBlack[std::size_t(p)]; };
}

// --- measuring ---------------------------------------------------------------------------

// The scene at each sample without noise, as the correction should leave it: times the light
// the lens lets through in the window of the plane's centre level.
struct Truth {
    const Rgb8& photo;
    std::array<double, 4> centre{};

    Truth(const Rgb8& picture, const Lens& lens) : photo(picture) {
        for (int p = 0; p < 4; ++p) {
            centre[std::size_t(p)] = CentreMean(p, [&](int x, int y) {
                return lens.Factor(ColourOf(p), RadiusSquared(x, y, kWidth, kHeight));
            });
        }
    }
    double at(int x, int y, int p) const {
        return kExposure * Linear8()[photo.samples[photo.index(x, y, ColourOf(p))]] *
               centre[std::size_t(p)];
    }
};

bool InCorner(int x, int y) {
    return RadiusSquared(x, y, kWidth, kHeight) >= kCornerR2;
}

struct Psnr {
    double whole = 0;
    double corners = 0;
};

Psnr Measure(const Truth& truth, const std::function<double(std::size_t, int)>& signal) {
    double squares = 0, cornerSquares = 0;
    std::size_t corners = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int p = PositionAt(Cfa(), x, y);
            const double d = signal(Index(x, y), p) - truth.at(x, y, p);
            squares += d * d;
            if (InCorner(x, y)) {
                cornerSquares += d * d;
                ++corners;
            }
        }
    }
    const auto psnr = [](double sum, std::size_t count) {
        return 10 * std::log10(kPeak * kPeak * double(count) / sum);
    };
    return {psnr(squares, std::size_t(kWidth) * kHeight), psnr(cornerSquares, corners)};
}

// log2 of each colour's mean signal in the corners against its mean in the windows of the
// centre level: zero for a card corrected flat.
std::array<double, 3> CornerEv(const std::function<double(std::size_t, int)>& signal) {
    std::array<double, 3> corner{}, centre{};
    std::array<std::size_t, 3> count{};
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (!InCorner(x, y)) continue;
            const int p = PositionAt(Cfa(), x, y);
            corner[std::size_t(ColourOf(p))] += signal(Index(x, y), p);
            ++count[std::size_t(ColourOf(p))];
        }
    }
    std::array<int, 3> planes{};
    for (int p = 0; p < 4; ++p) {
        centre[std::size_t(ColourOf(p))] +=
            CentreMean(p, [&](int x, int y) { return signal(Index(x, y), p); });
        ++planes[std::size_t(ColourOf(p))];
    }
    std::array<double, 3> ev{};
    for (std::size_t c = 0; c < 3; ++c)
        ev[c] = std::log2(corner[c] / double(count[c]) / (centre[c] / planes[c]));
    return ev;
}

double Worst(const std::array<double, 3>& evs) {
    double worst = 0;
    for (const double ev : evs)
        if (std::abs(ev) > std::abs(worst)) worst = ev;
    return worst;
}

// --- running velmora-cli -------------------------------------------------------------------

// velmora-cli's DNG, read back with LibRaw, as samples of this frame and black levels.
Samples ReadCorrected(const QString& path) {
    const RawPicture picture = ReadRaw(path);
    const RawHeader& header = picture.header;
    if (header.width != kWidth || header.height != kHeight ||
        CfaLetters(header.cfa) != CfaLetters(Cfa()))
        Fail(path + " is not a 6000 x 4000 RGGB mosaic");
    for (std::size_t p = 0; p < 4; ++p)
        if (header.levels.black[p] != kBlack[p]) Fail(path + " has other black levels");
    return Samples(picture.samples.begin(), picture.samples.end());
}

struct Verdicts {
    int met = 0;
    int total = 0;
    bool Add(bool ok) {
        met += ok ? 1 : 0;
        ++total;
        return ok;
    }
};

// --- the lenses ----------------------------------------------------------------------------

void RunLens(const Candidate& candidate, const Rgb8& photo, int number, const QString& work,
             const QString& cli, Verdicts& verdicts) {
    const Lens lens = PerColour(candidate.lens);
    const QString folder = Folder(work, QString("lens%1").arg(number));
    const QString out = Folder(folder, "out");
    const auto at = [&](const QString& name) { return QDir(folder).filePath(name); };
    const std::uint32_t seed = std::uint32_t(100 * number);
    const Samples card = Shoot(lens, Card(), nullptr, seed);
    const Samples card2 = Shoot(lens, Card(), nullptr, seed + 1);
    const Samples light = Shoot(lens, Photograph(photo), nullptr, seed + 2);
    WriteShot(card, at("card-1.dng"));
    WriteShot(card2, at("card-2.dng"));
    WriteShot(light, at("light.dng"));
    RunCli(cli, {"tune", at("card-1.dng"), "--profile", at("lens.tif")});
    RunCli(cli, {"filter", "--quiet", "--profile", at("lens.tif"), "--output-dir", out,
                 at("light.dng"), at("card-2.dng")});
    const int radius = ProfileSmoothing(at("lens.tif"));
    const Samples corrected = ReadCorrected(QDir(out).filePath("light.dng.dng"));
    const Samples correctedCard = ReadCorrected(QDir(out).filePath("card-2.dng.dng"));

    const Flat flat = SmoothedCard(card, nullptr, radius);
    const Truth truth(photo, lens);
    struct Row {
        const char* label;
        Psnr psnr;
        std::array<double, 3> ev;
    };
    const Row rows[] = {
        {"none", Measure(truth, SignalOf(light)), CornerEv(SignalOf(card2))},
        {"velmora-cli", Measure(truth, SignalOf(corrected)), CornerEv(SignalOf(correctedCard))},
        {"ideal gain (smoothed card)", Measure(truth, IdealGain(light, nullptr, flat)),
         CornerEv(IdealGain(card2, nullptr, flat))}};

    std::printf("\nLens %d: %s: corners red %.2f, green %.2f, blue %.2f EV; smoothing radius %d\n",
                number, candidate.lens.name.c_str(), lens.CornerEv(0), lens.CornerEv(1),
                lens.CornerEv(2), radius);
    std::printf("  %-28s | %8s %8s | %-26s\n", "", "light", "", "card 2: corner EV");
    std::printf("  %-28s | %8s %8s | %8s %8s %8s\n", "correction", "PSNR all", "corners", "red",
                "green", "blue");
    for (const Row& row : rows) {
        std::printf("  %-28s | %8.2f %8.2f | %+8.3f %+8.3f %+8.3f\n", row.label, row.psnr.whole,
                    row.psnr.corners, row.ev[0], row.ev[1], row.ev[2]);
    }
    const double gap = rows[2].psnr.corners - rows[1].psnr.corners;
    const double worst = Worst(rows[1].ev);
    std::printf(
        "  corner PSNR %.3f dB below the ideal (goal: at most %.1f dB) %s; card 2's worst colour "
        "%+.3f EV in the corners (goal: within +-%.2f EV) %s\n",
        gap, kGoalPsnrGap, Verdict(verdicts.Add(gap <= kGoalPsnrGap)), worst, kGoalEv,
        Verdict(verdicts.Add(std::abs(worst) <= kGoalEv)));
}

// --- the dark current ----------------------------------------------------------------------

struct DarkPattern {
    std::vector<float> current;
    std::vector<std::size_t> hot;
    std::vector<bool> isHot;
};

DarkPattern MakeDarkPattern(std::uint32_t seed) {
    DarkPattern pattern;
    pattern.current.resize(std::size_t(kWidth) * kHeight);
    pattern.isHot.assign(pattern.current.size(), false);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            pattern.current[Index(x, y)] = float(kGlow * std::exp(-x / kGlowLength));
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> site(0, pattern.current.size() - 1);
    std::uniform_real_distribution<double> level(kHotLeast, kHotMost);
    while (pattern.hot.size() < std::size_t(kHotPixels)) {
        const std::size_t i = site(random);
        if (pattern.isHot[i]) continue;
        pattern.isHot[i] = true;
        pattern.hot.push_back(i);
        pattern.current[i] += float(level(random));
    }
    return pattern;
}

struct Residual {
    double hotMax = 0, hotRms = 0;     // at the hot pixels
    double glowMean = 0, glowRms = 0;  // in the glow's band, hot pixels aside
};

// The error of `signal` against the truth, or (with `noise`) what photon and read noise alone
// leave: the gain C / F of the lens times the noise of the light and of the dark frame.
Residual Residuals(const Truth& truth, const Lens& lens, const DarkPattern& pattern,
                   const std::function<double(std::size_t, int)>& signal) {
    const auto error = [&](int x, int y) {
        const int p = PositionAt(Cfa(), x, y);
        const std::size_t i = Index(x, y);
        if (signal) return signal(i, p) - truth.at(x, y, p);
        const double gain = truth.centre[std::size_t(p)] /
                            lens.Factor(ColourOf(p), RadiusSquared(x, y, kWidth, kHeight));
        const double light = truth.at(x, y, p) / gain;
        return gain * std::sqrt(light + 2 * (pattern.current[i] + kReadNoise * kReadNoise));
    };
    Residual r;
    for (const std::size_t i : pattern.hot) {
        const double e = error(int(i % kWidth), int(i / kWidth));
        r.hotMax = std::max(r.hotMax, std::abs(e));
        r.hotRms += e * e;
    }
    r.hotRms = std::sqrt(r.hotRms / double(pattern.hot.size()));
    std::size_t count = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kGlowBand; ++x) {
            if (pattern.isHot[Index(x, y)]) continue;
            const double e = error(x, y);
            r.glowMean += e;
            r.glowRms += e * e;
            ++count;
        }
    }
    r.glowMean /= double(count);
    r.glowRms = std::sqrt(r.glowRms / double(count));
    return r;
}

void RunDark(const Candidate& candidate, const Rgb8& photo, const QString& work, const QString& cli,
             Verdicts& verdicts) {
    const Lens lens = PerColour(candidate.lens);
    const QString folder = Folder(work, "dark");
    const auto at = [&](const QString& name) { return QDir(folder).filePath(name); };
    const DarkPattern pattern = MakeDarkPattern(7);
    const Samples dark = Shoot(
        Lens{}, [](int, int, int) { return 0.0; }, &pattern.current, 11);
    const Samples card = Shoot(lens, Card(), &pattern.current, 12);
    const Samples light = Shoot(lens, Photograph(photo), &pattern.current, 13);
    WriteShot(dark, at("dark.dng"));
    WriteShot(card, at("card.dng"));
    WriteShot(light, at("light.dng"));
    const QStringList withDark{"--dark", at("dark.dng")};
    std::vector<Samples> results;
    for (const QString name : {"plain", "dark"}) {
        const QStringList options = name == "dark" ? withDark : QStringList{};
        const QString profile = at(name + ".tif");
        const QString out = Folder(folder, "out-" + name);
        RunCli(cli, QStringList{"tune", at("card.dng"), "--profile", profile} + options);
        RunCli(cli, QStringList{"filter", "--quiet", "--profile", profile, "--output-dir", out} +
                        options + QStringList{at("light.dng")});
        results.push_back(ReadCorrected(QDir(out).filePath("light.dng.dng")));
    }
    const Flat flat = SmoothedCard(card, &dark, ProfileSmoothing(at("dark.tif")));
    const Truth truth(photo, lens);
    const Residual noise = Residuals(truth, lens, pattern, nullptr);
    const Residual plain = Residuals(truth, lens, pattern, SignalOf(results[0]));
    const Residual removed = Residuals(truth, lens, pattern, SignalOf(results[1]));
    const Residual ideal = Residuals(truth, lens, pattern, IdealGain(light, &dark, flat));

    std::printf(
        "\nDark current through lens 1, in card, light and dark frame: %d hot pixels of %.0f to "
        "%.0f DN, amp glow of %.0f DN at the left edge falling by e every %.0f pixels\n",
        kHotPixels, kHotLeast, kHotMost, kGlow, kGlowLength);
    std::printf("  corrected light minus the truth, in DN | %-17s | glow band (x < %d)\n",
                "hot pixels", kGlowBand);
    std::printf("  %-38s | %8s %8s | %8s %8s\n", "correction", "max", "RMS", "mean", "RMS");
    std::printf("  %-38s | %8s %8.1f | %8s %8.1f\n", "photon and read noise alone", "",
                noise.hotRms, "", noise.glowRms);
    const std::pair<const char*, const Residual*> rows[] = {
        {"velmora-cli without --dark", &plain},
        {"velmora-cli --dark", &removed},
        {"ideal gain, card and light minus dark", &ideal}};
    for (const auto& [label, r] : rows) {
        std::printf("  %-38s | %8.1f %8.1f | %+8.1f %8.1f\n", label, r->hotMax, r->hotRms,
                    r->glowMean, r->glowRms);
    }
    const double hot = removed.hotRms / noise.hotRms;
    const double glow = removed.glowRms / noise.glowRms;
    std::printf(
        "  with --dark: RMS at the hot pixels %.2f x the noise (%.2f x without; goal: below %.0f "
        "x) %s; in the glow band %.2f x (%.2f x without; goal: below %.0f x) %s\n",
        hot, plain.hotRms / noise.hotRms, kGoalNoise, Verdict(verdicts.Add(hot < kGoalNoise)), glow,
        plain.glowRms / noise.glowRms, kGoalNoise, Verdict(verdicts.Add(glow < kGoalNoise)));
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    StartVips(argv[0]);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QString cli, photos, lensfun, work;
    int lensCount = 2;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i + 1 < arguments.size(); i += 2) {
        const QString& name = arguments[i];
        const QString& value = arguments[i + 1];
        if (name == "--cli")
            cli = value;
        else if (name == "--photos")
            photos = value;
        else if (name == "--lensfun")
            lensfun = value;
        else if (name == "--work")
            work = value;
        else if (name == "--lenses")
            lensCount = value.toInt();
        else
            Fail("unknown option " + name);
    }
    if (cli.isEmpty() || photos.isEmpty() || lensfun.isEmpty() || work.isEmpty() || lensCount < 1) {
        std::fprintf(stderr,
                     "usage: velmora_raw_quality --cli VELMORA_CLI --photos DIR --lensfun DIR "
                     "--work DIR [--lenses N]\n");
        return 2;
    }
    try {
        const std::vector<Candidate> all =
            StrongestPerLens(lensfun, kLeastEv, kMostEv, [](const LensfunVignetting& entry) {
                return entry.model + " at " + entry.focalText + " mm f/" + entry.apertureText;
            });
        const std::vector<Candidate> lenses = Spread(all, lensCount);
        if (lenses.empty()) Fail("no lens in " + lensfun + " loses 1.0 to 2.0 EV in the corners");
        const std::vector<std::string> files = PhotosIn(photos.toStdString());
        std::printf(
            "%zu lenses in lensfun's data lose %.1f to %.1f EV in the corners; %zu of them, red "
            "losing %.1f x their stops and blue %.1f x, each on a mosaic of 6000 x 4000 from "
            "%s.\n14-bit RGGB DNGs, black %.0f/%.0f/%.0f/%.0f, white %.0f; photon noise "
            "(variance the signal in DN) and %.0f DN of read noise; cards at %.0f DN above black, "
            "the photographs' linear light 1 at %.0f DN. PSNR against the range black to white; "
            "corners beyond %.0f %% of the half-diagonal.\n",
            all.size(), kLeastEv, kMostEv, lenses.size(), kStops[0], kStops[2], qPrintable(photos),
            kBlack[0], kBlack[1], kBlack[2], kBlack[3], kWhite, kReadNoise, kCardSignal, kExposure,
            100 * std::sqrt(kCornerR2));
        Verdicts verdicts;
        Rgb8 first;
        for (std::size_t i = 0; i < lenses.size(); ++i) {
            Rgb8 photo = Mosaic(files, int(i), kWidth, kHeight);
            RunLens(lenses[i], photo, int(i) + 1, work, cli, verdicts);
            if (i == 0) first = std::move(photo);
        }
        RunDark(lenses.front(), first, work, cli, verdicts);
        std::printf("\nGoals met: %d of %d\n", verdicts.met, verdicts.total);
    } catch (const vips::VError& error) {
        Fail(QString::fromUtf8(error.what()));
    } catch (const std::exception& error) {
        Fail(QString::fromUtf8(error.what()));
    }
    return 0;
}
