// How well velmora-cli's lens profiles undo real lenses' falloff on 24-megapixel photographs.
//
//   velmora_lens_quality --cli VELMORA_CLI --photos DIR --lensfun DIR --work DIR
//                        [--lenses N] [--pictures N]
//
// From lensfun's measured lenses (DIR/*.xml, <vignetting model="pa">) it takes N lenses whose
// corners lose 1.9 to 2.4 EV. For each, mosaics of the photographs (6000 x 4000) are darkened by
// the lens in linear light and saved as JPEG (quality 95), at full size and at the camera's half
// size (3000 x 2000, each 2 x 2 pixels averaged in linear light); a grey card with noise is shot
// through the same lens. The real velmora-cli tunes a profile on the card and corrects both sizes
// to PNG, in linear light and as a code-value product; each result is measured against the
// undarkened photograph, beside the ideal linear-light gain of the smoothed card computed here in
// double precision. Last, a lens with a colour cast (blue falloff 15 % stronger) is corrected
// with --correct both, luminance and colour, and the corners' falloff is printed per channel.

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>
#include <vips/vips8>

#include "cli_steps.h"
#include "lens_candidates.h"
#include "lens_scene.h"
#include "lensfun_data.h"

namespace {

using velmora::bench::Candidate;
using velmora::bench::Folder;
using velmora::bench::ProfileSmoothing;
using velmora::bench::RunCli;
using velmora::bench::Spread;
using velmora::bench::StrongestPerLens;
using velmora::bench::Verdict;

using namespace velmora::scene;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr double kCardLevel = 0.5;  // linear light at the card's centre
constexpr double kCardNoise = 1.5;  // 8-bit codes
constexpr double kLeastEv = 1.9;
constexpr double kMostEv = 2.4;
constexpr double kGoalPsnrGap = 0.5;
constexpr double kGoalEv = 0.05;
constexpr double kBlueStronger = 1.15;
const std::array<double, 3> kLuminance{0.2126, 0.7152, 0.0722};  // Rec. 709, linear light

[[noreturn]] void Fail(const QString& message) {
    std::fprintf(stderr, "velmora_lens_quality: %s\n", qPrintable(message));
    std::exit(1);
}

// --- the ideal gain ----------------------------------------------------------------------

struct Flat {
    int width = 0;
    int height = 0;
    std::vector<double> values;  // linear light, RGB interleaved
    std::array<double, 3> centre{};
    double at(int x, int y, int c) const {
        return values[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3 + std::size_t(c)];
    }
};

// One box pass of 2 r + 1 places along rows (step 3) or columns (step 3 w), each box averaging
// only the places inside the frame.
void BoxPass(const std::vector<double>& from, std::vector<double>& to, int width, int height,
             int radius, bool across) {
    const int lines = across ? height : width;
    const int length = across ? width : height;
    const std::size_t step = across ? 3 : std::size_t(width) * 3;
    std::vector<double> prefix(std::size_t(length) + 1);
    for (int line = 0; line < lines; ++line) {
        const std::size_t first =
            across ? std::size_t(line) * std::size_t(width) * 3 : std::size_t(line) * 3;
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < length; ++i)
                prefix[std::size_t(i) + 1] =
                    prefix[std::size_t(i)] + from[first + std::size_t(c) + std::size_t(i) * step];
            for (int i = 0; i < length; ++i) {
                const int lo = std::max(i - radius, 0);
                const int hi = std::min(i + radius, length - 1);
                to[first + std::size_t(c) + std::size_t(i) * step] =
                    (prefix[std::size_t(hi) + 1] - prefix[std::size_t(lo)]) / (hi - lo + 1);
            }
        }
    }
}

// The card in linear light, smoothed by two box passes across and two down, and its centre level
// (the mean of the square of `centreRadius` around the middle).
Flat SmoothedCard(const Rgb8& card, int radius, int centreRadius) {
    Flat flat{card.width, card.height, std::vector<double>(card.samples.size()), {}};
    const auto& linear = Linear8();
    for (std::size_t i = 0; i < card.samples.size(); ++i)
        flat.values[i] = linear[card.samples[i]];
    if (radius > 0) {
        std::vector<double> other(flat.values.size());
        for (int pass = 0; pass < 2; ++pass) {
            BoxPass(flat.values, other, flat.width, flat.height, radius, true);
            BoxPass(other, flat.values, flat.width, flat.height, radius, false);
        }
    }
    const int cx = flat.width / 2;
    const int cy = flat.height / 2;
    std::array<double, 3> sum{};
    long count = 0;
    for (int y = std::max(cy - centreRadius, 0); y <= std::min(cy + centreRadius, flat.height - 1);
         ++y) {
        for (int x = std::max(cx - centreRadius, 0);
             x <= std::min(cx + centreRadius, flat.width - 1); ++x) {
            for (int c = 0; c < 3; ++c)
                sum[std::size_t(c)] += flat.at(x, y, c);
            ++count;
        }
    }
    for (int c = 0; c < 3; ++c)
        flat.centre[std::size_t(c)] = sum[std::size_t(c)] / double(count);
    return flat;
}

// The flat at half size, each 2 x 2 places averaged.
Flat Halved(const Flat& flat) {
    Flat half{flat.width / 2, flat.height / 2, {}, flat.centre};
    half.values.resize(std::size_t(half.width) * std::size_t(half.height) * 3);
    for (int y = 0; y < half.height; ++y) {
        for (int x = 0; x < half.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                half.values[(std::size_t(y) * std::size_t(half.width) + std::size_t(x)) * 3 +
                            std::size_t(c)] =
                    (flat.at(2 * x, 2 * y, c) + flat.at(2 * x + 1, 2 * y, c) +
                     flat.at(2 * x, 2 * y + 1, c) + flat.at(2 * x + 1, 2 * y + 1, c)) /
                    4;
            }
        }
    }
    return half;
}

// What a gain corrects, as velmora-cli's --correct, and the code-value product (Code: codes
// times the flat's centre over the flat, both as codes of the curve, cut at 255).
enum class Ideal { Both, Luminance, Colour, Code };

// darkened x C / F in linear light (or its luminance or colour part), in double precision,
// encoded to 8-bit sRGB.
Rgb8 IdealGain(const Rgb8& darkened, const Flat& flat, Ideal what = Ideal::Both) {
    if (darkened.width != flat.width || darkened.height != flat.height) Fail("ideal: sizes differ");
    Rgb8 result{darkened.width, darkened.height,
                std::vector<std::uint8_t>(darkened.samples.size())};
    const auto& linear = Linear8();
    double centreY = 0;
    for (std::size_t c = 0; c < 3; ++c)
        centreY += kLuminance[c] * flat.centre[c];
    for (std::size_t p = 0; p < darkened.samples.size(); p += 3) {
        const double* f = &flat.values[p];
        const double gainY =
            centreY / (kLuminance[0] * f[0] + kLuminance[1] * f[1] + kLuminance[2] * f[2]);
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t i = p + c;
            const double gain = flat.centre[c] / f[c];
            if (what == Ideal::Code) {
                const double code =
                    double(darkened.samples[i]) * LinearToSrgb(flat.centre[c]) / LinearToSrgb(f[c]);
                result.samples[i] = std::uint8_t(std::min(255.0, std::nearbyint(code)));
                continue;
            }
            const double g = what == Ideal::Both        ? gain
                             : what == Ideal::Luminance ? gainY
                                                        : gain / gainY;
            result.samples[i] = Encode8(linear[darkened.samples[i]] * g);
        }
    }
    return result;
}

// --- measuring -----------------------------------------------------------------------------

struct Quality {
    double psnrWhole = 0;
    double psnrCorners = 0;
    std::array<double, 3> ev{};  // per channel: log2(corners' light in the result / original's)
    double evLuminance = 0;
};

// The corner regions: the four rectangles of an eighth of the width by an eighth of the height.
bool InCorner(int x, int y, int width, int height) {
    const int cw = width / 8;
    const int ch = height / 8;
    return (x < cw || x >= width - cw) && (y < ch || y >= height - ch);
}

Quality Measure(const Rgb8& result, const Rgb8& original) {
    if (result.width != original.width || result.height != original.height)
        Fail("measure: sizes differ");
    const auto& linear = Linear8();
    double squaresAll = 0, squaresCorners = 0;
    std::size_t countAll = 0, countCorners = 0;
    std::array<double, 3> lightResult{}, lightOriginal{};
    for (int y = 0; y < result.height; ++y) {
        for (int x = 0; x < result.width; ++x) {
            const bool corner = InCorner(x, y, result.width, result.height);
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = result.index(x, y, c);
                const double d = double(result.samples[i]) - double(original.samples[i]);
                squaresAll += d * d;
                ++countAll;
                if (corner) {
                    squaresCorners += d * d;
                    ++countCorners;
                    lightResult[std::size_t(c)] += linear[result.samples[i]];
                    lightOriginal[std::size_t(c)] += linear[original.samples[i]];
                }
            }
        }
    }
    const auto psnr = [](double squares, std::size_t count) {
        return squares == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(count) / squares);
    };
    Quality q;
    q.psnrWhole = psnr(squaresAll, countAll);
    q.psnrCorners = psnr(squaresCorners, countCorners);
    double yResult = 0, yOriginal = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        q.ev[c] = std::log2(lightResult[c] / lightOriginal[c]);
        yResult += kLuminance[c] * lightResult[c];
        yOriginal += kLuminance[c] * lightOriginal[c];
    }
    q.evLuminance = std::log2(yResult / yOriginal);
    return q;
}

// --- running velmora-cli -------------------------------------------------------------------

// --- tables --------------------------------------------------------------------------------

struct Row {
    const char* label;
    std::vector<Quality> full, half;
};

double Mean(const std::vector<Quality>& qs, double Quality::*field) {
    double sum = 0;
    for (const Quality& q : qs)
        sum += q.*field;
    return qs.empty() ? 0 : sum / double(qs.size());
}

double WorstEv(const std::vector<Quality>& qs) {
    double worst = 0;
    for (const Quality& q : qs)
        for (double ev : q.ev)
            if (std::abs(ev) > std::abs(worst)) worst = ev;
    return worst;
}

double MeanEv(const std::vector<Quality>& qs, std::size_t channel) {
    double sum = 0;
    for (const Quality& q : qs)
        sum += q.ev[channel];
    return qs.empty() ? 0 : sum / double(qs.size());
}

struct Scene {
    std::vector<Rgb8> originals, originalHalves;
};

QString PictureName(std::size_t i) {
    return QString("mosaic-%1.jpg").arg(i);
}

// Darkens every photograph through `lens`, writes full and half-size JPEGs and the card, and
// tunes the profile. Returns the JPEGs as velmora-cli reads them.
void Shoot(const Scene& scene, const Lens& lens, const QString& folder, const QString& cli,
           std::uint32_t seed, std::vector<Rgb8>* full, std::vector<Rgb8>* half, Flat* flat) {
    const QString fullDir = Folder(folder, "full");
    const QString halfDir = Folder(folder, "half");
    for (std::size_t i = 0; i < scene.originals.size(); ++i) {
        Rgb8 dark, small;
        ShootPhoto(scene.originals[i], lens, &dark, nullptr, half ? &small : nullptr, nullptr);
        const std::string fullFile = QDir(fullDir).filePath(PictureName(i)).toStdString();
        WriteJpeg(dark, fullFile, 95);
        full->push_back(ReadRgb8(fullFile));
        if (half != nullptr) {
            const std::string halfFile = QDir(halfDir).filePath(PictureName(i)).toStdString();
            WriteJpeg(small, halfFile, 95);
            half->push_back(ReadRgb8(halfFile));
        }
    }
    const QString card = QDir(folder).filePath("card.jpg");
    WriteJpeg(ShootCard(kWidth, kHeight, kCardLevel, kCardNoise, lens, seed), card.toStdString(),
              95);
    const QString profile = QDir(folder).filePath("lens.tif");
    RunCli(cli, {"tune", card, "--profile", profile});
    *flat = SmoothedCard(ReadRgb8(card.toStdString()), ProfileSmoothing(profile),
                         std::max(2, std::min(kWidth, kHeight) / 100));
}

QStringList Inputs(const QString& folder, std::size_t count) {
    QStringList inputs;
    for (std::size_t i = 0; i < count; ++i)
        inputs << QDir(folder).filePath(PictureName(i));
    return inputs;
}

std::vector<Rgb8> Filter(const QString& cli, const QString& folder, const QString& size,
                         const QString& name, const QStringList& options, std::size_t count) {
    const QString out = Folder(folder, "out-" + size + "-" + name);
    RunCli(cli, QStringList{"filter", "--quiet", "--profile", QDir(folder).filePath("lens.tif"),
                            "--format", "png", "--output-dir", out} +
                    options + Inputs(QDir(folder).filePath(size), count));
    std::vector<Rgb8> results;
    for (std::size_t i = 0; i < count; ++i)
        results.push_back(ReadRgb8(QDir(out).filePath(PictureName(i) + ".png").toStdString()));
    return results;
}

struct Verdicts {
    int met = 0;
    int total = 0;
    void Add(bool ok) {
        met += ok ? 1 : 0;
        ++total;
    }
};

void RunLens(const Scene& scene, const Candidate& candidate, int number, const QString& work,
             const QString& cli, Verdicts& verdicts) {
    const QString folder = Folder(work, QString("lens%1").arg(number));
    std::vector<Rgb8> full, half;
    Flat flat;
    Shoot(scene, candidate.lens, folder, cli, std::uint32_t(100 + number), &full, &half, &flat);
    const std::size_t n = full.size();

    std::vector<Row> rows{{"none (darkened)", {}, {}},
                          {"velmora-cli (linear light)", {}, {}},
                          {"velmora-cli --space code", {}, {}},
                          {"ideal linear gain", {}, {}},
                          {"ideal code-value gain", {}, {}}};
    const std::vector<Rgb8> linearFull = Filter(cli, folder, "full", "linear", {}, n);
    const std::vector<Rgb8> codeFull = Filter(cli, folder, "full", "code", {"--space", "code"}, n);
    const std::vector<Rgb8> linearHalf = Filter(cli, folder, "half", "linear", {}, n);
    const std::vector<Rgb8> codeHalf = Filter(cli, folder, "half", "code", {"--space", "code"}, n);
    const Flat flatHalf = Halved(flat);
    for (std::size_t i = 0; i < n; ++i) {
        const Rgb8& original = scene.originals[i];
        const Rgb8& small = scene.originalHalves[i];
        rows[0].full.push_back(Measure(full[i], original));
        rows[0].half.push_back(Measure(half[i], small));
        rows[1].full.push_back(Measure(linearFull[i], original));
        rows[1].half.push_back(Measure(linearHalf[i], small));
        rows[2].full.push_back(Measure(codeFull[i], original));
        rows[2].half.push_back(Measure(codeHalf[i], small));
        rows[3].full.push_back(Measure(IdealGain(full[i], flat), original));
        rows[3].half.push_back(Measure(IdealGain(half[i], flatHalf), small));
        rows[4].full.push_back(Measure(IdealGain(full[i], flat, Ideal::Code), original));
        rows[4].half.push_back(Measure(IdealGain(half[i], flatHalf, Ideal::Code), small));
    }

    const auto& k = candidate.lens.k[0];
    std::printf("\nLens %d: %s (k1 %g, k2 %g, k3 %g): corners %.2f EV\n", number,
                candidate.lens.name.c_str(), k[0], k[1], k[2], candidate.ev);
    std::printf("  %-28s | %-40s | %-40s\n", "", "6000 x 4000", "3000 x 2000 (profile resampled)");
    std::printf("  %-28s | %8s %9s %9s %11s | %8s %9s %9s %11s\n", "correction", "PSNR all",
                "corners", "worst", "corner EV", "PSNR all", "corners", "worst", "corner EV");
    for (const Row& row : rows) {
        std::printf("  %-28s |", row.label);
        for (const auto* qs : {&row.full, &row.half}) {
            double worst = 1e9;
            for (const Quality& q : *qs)
                worst = std::min(worst, q.psnrCorners);
            std::printf(" %8.2f %9.2f %9.2f %+11.3f |", Mean(*qs, &Quality::psnrWhole),
                        Mean(*qs, &Quality::psnrCorners), worst, Mean(*qs, &Quality::evLuminance));
        }
        std::printf("\n");
    }
    for (const bool isFull : {true, false}) {
        const auto& velmora = isFull ? rows[1].full : rows[1].half;
        const auto& ideal = isFull ? rows[3].full : rows[3].half;
        const double gap =
            Mean(ideal, &Quality::psnrCorners) - Mean(velmora, &Quality::psnrCorners);
        const double worst = WorstEv(velmora);
        std::printf(
            "  %s: corner PSNR %.2f dB below the ideal (goal: at most %.1f dB) %s; worst "
            "channel's corner falloff %+.3f EV (goal: within +-%.2f EV) %s\n",
            isFull ? "6000 x 4000" : "3000 x 2000", gap, kGoalPsnrGap, Verdict(gap <= kGoalPsnrGap),
            worst, kGoalEv, Verdict(std::abs(worst) <= kGoalEv));
        verdicts.Add(gap <= kGoalPsnrGap);
        verdicts.Add(std::abs(worst) <= kGoalEv);
    }
}

// A lens whose blue loses kBlueStronger times the stops of red and green in the corners: the
// same shape of falloff, deeper.
Lens WithColourCast(const Lens& lens) {
    Lens cast = lens;
    const auto& k = lens.k[0];
    const double sum = k[0] + k[1] + k[2];
    const double target = std::exp2(kBlueStronger * lens.CornerEv(0)) - 1.0;
    for (double& v : cast.k[2])
        v *= target / sum;
    cast.name = lens.name + ", blue " +
                std::to_string(int(std::lround(100 * (kBlueStronger - 1)))) + " % stronger";
    return cast;
}

void RunColourCast(const Scene& scene, const Candidate& candidate, const QString& work,
                   const QString& cli, Verdicts& verdicts) {
    const Lens lens = WithColourCast(candidate.lens);
    const QString folder = Folder(work, "cast");
    std::vector<Rgb8> full;
    Flat flat;
    Shoot(scene, lens, folder, cli, 99, &full, nullptr, &flat);
    // A second card through the same lens, corrected like a photograph: on an even grey, what
    // each mode leaves shows without the photographs' colours weighting the channels.
    const QString cardDir = Folder(folder, "card2");
    WriteJpeg(ShootCard(kWidth, kHeight, kCardLevel, kCardNoise, lens, 98),
              QDir(cardDir).filePath(PictureName(0)).toStdString(), 95);
    const Rgb8 card2 = ReadRgb8(QDir(cardDir).filePath(PictureName(0)).toStdString());
    const Rgb8 grey{kWidth, kHeight,
                    std::vector<std::uint8_t>(card2.samples.size(), Encode8(kCardLevel))};

    const std::size_t n = full.size();
    struct CastRow {
        QString label;
        std::vector<Quality> photos;
        Quality card;
    };
    std::vector<CastRow> rows;
    {
        CastRow none{"none (darkened)", {}, Measure(card2, grey)};
        for (std::size_t i = 0; i < n; ++i)
            none.photos.push_back(Measure(full[i], scene.originals[i]));
        rows.push_back(none);
    }
    const std::pair<const char*, Ideal> modes[] = {
        {"both", Ideal::Both}, {"luminance", Ideal::Luminance}, {"colour", Ideal::Colour}};
    for (const auto& [what, ideal] : modes) {
        const std::vector<Rgb8> out = Filter(cli, folder, "full", what, {"--correct", what}, n);
        const std::vector<Rgb8> cardOut =
            Filter(cli, folder, "card2", what, {"--correct", what}, 1);
        CastRow velmora{QString("velmora --correct %1").arg(what), {}, Measure(cardOut[0], grey)};
        CastRow best{
            QString("ideal %1").arg(what), {}, Measure(IdealGain(card2, flat, ideal), grey)};
        for (std::size_t i = 0; i < n; ++i) {
            velmora.photos.push_back(Measure(out[i], scene.originals[i]));
            best.photos.push_back(Measure(IdealGain(full[i], flat, ideal), scene.originals[i]));
        }
        rows.push_back(velmora);
        rows.push_back(best);
    }

    std::printf(
        "\nColour cast: %s\n  lens corners: red %.2f, green %.2f, blue %.2f EV (6000 x 4000)\n",
        lens.name.c_str(), lens.CornerEv(0), lens.CornerEv(1), lens.CornerEv(2));
    std::printf("  corner falloff in EV, %-26s | %-33s | %s\n", "", "on the photographs (mean)",
                "on a second grey card");
    std::printf("  %-48s | %7s %7s %7s %9s | %7s %7s %7s %9s\n", "correction", "red", "green",
                "blue", "luminance", "red", "green", "blue", "luminance");
    std::map<QString, std::array<double, 8>> figures;
    for (const CastRow& row : rows) {
        const std::array<double, 8> f{
            MeanEv(row.photos, 0), MeanEv(row.photos, 1),
            MeanEv(row.photos, 2), Mean(row.photos, &Quality::evLuminance),
            row.card.ev[0],        row.card.ev[1],
            row.card.ev[2],        row.card.evLuminance};
        figures[row.label] = f;
        std::printf("  %-48s | %+7.3f %+7.3f %+7.3f %+9.3f | %+7.3f %+7.3f %+7.3f %+9.3f\n",
                    qPrintable(row.label), f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
    }
    for (const auto& [what, ideal] : modes) {
        const auto& v = figures[QString("velmora --correct %1").arg(what)];
        const auto& best = figures[QString("ideal %1").arg(what)];
        double worst = 0;
        for (std::size_t i = 0; i < v.size(); ++i)
            worst = std::max(worst, std::abs(v[i] - best[i]));
        const bool ok = worst <= kGoalEv;
        std::printf(
            "  --correct %-9s: every channel within %.3f EV of the ideal %s (goal: %.2f EV) %s\n",
            what, worst, what, kGoalEv, Verdict(ok));
        verdicts.Add(ok);
    }
    const auto& lum = figures["velmora --correct luminance"];
    const auto& col = figures["velmora --correct colour"];
    const auto& dark = figures["none (darkened)"];
    std::printf(
        "  on the grey card: luminance leaves blue %+.3f EV against green (the cast) and luminance "
        "%+.3f EV (no falloff);\n                    colour leaves blue %+.3f EV against green (no "
        "cast) and luminance %+.3f EV (the falloff, darkened %+.3f)\n",
        lum[6] - lum[5], lum[7], col[6] - col[5], col[7], dark[7]);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    StartVips(argv[0]);
    // Each table as soon as it is done: the whole run takes minutes.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QString cli, photos, lensfun, work;
    int lensCount = 3, pictures = 1;
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
        else if (name == "--pictures")
            pictures = value.toInt();
        else
            Fail("unknown option " + name);
    }
    if (cli.isEmpty() || photos.isEmpty() || lensfun.isEmpty() || work.isEmpty() || lensCount < 1 ||
        pictures < 1) {
        std::fprintf(stderr,
                     "usage: velmora_lens_quality --cli VELMORA_CLI --photos DIR --lensfun DIR "
                     "--work DIR [--lenses N] [--pictures N]\n");
        return 2;
    }
    try {
        const std::vector<Candidate> all =
            StrongestPerLens(lensfun, kLeastEv, kMostEv, [](const LensfunVignetting& entry) {
                return entry.model + " at " + entry.focalText + " mm f/" + entry.apertureText +
                       ", distance " + entry.distanceText;
            });
        const std::vector<Candidate> lenses = Spread(all, lensCount);
        if (lenses.empty()) Fail("no lens in " + lensfun + " loses 1.9 to 2.4 EV in the corners");
        const std::vector<std::string> files = PhotosIn(photos.toStdString());
        Scene scene;
        for (int i = 0; i < pictures; ++i) {
            scene.originals.push_back(Mosaic(files, i, kWidth, kHeight));
            Rgb8 dark, half;
            ShootPhoto(scene.originals.back(), Lens{}, &dark, nullptr, &half, nullptr);
            scene.originalHalves.push_back(std::move(half));
        }
        std::printf(
            "%zu lenses in lensfun's data lose %.1f to %.1f EV in the corners; %zu of them, each "
            "on %d mosaics of 6000 x 4000 from %s.\nCard: linear light %.2f at the centre, noise "
            "%.1f codes, JPEG quality 95. Corner regions: the four %d x %d rectangles (%d x %d at "
            "half size). Corner EV: log2 of the corners' light against the original's.\n",
            all.size(), kLeastEv, kMostEv, lenses.size(), pictures, qPrintable(photos), kCardLevel,
            kCardNoise, kWidth / 8, kHeight / 8, kWidth / 16, kHeight / 16);
        Verdicts verdicts;
        for (std::size_t i = 0; i < lenses.size(); ++i)
            RunLens(scene, lenses[i], int(i) + 1, work, cli, verdicts);
        RunColourCast(scene, lenses.front(), work, cli, verdicts);
        std::printf("\nGoals met: %d of %d\n", verdicts.met, verdicts.total);
    } catch (const vips::VError& error) {
        Fail(QString::fromUtf8(error.what()));
    } catch (const std::exception& error) {
        Fail(QString::fromUtf8(error.what()));
    }
    return 0;
}
