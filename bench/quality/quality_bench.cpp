// How well each correction of the real velmora-cli undoes a lens's falloff on real photographs.
//
//   velmora_quality --cli VELMORA_CLI --photos DIR --work DIR [--figure OUT.png]
//                   [--figure-photo NAME] [--rounds N]
//
// Each photograph (*.jpg in DIR) is scaled and cropped to 1600 x 1200 and darkened towards the
// corners through two lenses (corners 1 and 2 EV darker, a little more in red than in blue); an
// evenly lit grey card at 200 and at 235, with noise of 1.5 levels, is shot through the same
// lens. velmora-cli tunes on the card (as it is, and with --smooth 8) and filters every darkened
// photo in every mode; each result is measured against the undarkened photo, next to the
// "ideal gain" computed straight from the card in double precision. Then the whole round trip
// of plain and gain is timed on JPEGs of the darkened photos. Pictures are written losslessly
// (PNG) so that only the correction is measured.

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "lens_falloff.h"
#include "picture_metrics.h"

namespace {

using namespace velmora::quality;

constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
constexpr double kCardNoise = 1.5;
constexpr int kSmoothRadius = 8;
const char* const kModes[] = {"plain", "offset", "scale", "gain"};

struct Photo {
    QString name;  // file name without suffix
    QImage original;
};

// One line of the table: a correction, and how it did on every photo.
struct Row {
    QString label;
    std::vector<Quality> results;

    void Add(const Quality& q) { results.push_back(q); }
    double Mean(double Quality::*field) const {
        double sum = 0;
        for (const Quality& q : results)
            sum += q.*field;
        return results.empty() ? 0 : sum / double(results.size());
    }
    double Worst(double Quality::*field) const {
        double worst = 1e9;
        for (const Quality& q : results)
            worst = std::min(worst, q.*field);
        return worst;
    }
    double WorstEv() const {
        double worst = 0;
        for (const Quality& q : results)
            if (std::abs(q.cornerEv) > std::abs(worst)) worst = q.cornerEv;
        return worst;
    }
};

[[noreturn]] void Fail(const QString& message) {
    std::fprintf(stderr, "velmora_quality: %s\n", qPrintable(message));
    std::exit(1);
}

void Save(const QImage& image, const QString& path) {
    QImageWriter writer(path);
    if (path.endsWith(".jpg")) writer.setQuality(92);
    if (!writer.write(image)) Fail("cannot write " + path + ": " + writer.errorString());
}

QImage Load(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(false);
    const QImage image = reader.read();
    if (image.isNull()) Fail("cannot read " + path + ": " + reader.errorString());
    return image;
}

void RunCli(const QString& cli, const QStringList& arguments, const QString& folder) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(cli, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        Fail("velmora-cli " + arguments.join(' ') + " failed:\n" +
             QString::fromLocal8Bit(process.readAllStandardError()));
    }
}

QString MapName(int radius) {
    return radius == 0 ? "card.dat" : QString("card-smooth%1.dat").arg(radius);
}

// Runs one lens and card through velmora-cli and returns the table's rows.
std::vector<Row> RunScenario(const QString& cli, const QString& folder,
                             const std::vector<Photo>& photos, const QStringList& darkFiles,
                             const std::vector<Samples>& darkened, const QImage& card) {
    QDir(folder).mkpath(".");
    Save(card, QDir(folder).filePath("card.png"));
    for (const int radius : {0, kSmoothRadius}) {
        RunCli(cli,
               {"tune", "card.png", "--map", MapName(radius), "--smooth", QString::number(radius)},
               folder);
        for (const char* mode : kModes) {
            const QString out = QString("out-%1-%2").arg(mode).arg(radius);
            QDir(folder).mkpath(out);
            RunCli(cli,
                   QStringList{"filter", "--quiet", "--map", MapName(radius), "--mode", mode,
                               "--output-dir", out} +
                       darkFiles,
                   folder);
        }
    }

    std::vector<Row> rows;
    rows.push_back({"none (darkened)", {}});
    for (const int radius : {0, kSmoothRadius}) {
        for (const char* mode : kModes) {
            rows.push_back({QString("%1, tune%2").arg(mode, radius ? " --smooth 8" : ""), {}});
        }
    }
    rows.push_back({"ideal gain from the card", {}});
    rows.push_back({"ideal gain, card smoothed 8", {}});

    const Samples cardSamples = Samples::FromImage(card);
    for (std::size_t i = 0; i < photos.size(); ++i) {
        const Samples original = Samples::FromImage(photos[i].original);
        std::size_t row = 0;
        rows[row++].Add(Measure(darkened[i], original));
        for (const int radius : {0, kSmoothRadius}) {
            for (const char* mode : kModes) {
                const QString result = QDir(folder).filePath(
                    QString("out-%1-%2/%3.png.bmp").arg(mode).arg(radius).arg(photos[i].name));
                rows[row++].Add(Measure(Samples::FromImage(Load(result)), original));
            }
        }
        rows[row++].Add(Measure(IdealGain(darkened[i], cardSamples, 0), original));
        rows[row++].Add(Measure(IdealGain(darkened[i], cardSamples, kSmoothRadius), original));
    }
    return rows;
}

void PrintRows(const std::vector<Row>& rows) {
    std::printf("  %-30s %10s %22s %20s %8s\n", "correction", "PSNR all", "PSNR corners",
                "corner EV", "worse");
    std::printf("  %-30s %10s %22s %20s %8s\n", "", "mean dB", "mean / worst dB", "mean / worst",
                "corners");
    const Row& none = rows.front();
    for (const Row& row : rows) {
        int worse = 0;
        for (std::size_t i = 0; i < row.results.size(); ++i)
            worse += row.results[i].psnrCorners < none.results[i].psnrCorners ? 1 : 0;
        std::printf("  %-30s %10.2f %13.2f / %6.2f %11.3f / %6.3f %5d/%zu\n", qPrintable(row.label),
                    row.Mean(&Quality::psnrWhole), row.Mean(&Quality::psnrCorners),
                    row.Worst(&Quality::psnrCorners), row.Mean(&Quality::cornerEv), row.WorstEv(),
                    worse, row.results.size());
    }
}

const Row& Find(const std::vector<Row>& rows, const QString& label) {
    for (const Row& row : rows)
        if (row.label == label) return row;
    Fail("no row " + label);
}

// The whole round trip, plain against gain, one picture at a time: the median of `rounds`
// batches each, in turns, so that both see the same machine.
void TimeRoundTrips(const QString& cli, const QString& folder, const QStringList& jpegs,
                    int rounds) {
    const QString memory = QDir("/dev/shm").exists() && QFileInfo("/dev/shm").isWritable()
                               ? QDir("/dev/shm")
                                     .filePath("velmora-quality-" +
                                               QString::number(QCoreApplication::applicationPid()))
                               : QDir(folder).filePath("timed");
    QDir().mkpath(memory);
    std::map<QString, std::vector<double>> seconds;
    for (int round = 0; round < rounds; ++round) {
        for (const char* mode : {"plain", "gain"}) {
            QElapsedTimer timer;
            timer.start();
            RunCli(cli,
                   QStringList{"filter", "--quiet", "--jobs", "1", "--map", "card.dat", "--mode",
                               mode, "--output-dir", memory} +
                       jpegs,
                   folder);
            seconds[mode].push_back(timer.nsecsElapsed() / 1e9);
        }
    }
    QDir(memory).removeRecursively();
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double plain = median(seconds["plain"]) / jpegs.size();
    const double gain = median(seconds["gain"]) / jpegs.size();
    std::printf(
        "\nWhole round trip through velmora-cli filter (JPEG of 1600 x 1200 -> BMP, "
        "--jobs 1, outputs in %s; median of %d batches of %lld pictures):\n",
        qPrintable(memory.startsWith("/dev/shm") ? "tmpfs" : "the work folder"), rounds,
        static_cast<long long>(jpegs.size()));
    std::printf("  plain %7.1f ms per picture\n  gain  %7.1f ms per picture\n", plain * 1e3,
                gain * 1e3);
    std::printf("  gain / plain: %.2fx (goal: at most 2x)  %s\n", gain / plain,
                gain / plain <= 2.0 ? "met" : "NOT met");
}

// The same corner of one photo (the bottom-left 400 x 300 pixels): undarkened, darkened,
// corrected additively, corrected by gain.
void DrawFigure(const QString& path, const QImage& original, const QImage& darkened,
                const QImage& additive, const QImage& gain) {
    const QRect corner(0, kHeight - 300, 400, 300);
    const QSize panel(240, 180);
    const int label = 22;
    const int gap = 6;
    const QImage panels[] = {original, darkened, additive, gain};
    const char* const captions[] = {"photograph", "lens falloff (2 EV)", "additive (plain)",
                                    "gain"};
    QImage figure(4 * panel.width() + 3 * gap, panel.height() + label, QImage::Format_RGB888);
    figure.fill(Qt::white);
    QPainter painter(&figure);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font = painter.font();
    font.setPixelSize(14);
    painter.setFont(font);
    for (int i = 0; i < 4; ++i) {
        const int x = i * (panel.width() + gap);
        painter.drawText(QRect(x, 0, panel.width(), label), Qt::AlignCenter, captions[i]);
        painter.drawImage(
            QPoint(x, label),
            panels[i].copy(corner).scaled(panel, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    painter.end();
    QImageWriter writer(path);
    writer.setQuality(0);  // PNG: the strongest compression
    if (!writer.write(figure)) Fail("cannot write " + path + ": " + writer.errorString());
    std::printf("\nFigure written to %s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption cliOption("cli", "The velmora-cli to measure.", "FILE");
    const QCommandLineOption photosOption("photos", "Folder of JPEG photographs.", "DIR");
    const QCommandLineOption workOption("work", "Folder for the pictures and maps.", "DIR");
    const QCommandLineOption figureOption("figure", "Also draw the gain-vs-add figure.", "PNG");
    const QCommandLineOption figurePhotoOption("figure-photo", "Photo for the figure.", "NAME",
                                               "YellowFlower");
    const QCommandLineOption roundsOption("rounds", "Timed batches per mode.", "N", "5");
    parser.addOptions(
        {cliOption, photosOption, workOption, figureOption, figurePhotoOption, roundsOption});
    parser.process(application);
    const QString cli = parser.value(cliOption);
    const QString work = parser.value(workOption);
    if (cli.isEmpty() || work.isEmpty() || !parser.isSet(photosOption)) parser.showHelp(2);

    std::vector<Photo> photos;
    const QDir photoDir(parser.value(photosOption));
    for (const QString& file : photoDir.entryList({"*.jpg"}, QDir::Files, QDir::Name)) {
        photos.push_back({QFileInfo(file).completeBaseName(),
                          FitPhoto(Load(photoDir.filePath(file)), kWidth, kHeight)});
    }
    if (photos.empty()) Fail("no *.jpg in " + photoDir.path());

    const LensFalloff lenses[] = {{"1 EV", {1.2, 1.1, 1.0}}, {"2 EV", {2.0, 1.9, 1.8}}};
    const double cardLevels[] = {200, 235};
    std::printf(
        "%zu photographs of %d x %d from %s; corner regions: the four %d x %d "
        "rectangles in the corners\n",
        photos.size(), kWidth, kHeight, qPrintable(photoDir.path()), kWidth / 8, kHeight / 8);

    struct Table {
        QString scenario;  // "2 EV, card at 200"
        std::vector<Row> rows;
    };
    std::vector<Table> tables;
    std::uint32_t seed = 1;
    QStringList speedJpegs;
    for (const LensFalloff& lens : lenses) {
        const QString lensFolder = QDir(work).filePath(QString(lens.name).remove(' '));
        QDir(lensFolder).mkpath(".");
        QStringList darkFiles;
        std::vector<Samples> darkened;
        for (const Photo& photo : photos) {
            const QImage dark = Darken(photo.original, lens);
            const QString file = QDir(lensFolder).filePath(photo.name + ".png");
            Save(dark, file);
            darkFiles << file;
            darkened.push_back(Samples::FromImage(dark));
            if (lens.name == "2 EV") {
                const QString jpeg = QDir(work).filePath("speed/" + photo.name + ".jpg");
                QDir().mkpath(QFileInfo(jpeg).path());
                Save(dark, jpeg);
                speedJpegs << jpeg;
            }
        }
        for (const double level : cardLevels) {
            const QString folder = QDir(lensFolder).filePath(QString("card%1").arg(level));
            const QImage card = ShootCard(kWidth, kHeight, level, kCardNoise, lens, seed++);
            const QString title =
                QString(
                    "Falloff %1 (corners R %2, G %3, B %4 EV darker), card at %5 with noise "
                    "of %6 levels")
                    .arg(lens.name)
                    .arg(lens.cornerEv[0])
                    .arg(lens.cornerEv[1])
                    .arg(lens.cornerEv[2])
                    .arg(level)
                    .arg(kCardNoise);
            tables.push_back({QString("%1, card at %2").arg(lens.name).arg(level),
                              RunScenario(cli, folder, photos, darkFiles, darkened, card)});
            std::printf("\n%s\n", qPrintable(title));
            PrintRows(tables.back().rows);
        }
    }

    // The 1 dB is checked against the ideal gain from the card as it was shot: the best a gain can
    // do from that card. With --smooth the map should do better than that; how far it stays from
    // the ideal of the smoothed card is printed for reference: a map holds whole bytes, so a
    // smoothed card loses its fractions on the way into the map, and that ideal keeps them.
    std::printf(
        "\nGoals (on the means over the photographs; gain at most 1 dB below the ideal gain "
        "from the same card):\n");
    const auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    for (const auto& [scenario, rows] : tables) {
        std::printf("  %s\n", qPrintable(scenario));
        const Row& ideal = Find(rows, "ideal gain from the card");
        const Row& smoothedIdeal = Find(rows, "ideal gain, card smoothed 8");
        const struct {
            const char* gain;
            double corners;
        } checks[] = {{"gain, tune", 39.0}, {"gain, tune --smooth 8", 44.0}};
        for (const auto& check : checks) {
            const Row& gain = Find(rows, check.gain);
            const double gapWhole =
                ideal.Mean(&Quality::psnrWhole) - gain.Mean(&Quality::psnrWhole);
            const double gapCorners =
                ideal.Mean(&Quality::psnrCorners) - gain.Mean(&Quality::psnrCorners);
            const double corners = gain.Mean(&Quality::psnrCorners);
            std::printf(
                "    %-22s below ideal by %5.2f dB (all), %5.2f dB (corners): %-7s "
                "corners %5.2f dB (goal %2.0f): %s\n",
                check.gain, gapWhole, gapCorners, verdict(gapWhole <= 1.0 && gapCorners <= 1.0),
                corners, check.corners, verdict(corners >= check.corners));
        }
        const Row& smoothed = Find(rows, "gain, tune --smooth 8");
        std::printf(
            "    (gain, tune --smooth 8 below the ideal of the smoothed card by %.2f dB (all), "
            "%.2f dB (corners): the map's whole bytes)\n",
            smoothedIdeal.Mean(&Quality::psnrWhole) - smoothed.Mean(&Quality::psnrWhole),
            smoothedIdeal.Mean(&Quality::psnrCorners) - smoothed.Mean(&Quality::psnrCorners));
    }

    TimeRoundTrips(cli, QDir(work).filePath("2EV/card200"), speedJpegs,
                   parser.value(roundsOption).toInt());

    if (parser.isSet(figureOption)) {
        const QString name = parser.value(figurePhotoOption);
        const auto photo = std::find_if(photos.begin(), photos.end(),
                                        [&](const Photo& p) { return p.name == name; });
        if (photo == photos.end()) Fail("no photo " + name);
        const QString folder = QDir(work).filePath("2EV/card200");
        DrawFigure(parser.value(figureOption), photo->original,
                   Load(QDir(work).filePath("2EV/" + name + ".png")),
                   Load(folder + "/out-plain-0/" + name + ".png.bmp"),
                   Load(folder + "/out-gain-0/" + name + ".png.bmp"));
    }
    return 0;
}
