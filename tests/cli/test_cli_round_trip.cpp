// velmora-cli filter writes, for every picture, mode and strength, the very bytes of the
// window's round trip: load -> filtering -> save(bmp), done here step by step through the calls
// the window's handlers make.

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

#include "cli_test_support.h"
#include "correction/correction_map.h"
#include "correction/filtering.h"
#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "platform/picture_file.h"

using namespace velmora;
using namespace velmora::clitest;

namespace {

struct Picture {
    const char* name;
    int width;
    int height;
};

// Odd widths carry a filler byte per row; the largest picture uses every cell of the map.
constexpr Picture kPictures[] = {
    {"odd-width.jpg", 101, 77}, {"full-map.png", 1600, 1200}, {"one-pixel.bmp", 1, 1},
    {"even-width.png", 64, 48}, {"gray.jpg", 30, 20},
};

QByteArray WindowRoundTrip(const QString& input, const CorrectionMap& map, FilterMode mode,
                           const QString& strength, const QString& output) {
    LoadedPicture picture = LoadPictureFile(input);
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    FilterPixelBytes(pixels, map, mode, strength.toStdString(), '.');
    WritePictureBytes(&picture.bitmap, size, pixels.data(), {});
    SavePictureAsBitmapFile(picture.bitmap, output);
    return ReadFileBytes(output);
}

}  // namespace

class TestCliRoundTrip : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void sameBytesAsTheWindow_data();
    void sameBytesAsTheWindow();

  private:
    QTemporaryDir dir_;
    CorrectionMap map_;
};

void TestCliRoundTrip::initTestCase() {
    QVERIFY(dir_.isValid());
    quint32 seed = 10;
    for (const Picture& picture : kPictures) {
        QImage image = MakeImage(picture.width, picture.height, seed++);
        if (QString(picture.name).startsWith("gray")) {
            image = image.convertToFormat(QImage::Format_Grayscale8);
        }
        QVERIFY2(image.save(dir_.filePath(picture.name)), picture.name);
    }
    // Large enough corrections that sums run past 255 and the peak modes have work to do.
    const QByteArray cells = RandomMapBytes(99, 140);
    std::memcpy(map_.data(), cells.constData(), kMapBytes);
    QVERIFY(WriteFileBytes(dir_.filePath("data.dat"), cells));
}

void TestCliRoundTrip::sameBytesAsTheWindow_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("filterMode");
    QTest::addColumn<QString>("strength");
    const struct {
        const char* name;
        FilterMode mode;
    } modes[] = {{"plain", FilterMode::PlainAdd},
                 {"offset", FilterMode::PeakOffset},
                 {"scale", FilterMode::PeakScale}};
    for (const auto& mode : modes) {
        for (const char* strength : {"30", "100", "0", "-50", "12.5", " 7e1 "}) {
            QTest::addRow("%s %s", mode.name, strength)
                << QString(mode.name) << int(mode.mode) << QString(strength);
        }
    }
}

void TestCliRoundTrip::sameBytesAsTheWindow() {
    QFETCH(QString, mode);
    QFETCH(int, filterMode);
    QFETCH(QString, strength);
    const QString out = dir_.filePath("out-" + QString(QTest::currentDataTag()).simplified());
    QVERIFY(QDir().mkpath(out));

    QStringList arguments{"filter", "--quiet",      "--mode", mode,     "--strength",
                          strength, "--output-dir", out,      "--jobs", "3"};
    for (const Picture& picture : kPictures)
        arguments << picture.name;
    const CliRun run = RunCli(arguments, dir_.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    for (const Picture& picture : kPictures) {
        const QString name = QString(picture.name) + ".bmp";
        const QByteArray expected =
            WindowRoundTrip(dir_.filePath(picture.name), map_, FilterMode(filterMode), strength,
                            out + "/expected-" + name);
        QVERIFY(!expected.isEmpty());
        QVERIFY2(ReadFileBytes(out + "/" + name) == expected, picture.name);
    }
}

QTEST_GUILESS_MAIN(TestCliRoundTrip)
#include "test_cli_round_trip.moc"
