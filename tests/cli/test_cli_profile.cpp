// velmora-cli's lens profiles, run as the real program: a card and a uniformly lit scene shot
// through the same synthetic lens must come out uniform at every size, depth, curve and format;
// metadata must survive; bad profiles and pictures must be refused with nothing written.

#include <QColorSpace>
#include <QFileInfo>
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

constexpr double kSceneLevel =
    0.3;  // the scene's light, linear, wherever the lens lets it all through

// The synthetic lens: light at frame place (u, v), both -1..1 across the frame's width and height,
// darker towards the corners and more so in blue (a colour cast). 0.6, 0.52, 0.44 in the corners.
double Falloff(double u, double v, double aspect, int channel) {
    const double r2 = (u * u + v * v * aspect * aspect) / (1 + aspect * aspect);
    return 1 - (0.40 + 0.08 * channel) * r2;
}

// sRGB, or linear (a scientific camera's data, tagged with a linear colour profile).
double Encode(double linear, bool linearCurve) {
    if (linearCurve) return linear;
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

double Decode(double code, bool linearCurve) {
    return linearCurve ? code : SrgbToLinear(code);
}

struct Shot {
    int frameWidth = 240, frameHeight = 160;  // the sensor
    int width = 240, height = 160;            // the picture
    bool crop = false;                        // a centred crop of the sensor, not a scaled whole
    double level = kSceneLevel;
    bool sixteen = false, grey = false, linearCurve = false;
    int noise = 0;       // codes, of an 8-bit picture
    double reach = 1.0;  // how far into the lens's falloff the frame's edges go
};

QImage MakeShot(const Shot& s, quint32 seed) {
    const QImage::Format format = s.grey      ? QImage::Format_Grayscale8
                                  : s.sixteen ? QImage::Format_RGBX64
                                              : QImage::Format_RGB888;
    QImage image(s.width, s.height, format);
    if (s.linearCurve) {
        image.setColorSpace(
            QColorSpace(QColorSpace::Primaries::SRgb, QColorSpace::TransferFunction::Linear));
    }
    QRandomGenerator random(seed);
    const double scaleX =
        s.crop ? std::max(double(s.width) / s.frameWidth, double(s.height) / s.frameHeight)
               : double(s.width) / s.frameWidth;
    const double scaleY = s.crop ? scaleX : double(s.height) / s.frameHeight;
    for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x) {
            const double u = ((x + 0.5 - s.width / 2.0) / scaleX) / (s.frameWidth / 2.0) * s.reach;
            const double v =
                ((y + 0.5 - s.height / 2.0) / scaleY) / (s.frameHeight / 2.0) * s.reach;
            const double aspect = double(s.frameHeight) / s.frameWidth;
            // A grey sensor sees the lens's luminance.
            const double grey = 0.2126 * Falloff(u, v, aspect, 0) +
                                0.7152 * Falloff(u, v, aspect, 1) +
                                0.0722 * Falloff(u, v, aspect, 2);
            double code[3];
            for (int c = 0; c < 3; ++c) {
                code[c] =
                    Encode(s.level * (s.grey ? grey : Falloff(u, v, aspect, c)), s.linearCurve) +
                    (s.noise ? (int(random.bounded(2 * s.noise + 1)) - s.noise) / 255.0 : 0);
                code[c] = std::clamp(code[c], 0.0, 1.0);
            }
            if (s.grey) {
                image.scanLine(y)[x] = uchar(std::lround(code[1] * 255));
            } else if (s.sixteen) {
                image.setPixelColor(x, y,
                                    QColor::fromRgba64(quint16(std::lround(code[0] * 65535)),
                                                       quint16(std::lround(code[1] * 65535)),
                                                       quint16(std::lround(code[2] * 65535))));
            } else {
                for (int c = 0; c < 3; ++c)
                    image.scanLine(y)[3 * x + c] = uchar(std::lround(code[c] * 255));
            }
        }
    }
    return image;
}

// The mean light of each channel over a window of the picture, decoded by its curve.
std::array<double, 3> WindowLight(const Photo& photo, int left, int top, int size,
                                  bool linearCurve) {
    std::array<double, 3> sum{};
    const double top16 = photo.header.bits == 16 ? 65535.0 : 255.0;
    for (int y = top; y < top + size; ++y) {
        for (int x = left; x < left + size; ++x) {
            const std::size_t i = std::size_t(y) * photo.header.rowSamples() +
                                  std::size_t(x) * std::size_t(photo.header.samplesPerPixel);
            for (int c = 0; c < 3; ++c) {
                const int ch = photo.header.colourChannels == 1 ? 0 : c;
                const double code =
                    photo.header.bits == 16 ? photo.samples16[i + ch] : photo.samples8[i + ch];
                sum[std::size_t(c)] += Decode(code / top16, linearCurve) / (size * size);
            }
        }
    }
    return sum;
}

}  // namespace

Q_DECLARE_METATYPE(Shot)

class TestCliProfile : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { StartPhotoLibrary("test_cli_profile"); }
    void init();

    void correctedSceneIsUniform_data();
    void correctedSceneIsUniform();
    void correctWhatSplitsFalloffFromCast();
    void metadataIsCarried_data();
    void metadataIsCarried();
    void refusalsWriteNothing_data();
    void refusalsWriteNothing();
    void tuneWarns_data();
    void tuneWarns();

  private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    void save(const QImage& image, const QString& name) {
        QVERIFY2(image.save(path(name), nullptr, 95), qPrintable(name));
    }
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliProfile::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    // A mid-grey card through the lens, a little noisy, and its profile.
    Shot card;
    card.level = 0.5;
    card.noise = 2;
    save(MakeShot(card, 1), "card.jpg");
    const CliRun run = RunCli({"tune", "card.jpg", "--profile", "lens.tif"}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
}

void TestCliProfile::correctedSceneIsUniform_data() {
    QTest::addColumn<Shot>("shot");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QStringList>("options");
    Shot same;
    QTest::newRow("same size, JPEG to PNG")
        << same << "scene.jpg" << QStringList{"--format", "png"};
    Shot half = same;
    half.width = 120;
    half.height = 80;
    QTest::newRow("half size, resampled") << half << "scene.png" << QStringList{"--format", "png"};
    Shot rounded = same;
    rounded.width = 97;
    rounded.height = 65;
    QTest::newRow("aspect within a pixel")
        << rounded << "scene.png" << QStringList{"--format", "tiff"};
    Shot crop = same;
    crop.height = 135;
    crop.crop = true;
    QTest::newRow("16:9 crop of the sensor")
        << crop << "scene.png" << QStringList{"--format", "png", "--crop", "centre"};
    Shot deep = same;
    deep.sixteen = true;
    QTest::newRow("16 bits kept") << deep << "scene.png" << QStringList{"--format", "tiff"};
    Shot grey = same;
    grey.grey = true;
    QTest::newRow("grey stays grey") << grey << "scene.png" << QStringList{"--format", "png"};
    Shot linear = same;
    linear.linearCurve = true;
    linear.sixteen = true;
    QTest::newRow("curve from the ICC profile")
        << linear << "scene.png" << QStringList{"--format", "png"};
    QTest::newRow("code values of linear data")
        << linear << "scene.png" << QStringList{"--format", "png", "--space", "code"};
}

// A uniformly lit scene through the lens comes out uniform: corners within 3 % of the centre.
void TestCliProfile::correctedSceneIsUniform() {
    QFETCH(Shot, shot);
    QFETCH(QString, input);
    QFETCH(QStringList, options);
    save(MakeShot(shot, 2), input);
    const CliRun run = RunCli(
        QStringList{"filter", "--profile", "lens.tif", "-o", "out"} + options + QStringList{input},
        dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const Photo out = ReadPhoto(path("out"));
    QCOMPARE(out.header.width, std::int64_t(shot.width));
    QCOMPARE(out.header.height, std::int64_t(shot.height));
    QCOMPARE(out.header.bits, shot.sixteen ? 16 : 8);
    QCOMPARE(out.header.colourChannels, shot.grey ? 1 : 3);
    QCOMPARE(out.header.colourProfile.isEmpty(), !shot.linearCurve);
    const int w = 6;
    for (const auto& [x, y] : {std::pair{0, 0},
                               {shot.width - w, 0},
                               {0, shot.height - w},
                               {shot.width - w, shot.height - w},
                               {shot.width / 2 - w / 2, shot.height / 2 - w / 2}}) {
        const auto light = WindowLight(out, x, y, w, shot.linearCurve);
        for (int c = 0; c < 3; ++c) {
            // 3 %: about one code of an 8-bit JPEG's dark blue corner.
            QVERIFY2(std::abs(light[std::size_t(c)] / kSceneLevel - 1) < 0.03,
                     qPrintable(QString("channel %1 at %2,%3: %4")
                                    .arg(c)
                                    .arg(x)
                                    .arg(y)
                                    .arg(light[std::size_t(c)])));
        }
    }
}

// luminance leaves the blue cast in the corners but lifts their light; colour removes the cast
// but leaves them dark.
void TestCliProfile::correctWhatSplitsFalloffFromCast() {
    save(MakeShot(Shot{}, 3), "scene.png");
    for (const QString what : {"luminance", "colour"}) {
        const CliRun run = RunCli({"filter", "--profile", "lens.tif", "--correct", what, "--format",
                                   "png", "-o", what + ".png", "scene.png"},
                                  dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const auto corner = WindowLight(ReadPhoto(path(what + ".png")), 0, 0, 6, false);
        const double luminance = 0.2126 * corner[0] + 0.7152 * corner[1] + 0.0722 * corner[2];
        const double cast = corner[2] / corner[0];
        if (what == "luminance") {
            QVERIFY2(std::abs(luminance / kSceneLevel - 1) < 0.02,
                     qPrintable(QString::number(luminance)));
            QVERIFY2(cast < 0.85, qPrintable(QString::number(cast)));
        } else {
            QVERIFY2(luminance / kSceneLevel < 0.7, qPrintable(QString::number(luminance)));
            QVERIFY2(std::abs(cast - 1) < 0.02, qPrintable(QString::number(cast)));
        }
    }
}

void TestCliProfile::metadataIsCarried_data() {
    QTest::addColumn<QString>("format");
    QTest::newRow("jpeg") << "jpeg";
    QTest::newRow("png") << "png";
    QTest::newRow("tiff") << "tiff";
}

// EXIF (the orientation unchanged), IPTC, XMP and the ICC profile, read back with exiv2.
void TestCliProfile::metadataIsCarried() {
    QFETCH(QString, format);
    Shot shot;
    shot.linearCurve = true;  // so that the file carries a colour profile
    save(MakeShot(shot, 4), "scene.jpg");
    QCOMPARE(QProcess::execute("exiv2", {"-M", "set Exif.Image.Make Velmora Optics", "-M",
                                         "set Exif.Image.Orientation 6", "-M",
                                         "set Iptc.Application2.Caption Card one", "-M",
                                         "set Xmp.dc.title Flat field", path("scene.jpg")}),
             0);
    const CliRun run =
        RunCli({"filter", "--profile", "lens.tif", "--format", format, "scene.jpg"}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString output = path("scene.jpg." + QString(format == "jpeg"   ? "jpg"
                                                       : format == "tiff" ? "tif"
                                                                          : "png"));
    QProcess exiv2;
    exiv2.start("exiv2", {"-pa", output});
    QVERIFY(exiv2.waitForFinished());
    const QString tags = QString::fromUtf8(exiv2.readAllStandardOutput());
    for (const char* expected : {"Velmora Optics", "right, top", "Card one", "Flat field"})
        QVERIFY2(tags.contains(expected), qPrintable(QString(expected) + " missing from\n" + tags));
    QVERIFY(!ReadPhoto(output).header.colourProfile.isEmpty());
}

void TestCliProfile::refusalsWriteNothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QStringList filter{"filter", "--profile", "lens.tif", "--format", "png", "scene.png"};
    QTest::newRow("another aspect ratio") << filter << "square" << 1 << "another aspect ratio";
    QTest::newRow("16 bits to JPEG")
        << QStringList{"filter", "--profile", "lens.tif", "--format", "jpeg", "deep.png"} << "" << 1
        << "16-bit";
    QTest::newRow("profile cut short") << filter << "cut" << 1 << "lens.tif";
    QTest::newRow("profile edited") << filter << "edited" << 1 << "checksum";
    // Compressed pixels overwritten: the decoder or the checksum finds it.
    QTest::newRow("profile's pixels scrambled") << filter << "scrambled" << 1 << "lens.tif";
    QTest::newRow("a TIFF picture as profile") << filter << "foreign" << 1 << "not a lens profile";
    QTest::newRow("a JPEG as profile") << filter << "jpeg" << 1 << "not a TIFF";
    // "MM" alone once passed for the big-endian signature "MM\0*".
    QTest::newRow("a file that begins as a big-endian TIFF") << filter << "mm" << 1 << "not a TIFF";
    QTest::newRow("header claims 100000 x 100000") << filter << "huge" << 1 << "more than";
    QTest::newRow("a memory budget below a picture's strips")
        << (filter + QStringList{"--memory", "400K"}) << "" << 1 << "memory budget";
    QTest::newRow("references of two sizes")
        << QStringList{"tune", "card.jpg", "scene.png", "--profile", "new.tif"} << "square" << 1
        << "240 x 160";
    QTest::newRow("--format without --profile")
        << QStringList{"filter", "--format", "png", "scene.png"} << "" << 2
        << "--format needs --profile";
    QTest::newRow("--mode with --profile")
        << QStringList{"filter", "--profile", "lens.tif", "--mode", "scale", "scene.png"} << "" << 2
        << "belongs to the map";
}

void TestCliProfile::refusalsWriteNothing() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, damage);
    QFETCH(int, status);
    QFETCH(QString, message);
    Shot shot;
    if (damage == "square") shot.width = shot.height = 160;
    save(MakeShot(shot, 5), "scene.png");
    Shot deep;
    deep.sixteen = true;
    save(MakeShot(deep, 6), "deep.png");
    QByteArray profile = ReadFileBytes(path("lens.tif"));
    if (damage == "cut") profile.truncate(profile.size() / 2);
    if (damage == "edited") profile.replace("\"smooth\":2", "\"smooth\":3");
    if (damage == "scrambled") {
        for (qsizetype i = 16; i < profile.size() / 2; i += 7)
            profile[i] = char(i * 31);
    }
    if (damage == "foreign") {
        save(MakeShot(shot, 7), "picture.tif");
        profile = ReadFileBytes(path("picture.tif"));
    }
    if (damage == "jpeg") profile = ReadFileBytes(path("card.jpg"));
    if (damage == "mm") profile = "MM, a note that is not a picture";
    QVERIFY(WriteFileBytes(path("lens.tif"), profile));
    if (damage == "huge") {
        // A PNG header claiming 100000 x 100000 pixels, and nothing after it.
        QByteArray png = QByteArray::fromHex("89504e470d0a1a0a");
        const auto chunk = [&png](const QByteArray& type, const QByteArray& data) {
            for (int shift = 24; shift >= 0; shift -= 8)
                png.append(char(data.size() >> shift));
            const QByteArray body = type + data;
            quint32 crc = 0xFFFFFFFF;
            for (const char byte : body) {
                crc ^= quint8(byte);
                for (int bit = 0; bit < 8; ++bit)
                    crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
            }
            png.append(body);
            for (int shift = 24; shift >= 0; shift -= 8)
                png.append(char(~crc >> shift));
        };
        chunk("IHDR", QByteArray::fromHex("000186a0000186a00802000000"));
        chunk("IDAT", QByteArray::fromHex("789c030000000001"));
        chunk("IEND", {});
        QVERIFY(WriteFileBytes(path("scene.png"), png));
    }
    const auto before = Listing(dir_->path());
    const CliRun run = RunCli(arguments, dir_->path());
    QCOMPARE(run.exitCode, status);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(Listing(dir_->path()), before);
}

void TestCliProfile::tuneWarns_data() {
    QTest::addColumn<double>("level");  // of the second card
    QTest::addColumn<double>("reach");  // of the second card: another falloff
    QTest::addColumn<QString>("warning");
    QTest::newRow("clipped") << 1.2 << 1.0 << "clipped";
    QTest::newRow("the light moved") << 0.5 << 0.8 << "move between shots";
    QTest::newRow("none for a second card alike") << 0.5 << 1.0 << "";
}

// tune --profile speaks up about references that cannot make a good profile, and only then;
// the profile is written all the same.
void TestCliProfile::tuneWarns() {
    QFETCH(double, level);
    QFETCH(double, reach);
    QFETCH(QString, warning);
    Shot card;
    card.level = level;
    card.noise = 2;
    card.reach = reach;  // a gentler falloff: the card or the light moved
    save(MakeShot(card, 8), "second.png");
    const CliRun run =
        RunCli({"tune", "card.jpg", "second.png", "--profile", "both.tif"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(QFileInfo::exists(path("both.tif")));
    if (warning.isEmpty()) {
        QVERIFY2(!run.err.contains("Warning"), qPrintable(run.err));
    } else {
        QVERIFY2(run.err.contains(warning), qPrintable(run.err));
    }
}

QTEST_MAIN(TestCliProfile)
#include "test_cli_profile.moc"
