// velmora-cli's library of lens profiles, run as the real program: profiles tuned from cards
// whose EXIF names the lens and aperture, pictures whose EXIF picks among them, and the table
// and picture of a library.

#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

#include "cli_test_support.h"
#include "correction/tone_curve.h"
#include "platform/photo_file.h"

using namespace velmora;
using namespace velmora::clitest;

namespace {

constexpr int kWidth = 120, kHeight = 80;

// The light a lens lets through at f-number n: corners lose more wide open.
double Light(double n, int x, int y) {
    const double u = (x + 0.5 - kWidth / 2.0), v = (y + 0.5 - kHeight / 2.0);
    const double r2 = (u * u + v * v) / (kWidth * kWidth / 4.0 + kHeight * kHeight / 4.0);
    const double k = 0.6 / (n * n);  // f/1: 0.6, f/2: 0.15, f/4: 0.04
    return 1 / ((1 + k * r2) * (1 + k * r2));
}

// An evenly lit scene at linear `level` shot at `n`, as 16-bit sRGB codes (so that results can
// be compared within a thousandth).
QImage Shoot(double n, double level) {
    QImage image(kWidth, kHeight, QImage::Format_RGBX64);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double l = level * Light(n, x, y);
            const double code = l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
            const auto c = quint16(std::lround(code * 65535));
            image.setPixelColor(x, y, QColor::fromRgba64(c, c, c));
        }
    }
    return image;
}

// Exif tags written as a camera would, by exiv2: {"Make", "Canon"} and the like.
bool Tag(const QString& file, const QList<std::pair<QString, QString>>& tags) {
    QStringList arguments;
    for (const auto& [key, value] : tags) {
        const bool number = key == "FNumber" || key == "FocalLength";
        const QString group = key == "Make" || key == "Model" ? "Exif.Image." : "Exif.Photo.";
        arguments << "-M"
                  << QString("set %1%2 %3 %4")
                         .arg(group, key, number ? "Rational" : "Ascii",
                              number ? QString("%1/100").arg(std::lround(value.toDouble() * 100))
                                     : value);
    }
    return QProcess::execute("exiv2", arguments << file) == 0;
}

QList<std::pair<QString, QString>> Lens(double n, const QString& lens = "RF50mm F1.2 L USM") {
    return {{"Make", "Canon"},
            {"Model", "Canon EOS R5"},
            {"LensModel", lens},
            {"FocalLength", "50"},
            {"FNumber", QString::number(n)}};
}

// The mean linear light of a corner window of an output.
double CornerLight(const QString& file) {
    const Photo photo = ReadPhoto(file);
    double sum = 0;
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            const double code = photo.header.bits == 16
                                    ? photo.samples16[y * photo.header.rowSamples() + x * 3]
                                    : photo.samples8[y * photo.header.rowSamples() + x * 3];
            sum += SrgbToLinear(code / (photo.header.bits == 16 ? 65535.0 : 255.0)) / 16;
        }
    }
    return sum;
}

}  // namespace

class TestCliLibrary : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { StartPhotoLibrary("test_cli_library"); }
    void init();
    void exifIsReadFromEveryFormat_data();
    void exifIsReadFromEveryFormat();
    void picturesTakeTheirProfiles();
    void betweenAperturesBlendsOrFollowsTheCubic();
    void refusals_data();
    void refusals();
    void plotIsAPngOfItsSize();

  private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    // A card at f-number n as `name`, tuned into the library as lib/`profile`.
    void tune(double n, const QString& profile) {
        QVERIFY(Shoot(n, 0.5).save(path("card.png")));
        QVERIFY(Tag(path("card.png"), Lens(n)));
        const CliRun run = RunCli(
            {"tune", "card.png", "--profile", "lib/" + profile, "--smooth", "0"}, dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }
    void shoot(double n, const QString& name) {
        QVERIFY(Shoot(n, 0.3).save(path(name)));
        if (n > 0) QVERIFY(Tag(path(name), Lens(n)));
    }
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliLibrary::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(QDir(dir_->path()).mkdir("lib") && QDir(dir_->path()).mkdir("out"));
    tune(2, "f2.tif");
    tune(4, "f4.tif");
}

// tune records what the reference's EXIF says, in whatever format it comes; the table shows it.
void TestCliLibrary::exifIsReadFromEveryFormat_data() {
    QTest::addColumn<QString>("reference");
    QTest::newRow("JPEG") << "ref.jpg";
    QTest::newRow("TIFF") << "ref.tif";
    QTest::newRow("PNG") << "ref.png";
}

void TestCliLibrary::exifIsReadFromEveryFormat() {
    QFETCH(QString, reference);
    QVERIFY(Shoot(2.8, 0.5).convertToFormat(QImage::Format_RGB888).save(path(reference)));
    QVERIFY(Tag(path(reference), Lens(2.8, "EF35mm f/2 IS USM")));
    CliRun run = RunCli({"tune", reference, "--profile", "lib/new.tif"}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    run = RunCli({"profiles", "lib"}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString row = run.out.split('\n').filter("new.tif").value(0);
    for (const char* field : {"Canon EOS R5", "EF35mm f/2 IS USM", "50 mm", "f/2.8", "120 x 80"})
        QVERIFY2(row.contains(field), qPrintable(row));
}

// Same f-number: that profile; between: a blend; outside: the nearest with a warning; no EXIF
// or another lens: reported and not written, unless --fallback names a profile.
void TestCliLibrary::picturesTakeTheirProfiles() {
    shoot(2, "same.png");
    shoot(2.8, "between.png");
    shoot(8, "outside.png");
    shoot(0, "noexif.png");
    // Half the size: its profile, let go once the full size's gains are made, is read again.
    QVERIFY(Shoot(2, 0.3)
                .scaled(kWidth / 2, kHeight / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .save(path("half.png")));
    QVERIFY(Tag(path("half.png"), Lens(2)));
    QVERIFY(Shoot(2, 0.3).save(path("otherlens.png")));
    QVERIFY(Tag(path("otherlens.png"), Lens(2, "RF85mm F1.2 L USM")));
    const QStringList pictures{"same.png",   "between.png",   "outside.png",
                               "noexif.png", "otherlens.png", "half.png"};
    CliRun run = RunCli(
        QStringList{"filter", "--profiles", "lib", "--explain", "--format", "png", "-d", "out"} +
            pictures,
        dir_->path());
    QCOMPARE(run.exitCode, 1);
    const auto line = [&](const QString& name) {
        return (run.out + run.err).split('\n').filter(name).join(" | ");
    };
    QVERIFY2(line("same.png (").endsWith(": f2.tif"), qPrintable(line("same.png")));
    QVERIFY2(line("between.png (").contains("0.515 x f2.tif + 0.485 x f4.tif"),
             qPrintable(line("between.png")));
    QVERIFY2(line("outside.png").contains("f/8 lies outside") &&
                 line("outside.png").contains("took f/4, 2 stops away"),
             qPrintable(line("outside.png")));
    QVERIFY2(line("noexif.png").contains("no EXIF"), qPrintable(line("noexif.png")));
    QVERIFY2(line("otherlens.png").contains("RF85mm"), qPrintable(line("otherlens.png")));
    QVERIFY(!QFile::exists(path("out/noexif.png.png")));
    QVERIFY(!QFile::exists(path("out/otherlens.png.png")));
    // The picture at a measured aperture comes out uniform.
    QVERIFY(std::abs(CornerLight(path("out/same.png.png")) / 0.3 - 1) < 0.01);
    QVERIFY(std::abs(CornerLight(path("out/half.png.png")) / 0.3 - 1) < 0.01);
    QVERIFY2(run.out.contains("f2.tif: 3 (2 alone, 1 in blends)"), qPrintable(run.out));

    run = RunCli({"filter", "--profiles", "lib", "--fallback", "lib/f4.tif", "--explain",
                  "--format", "png", "-d", "out", "noexif.png"},
                 dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains("f4.tif (the fallback"), qPrintable(run.out));
    QVERIFY(QFile::exists(path("out/noexif.png.png")));
}

// A picture between two apertures takes their gains blended in log space: its result is the
// results of either profile alone, blended the same way. With a third aperture measured, the
// monotone cubic through all three comes nearer to what the lens did than the blend.
void TestCliLibrary::betweenAperturesBlendsOrFollowsTheCubic() {
    shoot(2.8, "between.png");
    for (const char* profile : {"f2", "f4"}) {
        const CliRun run =
            RunCli({"filter", "--profile", QString("lib/%1.tif").arg(profile), "--format", "png",
                    "-o", QString("out/%1.png").arg(profile), "between.png"},
                   dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }
    tune(8, "f8.tif");
    CliRun run = RunCli({"filter", "--profiles", "lib", "--interpolate", "linear", "--format",
                         "png", "-o", "out/linear.png", "between.png"},
                        dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const double w = (std::log2(4) - std::log2(2.8)) / (std::log2(4) - std::log2(2));
    const double expected = std::pow(CornerLight(path("out/f2.png")), w) *
                            std::pow(CornerLight(path("out/f4.png")), 1 - w);
    const double linear = CornerLight(path("out/linear.png"));
    QVERIFY2(std::abs(linear / expected - 1) < 0.002,
             qPrintable(QString("blend %1, expected %2").arg(linear).arg(expected)));

    run = RunCli({"filter", "--profiles", "lib", "--explain", "--format", "png", "-o",
                  "out/cubic.png", "between.png"},
                 dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains("monotone cubic in log2 f-number through f2.tif, f4.tif, f8.tif"),
             qPrintable(run.out));
    const double cubic = CornerLight(path("out/cubic.png"));
    QVERIFY2(std::abs(cubic / 0.3 - 1) < std::abs(linear / 0.3 - 1) / 2,
             qPrintable(QString("cubic %1, blend %2, the scene 0.3").arg(cubic).arg(linear)));
}

void TestCliLibrary::refusals_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::newRow("references shot at different f-numbers")
        << QStringList{"tune", "a.png", "b.png", "--profile", "lib/ab.tif"} << 1
        << "differs from a.png";
    QTest::newRow("--profile and --profiles")
        << QStringList{"filter", "--profile", "lib/f2.tif", "--profiles", "lib", "a.png"} << 2
        << "cannot be used together";
    QTest::newRow("--fallback alone")
        << QStringList{"filter", "--fallback", "lib/f2.tif", "a.png"} << 2 << "needs --profiles";
    QTest::newRow("no such library")
        << QStringList{"filter", "--profiles", "nowhere", "-d", "out", "a.png"} << 2
        << "does not exist";
    QTest::newRow("lens settings for the map")
        << QStringList{"tune", "a.png", "--f-number", "2"} << 2 << "needs --profile";
    QTest::newRow("a library with a file that is not a profile")
        << QStringList{"profiles", "lib"} << 1 << "notes.txt";
}

void TestCliLibrary::refusals() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, says);
    shoot(2, "a.png");
    shoot(4, "b.png");
    QVERIFY(WriteFileBytes(path("lib/notes.txt"), "not a profile"));
    const CliRun run = RunCli(arguments, dir_->path());
    QCOMPARE(run.exitCode, status);
    QVERIFY2((run.out + run.err).contains(says), qPrintable(run.out + run.err));
    QVERIFY(!QFile::exists(path("lib/ab.tif")));
    QVERIFY(QDir(path("out")).isEmpty());
}

void TestCliLibrary::plotIsAPngOfItsSize() {
    const CliRun run = RunCli({"profiles", "--plot", "lib/f2.tif", "out/f2.png"}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QImageReader reader(path("out/f2.png"));
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage plot = reader.read();
    QCOMPARE(plot.size(), QSize(1600, 700));
}

QTEST_GUILESS_MAIN(TestCliLibrary)
#include "test_cli_library.moc"
