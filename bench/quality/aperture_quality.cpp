// How well velmora-cli corrects a picture taken at an aperture between two measured ones: the
// nearest profile, the blend of both neighbours' gains in log space (linear in log2 f-number)
// and the product's default, the monotone cubic in log2 f-number through more measured apertures.
//
//   velmora_aperture_quality --cli VELMORA_CLI --photos DIR --lensfun DIR --work DIR [--lenses N]
//
// lensfun's data (DIR/*.xml) holds lenses measured at several apertures of one focal length (at
// the largest distance measured). First, from lensfun's model alone: every measured aperture
// with a measured neighbour on each side is predicted from those two, and the worst miss between
// centre and corner is summed up over all of them. Then N hard cases, lenses whose corners change
// by 0.25 EV or more between the two neighbours, go through the real velmora-cli at 3000 x 2000
// (falloff is smooth, so a smaller picture loses nothing): grey cards with noise are shot at the
// neighbours' apertures, at the next one out on each side that lensfun measured and at the
// middle one, and tuned into profiles that record the shot settings. A mosaic of photographs
// darkened at the middle aperture is saved as JPEG with its EXIF and corrected four ways:
//   (a) nearest:  filter --profile with the nearer neighbour's profile;
//   (b) blend:    filter --profiles with a library of the two neighbours only, which velmora-cli
//                 has to blend linearly in log2 f-number (--explain must name both);
//   (c) default:  filter --profiles with a library of every shot aperture but the picture's, from
//                 which velmora-cli takes, by default, the monotone cubic through the neighbours
//                 and the next one on each side (--explain must say so), or the blend where
//                 only the two neighbours were measured;
//   and, for comparison, filter --profile with the profile measured at the picture's aperture.
// The residual falloff in the corners and along the diagonals is measured against the
// undarkened photograph. The goal is a blend (b) whose median and 90th percentile corner errors
// are at most half the nearest rule's; the same half-rule is printed for the default (c), and
// (c) is set against (b) on the cases where velmora-cli took the cubic. Last, the same rules are
// computed here from the profiles' TIFFs on an even grey, the cubic by its own code
// (Fritsch-Carlson), as a cross-check of velmora-cli's: the largest difference between the
// residuals through velmora-cli and from the TIFFs is printed for the blend and the cubic.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>
#include <vips/vips8>

#include "cli_steps.h"
#include "lens_scene.h"
#include "lensfun_data.h"

namespace {

using velmora::bench::Folder;

using namespace velmora::scene;

constexpr int kWidth = 3000;
constexpr int kHeight = 2000;
constexpr double kCardLevel = 0.5;  // linear light at the card's centre
constexpr double kCardNoise = 1.5;  // 8-bit codes
constexpr double kHardEv = 0.25;    // corner change between the neighbours of a hard case
constexpr double kGoalRatio = 0.5;  // the blend's (and default's) errors against the nearest's
constexpr int kSteps = 10;          // places along each diagonal, the last in the corner
constexpr int kWindow = 100;        // side of the square windows measured at each place
constexpr int kModelPlaces = 100;   // steps from centre to corner for lensfun's model
// velmora-cli takes f-numbers within a tenth of a stop (0.05 in log2) for the same aperture.
constexpr double kSameAperture = 0.05;
const char* const kMake = "Velmora";
const char* const kCamera = "Bench camera";
const std::array<double, 3> kLuminance{0.2126, 0.7152, 0.0722};  // Rec. 709, linear light

[[noreturn]] void Fail(const QString& message) {
    std::fprintf(stderr, "velmora_aperture_quality: %s\n", qPrintable(message));
    std::exit(1);
}

// --- lensfun: the apertures measured at one focal length -------------------------------------

struct Aperture {
    double fNumber = 0;
    std::string text;  // as lensfun writes it
    Lens lens;
};

struct Group {
    std::string maker, model;  // of the lens
    std::string focalText, distanceText;
    std::vector<Aperture> apertures;  // widest first
};

std::string Trimmed(const std::string& text) {
    return QString::fromStdString(text).simplified().toStdString();
}

// Every (lens, focal length) with three or more apertures at its largest distance.
std::vector<Group> ReadGroups(const std::string& folder) {
    std::map<std::tuple<std::string, std::string, double>, std::vector<LensfunVignetting>> byFocal;
    for (const LensfunVignetting& entry : ReadLensfunVignetting(folder))
        byFocal[{entry.maker, Trimmed(entry.model), entry.focal}].push_back(entry);
    std::vector<Group> groups;
    for (const auto& [key, entries] : byFocal) {
        double farthest = 0;
        for (const LensfunVignetting& e : entries)
            farthest = std::max(farthest, e.distance);
        Group group{std::get<0>(key), std::get<1>(key), entries.front().focalText, {}, {}};
        for (const LensfunVignetting& e : entries) {
            if (e.distance != farthest) continue;
            const bool seen =
                std::any_of(group.apertures.begin(), group.apertures.end(),
                            [&](const Aperture& a) { return a.fNumber == e.aperture; });
            if (seen) continue;
            group.distanceText = e.distanceText;
            Aperture aperture{e.aperture, e.apertureText, {}};
            aperture.lens.k = {e.k, e.k, e.k};
            group.apertures.push_back(aperture);
        }
        std::sort(group.apertures.begin(), group.apertures.end(),
                  [](const Aperture& a, const Aperture& b) { return a.fNumber < b.fNumber; });
        if (group.apertures.size() >= 3) groups.push_back(group);
    }
    return groups;
}

std::string LensName(const Group& group) {
    return group.model + " at " + group.focalText + " mm";
}

// The light's log2 at r^2 through the lens: -1 is one stop darker than the centre.
double FalloffEv(const Lens& lens, double r2) {
    return std::log2(lens.Factor(0, r2));
}

bool LightEverywhere(const Group& group) {
    for (const Aperture& a : group.apertures)
        for (int i = 0; i <= kModelPlaces; ++i)
            if (!(a.lens.Factor(0, double(i * i) / (kModelPlaces * kModelPlaces)) > 0))
                return false;
    return true;
}

// --- the three ways of predicting an aperture from measured ones -----------------------------

double Stops(double fNumber) {
    return std::log2(fNumber);
}

// Whether `lower` is the nearer of the two neighbours in stops; a tie goes to the wider.
bool NearestIsLower(double lower, double middle, double upper) {
    return Stops(middle) - Stops(lower) <= Stops(upper) - Stops(middle) + 1e-9;
}

// The lower neighbour's weight, linear in log2 f-number.
double LowerWeight(double lower, double middle, double upper) {
    return (Stops(upper) - Stops(middle)) / (Stops(upper) - Stops(lower));
}

int Sign(double v) {
    return (v > 0) - (v < 0);
}

// The slope at node k of the monotone cubic through (xs, ys): Fritsch and Carlson's weighted
// harmonic mean inside, and at the ends the three-point formula kept from overshooting.
double PchipSlope(const std::vector<double>& xs, const std::vector<double>& ys, std::size_t k) {
    const std::size_t n = xs.size();
    const auto h = [&](std::size_t i) { return xs[i + 1] - xs[i]; };
    const auto d = [&](std::size_t i) { return (ys[i + 1] - ys[i]) / h(i); };
    if (n == 2) return d(0);
    if (k == 0 || k == n - 1) {
        const std::size_t a = k == 0 ? 0 : n - 2;  // the end's interval
        const std::size_t b = k == 0 ? 1 : n - 3;  // its neighbour
        double m = ((2 * h(a) + h(b)) * d(a) - h(a) * d(b)) / (h(a) + h(b));
        if (Sign(m) != Sign(d(a)))
            m = 0;
        else if (Sign(d(a)) != Sign(d(b)) && std::abs(m) > 3 * std::abs(d(a)))
            m = 3 * d(a);
        return m;
    }
    const double before = d(k - 1);
    const double after = d(k);
    if (before * after <= 0) return 0;
    const double w1 = 2 * h(k) + h(k - 1);
    const double w2 = h(k) + 2 * h(k - 1);
    return (w1 + w2) / (w1 / before + w2 / after);
}

// The monotone cubic (PCHIP) through (xs, ys), xs ascending, at x within xs's range.
double Pchip(const std::vector<double>& xs, const std::vector<double>& ys, double x) {
    std::size_t j = 0;
    while (j + 2 < xs.size() && x > xs[j + 1])
        ++j;
    const double h = xs[j + 1] - xs[j];
    const double t = (x - xs[j]) / h;
    const double t2 = t * t;
    const double t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * ys[j] + (t3 - 2 * t2 + t) * h * PchipSlope(xs, ys, j) +
           (-2 * t3 + 3 * t2) * ys[j + 1] + (t3 - t2) * h * PchipSlope(xs, ys, j + 1);
}

// --- figures ---------------------------------------------------------------------------------

// Linear between the sorted values' order statistics (the 50th is the median).
double Percentile(std::vector<double> values, double percent) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double at = (double(values.size()) - 1) * percent / 100;
    const std::size_t i = std::size_t(at);
    if (i + 1 >= values.size()) return values.back();
    return values[i] + (at - double(i)) * (values[i + 1] - values[i]);
}

struct Spread {
    double median = 0;
    double p90 = 0;
};

Spread SpreadOf(const std::vector<double>& values) {
    return {Percentile(values, 50), Percentile(values, 90)};
}

// --- the model alone: every interior aperture of lensfun's data ------------------------------

struct ModelMiss {
    double nearest = 0, blend = 0, cubic = 0;  // worst |EV| over the places
    bool hasCubic = false;
};

// r^2 of `count` + 1 places evenly spaced from the centre to the corner.
std::vector<double> CentreToCorner(int count) {
    std::vector<double> r2s;
    for (int p = 0; p <= count; ++p)
        r2s.push_back(double(p * p) / (double(count) * count));
    return r2s;
}

// How far each rule misses aperture `mid` of `group` at the worst of the places `r2s`. The
// cubic runs through every other aperture and needs three of them.
ModelMiss ModelMisses(const Group& group, std::size_t mid, const std::vector<double>& r2s) {
    const std::vector<Aperture>& a = group.apertures;
    const Aperture& lower = a[mid - 1];
    const Aperture& upper = a[mid + 1];
    const Aperture& nearest =
        NearestIsLower(lower.fNumber, a[mid].fNumber, upper.fNumber) ? lower : upper;
    const double w = LowerWeight(lower.fNumber, a[mid].fNumber, upper.fNumber);
    ModelMiss miss;
    miss.hasCubic = a.size() >= 4;
    std::vector<double> xs, ys;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (i != mid) xs.push_back(Stops(a[i].fNumber));
    for (const double r2 : r2s) {
        const double truth = FalloffEv(a[mid].lens, r2);
        miss.nearest = std::max(miss.nearest, std::abs(FalloffEv(nearest.lens, r2) - truth));
        const double blend = w * FalloffEv(lower.lens, r2) + (1 - w) * FalloffEv(upper.lens, r2);
        miss.blend = std::max(miss.blend, std::abs(blend - truth));
        if (!miss.hasCubic) continue;
        ys.clear();
        for (std::size_t i = 0; i < a.size(); ++i)
            if (i != mid) ys.push_back(FalloffEv(a[i].lens, r2));
        const double cubic = Pchip(xs, ys, Stops(a[mid].fNumber));
        miss.cubic = std::max(miss.cubic, std::abs(cubic - truth));
    }
    return miss;
}

// The misses' median and 90th percentile per rule, the cubic's beside the blend's on the
// same predictions.
struct MissTable {
    std::vector<double> nearest, blend, blendWithCubic, cubic;

    void Add(const ModelMiss& miss) {
        nearest.push_back(miss.nearest);
        blend.push_back(miss.blend);
        if (!miss.hasCubic) return;
        blendWithCubic.push_back(miss.blend);
        cubic.push_back(miss.cubic);
    }
    void Print() const {
        const auto line = [](const char* label, const std::vector<double>& values) {
            const Spread s = SpreadOf(values);
            std::printf("  %-44s %7.3f %9.3f\n", label, s.median, s.p90);
        };
        std::printf("  %-44s %7s %9s\n", "rule", "median", "90th pct");
        line("nearest neighbour (log2 f-number)", nearest);
        line("blend of both neighbours (log2 f-number)", blend);
        std::printf("  where three or more other apertures surround it (%zu of them):\n",
                    cubic.size());
        line("  blend of both neighbours", blendWithCubic);
        line("  monotone cubic through all of them", cubic);
    }
};

void ReportModel(const std::vector<Group>& groups) {
    MissTable table;
    std::map<std::string, int> lenses;
    std::size_t focalLengths = 0;
    const std::vector<double> places = CentreToCorner(kModelPlaces);
    for (const Group& group : groups) {
        if (!LightEverywhere(group)) continue;
        ++lenses[group.maker + " " + group.model];
        ++focalLengths;
        for (std::size_t mid = 1; mid + 1 < group.apertures.size(); ++mid)
            table.Add(ModelMisses(group, mid, places));
    }
    std::printf(
        "From lensfun's model alone: %zu measured apertures of %zu lenses (%zu focal lengths) "
        "with a measured neighbour on each side,\neach predicted from its neighbours; the miss is "
        "the worst |EV| of %d places from centre to corner.\n",
        table.nearest.size(), lenses.size(), focalLengths, kModelPlaces + 1);
    table.Print();
}

// --- the hard cases --------------------------------------------------------------------------

struct Case {
    const Group* group = nullptr;
    std::size_t mid = 0;  // the picture's aperture; its neighbours are mid - 1 and mid + 1
    double change = 0;    // |corner EV at mid - 1 - corner EV at mid + 1|
};

// The apertures shot for a case: both neighbours, the middle (to show what a profile measured
// at the picture's own aperture leaves) and the next one out on each side. These are the nodes
// velmora-cli's cubic takes from a library of all but the middle, and the cubic's value between
// the neighbours depends on no others: each node's slope depends on its two neighbours alone.
std::vector<std::size_t> ShotApertures(const Case& c) {
    std::vector<std::size_t> shot;
    const std::size_t last = c.group->apertures.size() - 1;
    for (std::size_t i = c.mid >= 2 ? c.mid - 2 : 0; i <= std::min(c.mid + 2, last); ++i)
        shot.push_back(i);
    return shot;
}

// Whether both neighbours of `mid` are apertures of their own to velmora-cli.
bool Apart(const Group& group, std::size_t mid) {
    const double at = Stops(group.apertures[mid].fNumber);
    return at - Stops(group.apertures[mid - 1].fNumber) > kSameAperture &&
           Stops(group.apertures[mid + 1].fNumber) - at > kSameAperture;
}

// Per lens, its triple whose corners change most, if by kHardEv or more, among the apertures
// that darken plausibly; sorted by that change.
std::vector<Case> HardCases(const std::vector<Group>& groups) {
    std::map<std::string, Case> strongest;
    for (const Group& group : groups) {
        for (std::size_t mid = 1; mid + 1 < group.apertures.size(); ++mid) {
            const Case c{&group, mid,
                         std::abs(group.apertures[mid - 1].lens.CornerEv(0) -
                                  group.apertures[mid + 1].lens.CornerEv(0))};
            if (c.change < kHardEv || !Apart(group, mid)) continue;
            const std::vector<std::size_t> shot = ShotApertures(c);
            if (!std::all_of(shot.begin(), shot.end(),
                             [&](std::size_t i) { return group.apertures[i].lens.IsFalloff(); })) {
                continue;
            }
            const std::string key = group.maker + " " + group.model;
            auto best = strongest.find(key);
            if (best == strongest.end() || c.change > best->second.change) strongest[key] = c;
        }
    }
    std::vector<Case> all;
    for (const auto& [key, c] : strongest)
        all.push_back(c);
    std::sort(all.begin(), all.end(), [](const Case& a, const Case& b) {
        return a.change < b.change ||
               (a.change == b.change && LensName(*a.group) < LensName(*b.group));
    });
    return all;
}

// `count` cases spread evenly over the range of changes.
std::vector<Case> SpreadCases(const std::vector<Case>& all, int count) {
    std::vector<Case> chosen;
    const int n = std::min<int>(count, int(all.size()));
    for (int i = 0; i < n; ++i) {
        const std::size_t at =
            n == 1 ? 0 : std::size_t(std::lround(double(i) * double(all.size() - 1) / (n - 1)));
        chosen.push_back(all[at]);
    }
    return chosen;
}

// What lensfun's model says of every hard case, in the very corner: the population that the
// cases run through velmora-cli are drawn from.
void ReportHardModel(const std::vector<Case>& all) {
    MissTable table;
    for (const Case& c : all)
        table.Add(ModelMisses(*c.group, c.mid, {1.0}));
    std::printf(
        "\nHard cases: %zu lenses change their corners by %.2f EV or more between the two "
        "neighbours of a measured aperture (each lens's largest change).\nFrom lensfun's model, "
        "the miss in the very corner over all of them:\n",
        all.size(), kHardEv);
    table.Print();
}

// --- places: windows along the diagonals -----------------------------------------------------

struct Window {
    int x = 0, y = 0;  // top left; kWindow x kWindow pixels
};
// Per step from the centre outwards, the four windows on the four diagonals; the last step's
// are the corner windows.
using Places = std::vector<std::array<Window, 4>>;
// Per step, window and channel: a log gain, log(C / F).
using LogGains = std::vector<std::array<std::array<double, 3>, 4>>;

Places DiagonalPlaces(int width, int height) {
    Places places;
    const double reachX = width / 2.0 - kWindow / 2.0;
    const double reachY = height / 2.0 - kWindow / 2.0;
    for (int step = 1; step <= kSteps; ++step) {
        const double t = double(step) / kSteps;
        std::array<Window, 4> four;
        for (int corner = 0; corner < 4; ++corner) {
            const double cx = width / 2.0 + (corner % 2 == 0 ? -t : t) * reachX;
            const double cy = height / 2.0 + (corner / 2 == 0 ? -t : t) * reachY;
            four[std::size_t(corner)] = {int(std::lround(cx - kWindow / 2.0)),
                                         int(std::lround(cy - kWindow / 2.0))};
        }
        places.push_back(four);
    }
    return places;
}

// What is left of the falloff after a correction, per step: log2 of the light against the
// original's, the mean of the four windows. Positive is too bright.
struct Residual {
    std::vector<double> ev;

    double Corner() const { return ev.back(); }
    double Worst() const {
        double worst = 0;
        for (double v : ev)
            if (std::abs(v) > std::abs(worst)) worst = v;
        return worst;
    }
};

// The luminance of the windows' light in `result` against `original`, over the pixels that
// neither picture clips: a clipped pixel hides how much it was overcorrected.
Residual MeasurePicture(const Rgb8& result, const Rgb8& original, const Places& places) {
    if (result.width != original.width || result.height != original.height)
        Fail("measure: sizes differ");
    const auto& linear = Linear8();
    Residual residual;
    for (const auto& four : places) {
        double sum = 0;
        int windows = 0;
        for (const Window& w : four) {
            double light = 0, reference = 0;
            for (int y = w.y; y < w.y + kWindow; ++y) {
                for (int x = w.x; x < w.x + kWindow; ++x) {
                    bool clipped = false;
                    for (int c = 0; c < 3; ++c) {
                        const std::size_t i = result.index(x, y, c);
                        clipped = clipped || result.samples[i] == 255 || original.samples[i] == 255;
                    }
                    if (clipped) continue;
                    for (int c = 0; c < 3; ++c) {
                        const std::size_t i = result.index(x, y, c);
                        light += kLuminance[std::size_t(c)] * linear[result.samples[i]];
                        reference += kLuminance[std::size_t(c)] * linear[original.samples[i]];
                    }
                }
            }
            if (light > 0 && reference > 0) {
                sum += std::log2(light / reference);
                ++windows;
            }
        }
        if (windows == 0) Fail("measure: every window at one step is clipped or black");
        residual.ev.push_back(sum / windows);
    }
    return residual;
}

// The mean light that `lens` leaves in each window of an even grey.
std::vector<std::array<double, 4>> WindowFalloff(const Lens& lens, const Places& places) {
    std::vector<std::array<double, 4>> falloff;
    for (const auto& four : places) {
        std::array<double, 4> f{};
        for (std::size_t k = 0; k < 4; ++k) {
            double sum = 0;
            for (int y = four[k].y; y < four[k].y + kWindow; ++y)
                for (int x = four[k].x; x < four[k].x + kWindow; ++x)
                    sum += lens.Factor(0, RadiusSquared(x, y, kWidth, kHeight));
            f[k] = sum / (kWindow * kWindow);
        }
        falloff.push_back(f);
    }
    return falloff;
}

// What gains of exp(logGain) leave of `truth`'s falloff on an even grey.
Residual PredictResidual(const LogGains& gains, const std::vector<std::array<double, 4>>& truth) {
    Residual residual;
    for (std::size_t s = 0; s < gains.size(); ++s) {
        double sum = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            double light = 0;
            for (std::size_t c = 0; c < 3; ++c)
                light += kLuminance[c] * std::exp(gains[s][k][c]) * truth[s][k];
            sum += std::log2(light);
        }
        residual.ev.push_back(sum / 4);
    }
    return residual;
}

// --- profiles read back ----------------------------------------------------------------------

struct ProfileSample {
    double fNumber = 0;
    LogGains logGain;  // of the windows' mean flat
};

// The profile's flat (linear light, 0..65535) averaged over each window, against the centre
// levels its description records.
ProfileSample SampleProfile(const QString& path, double fNumber, const Places& places) {
    const vips::VImage image =
        vips::VImage::new_from_file(path.toLocal8Bit().constData(),
                                    vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const QJsonObject description =
        QJsonDocument::fromJson(image.get_string("image-description")).object();
    const QJsonArray centre = description.value("centre").toArray();
    const int channels = image.bands();
    if (centre.size() != channels || (channels != 1 && channels != 3) ||
        image.format() != VIPS_FORMAT_USHORT) {
        Fail(path + ": not a 16-bit profile whose centre levels match its channels");
    }
    // Decoded once: a window at a time, the deflated strips were unpacked again for each.
    std::size_t bytes = 0;
    void* memory = image.write_to_memory(&bytes);
    const std::vector<std::uint16_t> flat(static_cast<std::uint16_t*>(memory),
                                          static_cast<std::uint16_t*>(memory) + bytes / 2);
    g_free(memory);
    const std::size_t width = std::size_t(image.width());
    ProfileSample sample{fNumber, {}};
    for (const auto& four : places) {
        std::array<std::array<double, 3>, 4> gains{};
        for (std::size_t k = 0; k < 4; ++k) {
            std::array<double, 3> sum{};
            for (int y = four[k].y; y < four[k].y + kWindow; ++y)
                for (int x = four[k].x; x < four[k].x + kWindow; ++x)
                    for (int band = 0; band < channels; ++band)
                        sum[std::size_t(band)] +=
                            flat[(std::size_t(y) * width + std::size_t(x)) * std::size_t(channels) +
                                 std::size_t(band)];
            for (int c = 0; c < 3; ++c) {
                const int band = channels == 1 ? 0 : c;
                const double mean = sum[std::size_t(band)] / (kWindow * kWindow) / 65535.0;
                gains[k][std::size_t(c)] = std::log(centre.at(band).toDouble() / mean);
            }
        }
        sample.logGain.push_back(gains);
    }
    return sample;
}

// sum of weight x log gain, place by place.
LogGains Weighted(const std::vector<const ProfileSample*>& parts,
                  const std::vector<double>& weights) {
    LogGains out = parts.front()->logGain;
    for (std::size_t s = 0; s < out.size(); ++s)
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t c = 0; c < 3; ++c) {
                double sum = 0;
                for (std::size_t p = 0; p < parts.size(); ++p)
                    sum += weights[p] * parts[p]->logGain[s][k][c];
                out[s][k][c] = sum;
            }
    return out;
}

// The monotone cubic in log2 f-number through `nodes` (widest first), place by place.
LogGains Cubic(const std::vector<const ProfileSample*>& nodes, double fNumber) {
    std::vector<double> xs;
    for (const ProfileSample* node : nodes)
        xs.push_back(Stops(node->fNumber));
    LogGains out = nodes.front()->logGain;
    std::vector<double> ys(nodes.size());
    for (std::size_t s = 0; s < out.size(); ++s)
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t c = 0; c < 3; ++c) {
                for (std::size_t n = 0; n < nodes.size(); ++n)
                    ys[n] = nodes[n]->logGain[s][k][c];
                out[s][k][c] = Pchip(xs, ys, Stops(fNumber));
            }
    return out;
}

// --- running velmora-cli and exiv2 -----------------------------------------------------------

// A word as a POSIX shell reads it back.
QString ShellQuoted(const QString& word) {
    static const QRegularExpression special("[^\\w@%+=:,./$-]");
    if (!word.isEmpty() && !word.contains(special)) return word;
    return "'" + QString(word).replace("'", "'\\''") + "'";
}

// Runs programs and keeps their command lines, to print how to reproduce a case.
struct Commands {
    QString work;  // written as $WORK in what is kept
    QStringList lines;

    // The program's standard output; fails the benchmark when it fails.
    QString Run(const QString& program, const QStringList& arguments) {
        QStringList words{QFileInfo(program).fileName()};
        for (const QString& a : arguments)
            words << ShellQuoted(QString(a).replace(work, "$WORK"));
        lines << words.join(' ');
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            Fail(program + " " + arguments.join(' ') + " failed:\n" +
                 QString::fromLocal8Bit(process.readAllStandardError()) +
                 QString::fromLocal8Bit(process.readAllStandardOutput()));
        }
        return QString::fromLocal8Bit(process.readAllStandardOutput());
    }
};

// "2.8" as the EXIF rational 28/10.
QString Rational(const std::string& decimal) {
    const QString text = QString::fromStdString(decimal);
    const qsizetype point = text.indexOf('.');
    if (point < 0) return text + "/1";
    const QString digits = text.left(point) + text.mid(point + 1);
    return QString::number(digits.toLongLong()) + "/1" +
           QString(text.size() - point - 1, QChar('0'));
}

QStringList ShotOptions(const Group& group, const Aperture& aperture) {
    return {"--make",         kMake,
            "--model",        kCamera,
            "--lens",         QString::fromStdString(group.model),
            "--focal-length", QString::fromStdString(group.focalText),
            "--f-number",     QString::fromStdString(aperture.text)};
}

void WriteExif(Commands& commands, const QString& photo, const Group& group,
               const Aperture& aperture) {
    commands.Run("exiv2",
                 {"-M", QString("set Exif.Image.Make Ascii %1").arg(kMake), "-M",
                  QString("set Exif.Image.Model Ascii %1").arg(kCamera), "-M",
                  "set Exif.Photo.LensModel Ascii " + QString::fromStdString(group.model), "-M",
                  "set Exif.Photo.FocalLength Rational " + Rational(group.focalText), "-M",
                  "set Exif.Photo.FNumber Rational " + Rational(aperture.text), photo});
}

// --- one hard case through velmora-cli -------------------------------------------------------

struct CaseResult {
    // Pictures through velmora-cli: (a) nearest, (b) blend, (c) default and the own profile.
    Residual darkened, nearest, blend, byDefault, measured;
    Residual sampledNearest, sampledBlend, sampledCubic, sampledMeasured;  // from the TIFFs
    bool hasCubic = false;           // three or more shot apertures besides the picture's
    QString explain;                 // velmora-cli's line for the picture in run (b)
    bool blendedNeighbours = false;  // whether that line names both neighbours' profiles
    QString explainDefault;          // and in run (c)
    bool cliCubic = false;           // whether that line says the monotone cubic
    bool cubicNodesNamed = false;    // and names every node the cubic here runs through
    Commands commands;
};

QString ProfileName(const Aperture& aperture) {
    return QString("f%1.tif").arg(QString::fromStdString(aperture.text));
}

std::size_t Nearest(const Case& c) {
    const std::vector<Aperture>& a = c.group->apertures;
    return NearestIsLower(a[c.mid - 1].fNumber, a[c.mid].fNumber, a[c.mid + 1].fNumber) ? c.mid - 1
                                                                                        : c.mid + 1;
}

// Cards at every shot aperture tuned into profiles: the two neighbours into `library`, the
// others beside it. Returns each profile's windows.
std::map<std::size_t, ProfileSample> TuneProfiles(const Case& c, int number, const QString& folder,
                                                  const QString& library, const QString& others,
                                                  const Places& places, const QString& cli,
                                                  Commands& commands) {
    const std::vector<Aperture>& a = c.group->apertures;
    std::map<std::size_t, ProfileSample> samples;
    for (std::size_t i : ShotApertures(c)) {
        const QString card = QDir(folder).filePath(QString("card-f%1.jpg").arg(a[i].text.c_str()));
        WriteJpeg(ShootCard(kWidth, kHeight, kCardLevel, kCardNoise, a[i].lens,
                            std::uint32_t(1000 * number + int(i))),
                  card.toStdString(), 95);
        const bool neighbour = i + 1 == c.mid || i == c.mid + 1;
        const QString profile = QDir(neighbour ? library : others).filePath(ProfileName(a[i]));
        commands.Run(cli,
                     QStringList{"tune", card, "--profile", profile} + ShotOptions(*c.group, a[i]));
        samples[i] = SampleProfile(profile, a[i].fNumber, places);
    }
    return samples;
}

Rgb8 Corrected(Commands& commands, const QString& cli, const QStringList& how, const QString& photo,
               const QString& out, QString* printed = nullptr) {
    QDir().mkpath(out);
    const QString text = commands.Run(
        cli, QStringList{"filter"} + how + QStringList{"--format", "png", "-d", out, photo});
    if (printed != nullptr) *printed = text.trimmed();
    return ReadRgb8(QDir(out).filePath(QFileInfo(photo).fileName() + ".png").toStdString());
}

// The nodes of the cubic for a case: every shot aperture but the picture's, widest first.
std::vector<std::size_t> CubicNodes(const Case& c) {
    std::vector<std::size_t> nodes;
    for (std::size_t i : ShotApertures(c))
        if (i != c.mid) nodes.push_back(i);
    return nodes;
}

// A library of every shot aperture but the picture's: the two neighbours' profiles and the
// outer ones, copied (by cp, so that the commands printed reproduce it) into `library2`.
void FillLibrary2(const Case& c, const QString& library, const QString& others,
                  const QString& library2, Commands& commands) {
    const std::vector<Aperture>& a = c.group->apertures;
    QStringList files;
    for (std::size_t i : CubicNodes(c)) {
        const bool neighbour = i + 1 == c.mid || i == c.mid + 1;
        files << QDir(neighbour ? library : others).filePath(ProfileName(a[i]));
    }
    commands.Run("cp", files + QStringList{library2});
}

// The photograph corrected by the nearest profile, by the library of the two neighbours, by the
// library of all but its own aperture (the product's default) and by the profile measured at its
// own aperture, each measured against the original.
void CorrectPhoto(const Case& c, const QString& photo, const Rgb8& original, const QString& folder,
                  const QString& library, const QString& library2, const QString& others,
                  const Places& places, const QString& cli, CaseResult& result) {
    const std::vector<Aperture>& a = c.group->apertures;
    Commands& commands = result.commands;
    const QString nearest = QDir(library).filePath(ProfileName(a[Nearest(c)]));
    result.nearest = MeasurePicture(Corrected(commands, cli, {"--quiet", "--profile", nearest},
                                              photo, QDir(folder).filePath("out-nearest")),
                                    original, places);
    QString explained;
    result.blend = MeasurePicture(Corrected(commands, cli, {"--profiles", library, "--explain"},
                                            photo, QDir(folder).filePath("out-blend"), &explained),
                                  original, places);
    result.explain = explained.section('\n', 0, 0).replace(commands.work, "$WORK");
    result.blendedNeighbours = result.explain.contains(ProfileName(a[c.mid - 1])) &&
                               result.explain.contains(ProfileName(a[c.mid + 1]));
    result.byDefault =
        MeasurePicture(Corrected(commands, cli, {"--profiles", library2, "--explain"}, photo,
                                 QDir(folder).filePath("out-default"), &explained),
                       original, places);
    result.explainDefault = explained.section('\n', 0, 0).replace(commands.work, "$WORK");
    result.cliCubic = result.explainDefault.contains("monotone cubic");
    const std::vector<std::size_t> nodes = CubicNodes(c);
    result.cubicNodesNamed = std::all_of(nodes.begin(), nodes.end(), [&](std::size_t i) {
        return result.explainDefault.contains(ProfileName(a[i]));
    });
    const QString own = QDir(others).filePath(ProfileName(a[c.mid]));
    result.measured = MeasurePicture(Corrected(commands, cli, {"--quiet", "--profile", own}, photo,
                                               QDir(folder).filePath("out-measured")),
                                     original, places);
}

// What each rule's gains, from the profiles' windows, leave of lensfun's falloff at the middle
// aperture on an even grey.
void PredictFromProfiles(const Case& c, const std::map<std::size_t, ProfileSample>& samples,
                         const Places& places, CaseResult& result) {
    const std::vector<Aperture>& a = c.group->apertures;
    const ProfileSample& lower = samples.at(c.mid - 1);
    const ProfileSample& upper = samples.at(c.mid + 1);
    const auto truth = WindowFalloff(a[c.mid].lens, places);
    const double w = LowerWeight(lower.fNumber, a[c.mid].fNumber, upper.fNumber);
    result.sampledNearest = PredictResidual(samples.at(Nearest(c)).logGain, truth);
    result.sampledBlend = PredictResidual(Weighted({&lower, &upper}, {w, 1 - w}), truth);
    result.sampledMeasured = PredictResidual(samples.at(c.mid).logGain, truth);
    std::vector<const ProfileSample*> nodes;
    for (std::size_t i : CubicNodes(c))
        nodes.push_back(&samples.at(i));
    result.hasCubic = nodes.size() >= 3;
    if (result.hasCubic)
        result.sampledCubic = PredictResidual(Cubic(nodes, a[c.mid].fNumber), truth);
}

CaseResult RunCase(const Case& c, int number, const std::vector<std::string>& photos,
                   const Places& places, const QString& work, const QString& cli) {
    const QString folder = Folder(work, QString("case%1").arg(number));
    const QString library = Folder(folder, "library");    // the two neighbours only
    const QString others = Folder(folder, "others");      // the middle and the outer ones
    const QString library2 = Folder(folder, "library2");  // all but the middle
    CaseResult result;
    result.commands.work = work;
    const auto samples =
        TuneProfiles(c, number, folder, library, others, places, cli, result.commands);

    const Aperture& middle = c.group->apertures[c.mid];
    const Rgb8 original = Mosaic(photos, number, kWidth, kHeight);
    const QString photo = QDir(folder).filePath("photo.jpg");
    {
        Rgb8 dark;
        ShootPhoto(original, middle.lens, &dark, nullptr, nullptr, nullptr);
        WriteJpeg(dark, photo.toStdString(), 95);
    }
    WriteExif(result.commands, photo, *c.group, middle);
    result.darkened = MeasurePicture(ReadRgb8(photo.toStdString()), original, places);
    FillLibrary2(c, library, others, library2, result.commands);
    CorrectPhoto(c, photo, original, folder, library, library2, others, places, cli, result);
    PredictFromProfiles(c, samples, places, result);
    return result;
}

// --- printing --------------------------------------------------------------------------------

std::string FNumbers(const Group& group, const std::vector<std::size_t>& which) {
    std::string text;
    for (std::size_t i : which)
        text += (text.empty() ? "f/" : " f/") + group.apertures[i].text;
    return text;
}

void PrintRow(const char* label, const Residual& r) {
    std::printf("    %-46s %+8.3f %+8.3f\n", label, r.Corner(), r.Worst());
}

void PrintCase(const Case& c, int number, const CaseResult& r) {
    const Group& g = *c.group;
    const std::vector<Aperture>& a = g.apertures;
    const std::size_t lower = c.mid - 1, upper = c.mid + 1;
    const double w = LowerWeight(a[lower].fNumber, a[c.mid].fNumber, a[upper].fNumber);
    std::printf("\nLens %d: %s (%s), distance %s; picture at f/%s\n", number, LensName(g).c_str(),
                g.maker.c_str(), g.distanceText.c_str(), a[c.mid].text.c_str());
    std::printf("  lensfun's corners:");
    for (std::size_t i = 0; i < a.size(); ++i)
        std::printf(i == c.mid ? " [f/%s %+.2f]" : " f/%s %+.2f", a[i].text.c_str(),
                    a[i].lens.CornerEv(0));
    std::printf(" EV\n  nearest f/%s; blend %.3f x f/%s + %.3f x f/%s\n",
                a[Nearest(c)].text.c_str(), w, a[lower].text.c_str(), 1 - w, a[upper].text.c_str());
    std::printf("  velmora-cli --explain, library: %s\n", qPrintable(r.explain));
    if (!r.blendedNeighbours)
        std::printf("  (velmora-cli did not blend the two neighbours' profiles)\n");
    std::printf("  velmora-cli --explain, library2: %s\n", qPrintable(r.explainDefault));
    if (r.cliCubic != r.hasCubic || !r.cubicNodesNamed)
        std::printf("  (velmora-cli did not take the cubic through %s)\n",
                    FNumbers(g, CubicNodes(c)).c_str());
    std::printf("    %-46s %8s %8s\n", "residual falloff, EV (+: too bright)", "corners", "worst");
    std::printf("    photograph through velmora-cli:\n");
    PrintRow("  none (darkened)", r.darkened);
    PrintRow(("  nearest, --profile f" + a[Nearest(c)].text + ".tif").c_str(), r.nearest);
    PrintRow("  --profiles library (the two neighbours)", r.blend);
    PrintRow(("  --profiles library2 (" + FNumbers(g, CubicNodes(c)) + ")").c_str(), r.byDefault);
    PrintRow(("  measured at f/" + a[c.mid].text + ", --profile").c_str(), r.measured);
    std::printf("    from the profiles' TIFFs, on an even grey:\n");
    PrintRow("  nearest", r.sampledNearest);
    PrintRow("  blend of the two neighbours", r.sampledBlend);
    if (r.hasCubic)
        PrintRow(("  monotone cubic through " + FNumbers(g, CubicNodes(c))).c_str(),
                 r.sampledCubic);
    PrintRow(("  measured at f/" + a[c.mid].text).c_str(), r.sampledMeasured);
}

void PrintCommands(const CaseResult& r, int number) {
    std::printf(
        "  to reproduce lens %d (WORK is the work folder; the cards and the photograph are "
        "written by this program):\n",
        number);
    for (const QString& line : r.commands.lines)
        std::printf("    %s\n", qPrintable(line));
}

std::vector<double> Corners(const std::vector<CaseResult>& results, Residual CaseResult::*which) {
    std::vector<double> v;
    for (const CaseResult& r : results)
        v.push_back(std::abs((r.*which).Corner()));
    return v;
}

std::vector<double> Worsts(const std::vector<CaseResult>& results, Residual CaseResult::*which) {
    std::vector<double> v;
    for (const CaseResult& r : results)
        v.push_back(std::abs((r.*which).Worst()));
    return v;
}

void SummaryRow(const char* label, const std::vector<double>& corners,
                const std::vector<double>& worsts) {
    const Spread c = SpreadOf(corners);
    const Spread w = SpreadOf(worsts);
    std::printf("  %-40s %7.3f %9.3f | %7.3f %9.3f\n", label, c.median, c.p90, w.median, w.p90);
}

// A goal's verdict: `which`'s median and 90th-percentile corner errors at most half the nearest
// rule's.
bool PrintGoal(const char* head, const std::vector<CaseResult>& results,
               Residual CaseResult::*which) {
    const Spread nearest = SpreadOf(Corners(results, &CaseResult::nearest));
    const Spread rule = SpreadOf(Corners(results, which));
    const bool met =
        rule.median <= kGoalRatio * nearest.median && rule.p90 <= kGoalRatio * nearest.p90;
    std::printf(
        "%s median and 90th-percentile corner errors at most half the nearest rule's: median "
        "%.3f <= %.3f, 90th %.3f <= %.3f: %s\n",
        head, rule.median, kGoalRatio * nearest.median, rule.p90, kGoalRatio * nearest.p90,
        met ? "MET" : "NOT MET");
    return met;
}

void PrintSummary(const std::vector<CaseResult>& results) {
    std::printf(
        "\nSummary over %zu hard cases: |residual EV| in the corner windows and at the "
        "worst place along the diagonals\n",
        results.size());
    std::printf("  %-40s %7s %9s | %7s %9s\n", "photograph through velmora-cli", "median",
                "90th pct", "worst: median", "90th");
    const std::pair<const char*, Residual CaseResult::*> rows[] = {
        {"(a) nearest (--profile)", &CaseResult::nearest},
        {"(b) blend (--profiles, two neighbours)", &CaseResult::blend},
        {"(c) default (--profiles, all but own)", &CaseResult::byDefault},
        {"measured at the picture's aperture", &CaseResult::measured},
        {"from the profiles' TIFFs, on an even grey:", nullptr},
        {"nearest", &CaseResult::sampledNearest},
        {"blend of the two neighbours", &CaseResult::sampledBlend},
        {"measured at the picture's aperture", &CaseResult::sampledMeasured}};
    for (const auto& [label, which] : rows) {
        if (which == nullptr)
            std::printf("  %s\n", label);
        else
            SummaryRow(label, Corners(results, which), Worsts(results, which));
    }
    const auto cubic = std::count_if(results.begin(), results.end(),
                                     [](const CaseResult& r) { return r.cliCubic; });
    std::printf("  (c) took the monotone cubic in %td of the %zu cases and blended the others.\n",
                cubic, results.size());
}

// Whether `a` has a lower median and 90th percentile than `b`, with the figures.
bool Beats(const char* where, const std::vector<double>& a, const std::vector<double>& b) {
    const Spread sa = SpreadOf(a), sb = SpreadOf(b);
    std::printf(" %s median %.3f %s %.3f, 90th %.3f %s %.3f", where, sa.median,
                sa.median < sb.median ? "<" : ">=", sb.median, sa.p90,
                sa.p90 < sb.p90 ? "<" : ">=", sb.p90);
    return sa.median < sb.median && sa.p90 < sb.p90;
}

// The largest |difference| between two residuals at any place along the diagonals (or in the
// corners alone), over the cases.
double LargestDifference(const std::vector<CaseResult>& results, Residual CaseResult::*a,
                         Residual CaseResult::*b, bool cornersOnly) {
    double largest = 0;
    for (const CaseResult& r : results) {
        const std::vector<double>& x = (r.*a).ev;
        const std::vector<double>& y = (r.*b).ev;
        for (std::size_t s = cornersOnly ? x.size() - 1 : 0; s < x.size(); ++s)
            largest = std::max(largest, std::abs(x[s] - y[s]));
    }
    return largest;
}

// The monotone cubic against the blend, through velmora-cli and from the profiles' TIFFs, on
// the cases where velmora-cli took the cubic; says whether it beats the blend, and how far
// velmora-cli's results are from the TIFFs'.
void PrintCubic(const std::vector<CaseResult>& results) {
    std::vector<CaseResult> withCubic;
    for (const CaseResult& r : results)
        if (r.cliCubic && r.hasCubic) withCubic.push_back(r);
    std::printf(
        "\nMonotone cubic against the blend, on the %zu cases where velmora-cli took the cubic "
        "(three or more measured apertures around the picture's):\n",
        withCubic.size());
    if (withCubic.empty()) return;
    std::printf("  %-40s %7s %9s | %7s %9s\n", "", "median", "90th pct", "worst: median", "90th");
    const auto row = [&](const char* label, Residual CaseResult::*which) {
        SummaryRow(label, Corners(withCubic, which), Worsts(withCubic, which));
    };
    std::printf("  photograph through velmora-cli:\n");
    row("  (b) blend (--profiles, two neighbours)", &CaseResult::blend);
    row("  (c) cubic (--profiles, all but own)", &CaseResult::byDefault);
    std::printf("  from the profiles' TIFFs, on an even grey:\n");
    row("  blend of the two neighbours", &CaseResult::sampledBlend);
    row("  monotone cubic (PCHIP, log2 f-number)", &CaseResult::sampledCubic);

    const auto verdict = [&](const char* head, Residual CaseResult::*cubic,
                             Residual CaseResult::*blend) {
        std::printf("%s", head);
        const bool corners = Beats("corners", Corners(withCubic, cubic), Corners(withCubic, blend));
        std::printf(";");
        const bool worst = Beats("worst", Worsts(withCubic, cubic), Worsts(withCubic, blend));
        std::printf(": %s\n", corners && worst ? "yes" : "no");
    };
    verdict("velmora-cli's cubic (c) beats its blend (b), lower median and 90th percentile?",
            &CaseResult::byDefault, &CaseResult::blend);
    verdict("From the TIFFs, the cubic beats the blend, lower median and 90th percentile?",
            &CaseResult::sampledCubic, &CaseResult::sampledBlend);
    std::printf(
        "Cross-check, velmora-cli's residual against the one from the TIFFs, largest |difference| "
        "at any place along the diagonals (in the corners):\n  cubic %.3f EV (%.3f) on these %zu "
        "cases; blend %.3f EV (%.3f) on all %zu\n",
        LargestDifference(withCubic, &CaseResult::byDefault, &CaseResult::sampledCubic, false),
        LargestDifference(withCubic, &CaseResult::byDefault, &CaseResult::sampledCubic, true),
        withCubic.size(),
        LargestDifference(results, &CaseResult::blend, &CaseResult::sampledBlend, false),
        LargestDifference(results, &CaseResult::blend, &CaseResult::sampledBlend, true),
        results.size());
}

struct Options {
    QString cli, photos, lensfun, work;
    int lenses = 8;
};

Options ParseOptions() {
    Options o;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i + 1 < arguments.size(); i += 2) {
        const QString& name = arguments[i];
        const QString& value = arguments[i + 1];
        if (name == "--cli")
            o.cli = value;
        else if (name == "--photos")
            o.photos = value;
        else if (name == "--lensfun")
            o.lensfun = value;
        else if (name == "--work")
            o.work = value;
        else if (name == "--lenses")
            o.lenses = value.toInt();
        else
            Fail("unknown option " + name);
    }
    if (o.cli.isEmpty() || o.photos.isEmpty() || o.lensfun.isEmpty() || o.work.isEmpty() ||
        o.lenses < 1 || arguments.size() % 2 != 0) {
        std::fprintf(stderr,
                     "usage: velmora_aperture_quality --cli VELMORA_CLI --photos DIR --lensfun DIR "
                     "--work DIR [--lenses N]\n");
        std::exit(2);
    }
    return o;
}

void Run(const Options& o) {
    const std::vector<Group> groups = ReadGroups(o.lensfun.toStdString());
    if (groups.empty()) Fail("no lens in " + o.lensfun + " is measured at three apertures");
    ReportModel(groups);

    const std::vector<Case> all = HardCases(groups);
    ReportHardModel(all);
    const std::vector<Case> cases = SpreadCases(all, o.lenses);
    std::printf(
        "\n%zu of them through velmora-cli, spread over the range of changes, at %d x %d.\n"
        "Cards: linear light %.2f at the centre, noise of %.1f codes. Photograph: a mosaic of %s "
        "darkened at the middle aperture, JPEG quality 95, with EXIF of camera '%s %s', lens, "
        "focal length and f-number.\nMeasured in windows of %d x %d pixels at %d places along "
        "each diagonal, the last in the corners, leaving out pixels clipped in the original or "
        "the result.\n",
        cases.size(), kWidth, kHeight, kCardLevel, kCardNoise, qPrintable(o.photos), kMake, kCamera,
        kWindow, kWindow, kSteps);
    if (cases.empty()) Fail("no hard case in " + o.lensfun);
    const std::vector<std::string> photos = PhotosIn(o.photos.toStdString());
    const Places places = DiagonalPlaces(kWidth, kHeight);
    std::vector<CaseResult> results;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        results.push_back(RunCase(cases[i], int(i) + 1, photos, places, o.work, o.cli));
        PrintCase(cases[i], int(i) + 1, results.back());
    }
    PrintSummary(results);
    PrintGoal("Goal: the blend's (b, --profiles with the two neighbours)", results,
              &CaseResult::blend);
    PrintGoal("The default's (c, --profiles with all but the picture's aperture, same rule)",
              results, &CaseResult::byDefault);
    PrintCubic(results);
    std::printf(
        "\nTo reproduce: make bench-quality (APERTURE_LENSES=N, KEEP=1 keeps the pictures), or\n"
        "  %s --cli %s --photos %s --lensfun %s --work WORK --lenses %d\n",
        qPrintable(QCoreApplication::applicationFilePath()), qPrintable(o.cli),
        qPrintable(o.photos), qPrintable(o.lensfun), o.lenses);
    PrintCommands(results.front(), 1);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    StartVips(argv[0]);
    // Each table as soon as it is done: the whole run takes minutes.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options options = ParseOptions();
    try {
        Run(options);
    } catch (const vips::VError& error) {
        Fail(QString::fromUtf8(error.what()));
    } catch (const std::exception& error) {
        Fail(QString::fromUtf8(error.what()));
    }
    return 0;
}
