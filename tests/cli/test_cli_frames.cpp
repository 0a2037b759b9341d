// velmora-cli on calibration frames: FITS of every depth (written here with cfitsio) and float
// TIFF, combined into masters, their header cards carried, and the refusals of bad frames.
#include <fitsio.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <functional>

#include "cli_test_support.h"
#include "correction/cfa_planes.h"
#include "platform/frame_file.h"
#include "platform/photo_file.h"

using namespace velmora;
using namespace velmora::clitest;

namespace {

struct Fits {
    int bitpix = 16;  // 16 is written unsigned, with BZERO 32768
    int width = 31;
    int height = 17;
    int planes = 1;
    QString bayer;         // BAYERPAT, where given
    double exposure = 30;  // negative: none recorded
    // The value of plane c at (x, y).
    std::function<double(int, int, int)> value = [](int x, int y, int c) {
        return 1000 + x * 7 + y * 3 + c * 100;
    };
};

void WriteFits(const Fits& frame, const QString& path) {
    fitsfile* file = nullptr;
    int status = 0;
    QFile::remove(path);
    fits_create_diskfile(&file, QFile::encodeName(path).constData(), &status);
    long size[3] = {frame.width, frame.height, frame.planes};
    const int type = frame.bitpix == 16 ? USHORT_IMG : frame.bitpix;
    fits_create_img(file, type, frame.planes == 1 ? 2 : 3, size, &status);
    double exposure = frame.exposure;
    if (exposure >= 0) fits_write_key(file, TDOUBLE, "EXPTIME", &exposure, "seconds", &status);
    fits_write_key_str(file, "OBJECT", "M 31", nullptr, &status);
    fits_write_key_str(file, "DATE-OBS", "2026-12-09T21:00:00", nullptr, &status);
    if (!frame.bayer.isEmpty())
        fits_write_key_str(file, "BAYERPAT", frame.bayer.toLatin1().constData(), nullptr, &status);
    std::vector<double> values;
    for (int c = 0; c < frame.planes; ++c)
        for (int y = 0; y < frame.height; ++y)
            for (int x = 0; x < frame.width; ++x)
                values.push_back(frame.value(x, y, c));
    fits_write_img(file, TDOUBLE, 1, LONGLONG(values.size()), values.data(), &status);
    fits_close_file(file, &status);
    QVERIFY2(status == 0, "cfitsio could not write the test frame");
}

std::vector<float> ReadAll(FrameReader& frame) {
    const FrameInfo& info = frame.info();
    std::vector<float> values(std::size_t(info.width * info.height * info.channels));
    frame.ReadRows(0, info.height, values.data());
    return values;
}

bool HasCard(const FrameInfo& info, const QString& start) {
    return std::any_of(info.cards.begin(), info.cards.end(), [&](const std::string& card) {
        return QString::fromStdString(card).startsWith(start);
    });
}

class FramesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString At(const QString& name) const { return dir_->filePath(name); }

  private Q_SLOTS:
    void initTestCase() { StartPhotoLibrary("test_cli_frames"); }
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }

    // Three frames of each depth and layout: the median master equals the middle frame's
    // values, is a float FITS (or TIFF) of the same layout, and carries the first frame's cards
    // with what made it.
    void MastersKeepValuesAndHeaders_data() {
        QTest::addColumn<int>("bitpix");
        QTest::addColumn<int>("planes");
        QTest::addColumn<QString>("bayer");
        QTest::addColumn<QString>("output");
        QTest::newRow("8-bit") << 8 << 1 << ""
                               << "master.fits";
        QTest::newRow("16-bit unsigned, mosaic") << 16 << 1 << "RGGB"
                                                 << "master.fits";
        QTest::newRow("32-bit integer, three planes") << 32 << 3 << ""
                                                      << "master.fits";
        QTest::newRow("float") << -32 << 1 << ""
                               << "master.fits";
        QTest::newRow("16-bit into float TIFF") << 16 << 3 << ""
                                                << "master.tif";
    }
    void MastersKeepValuesAndHeaders() {
        QFETCH(int, bitpix);
        QFETCH(int, planes);
        QFETCH(QString, bayer);
        QFETCH(QString, output);
        Fits frame;
        frame.bitpix = bitpix;
        frame.planes = planes;
        frame.bayer = bayer;
        const double fraction = bitpix == -32 ? 0.25 : 0;
        for (int i = 0; i < 3; ++i) {
            Fits f = frame;
            f.value = [=](int x, int y, int c) {
                return (bitpix == 8 ? 100 : 1000) + x + y * 2 + c * 10 + i * 5 + fraction;
            };
            WriteFits(f, At(QString("f%1.fits").arg(i)));
        }
        const CliRun run =
            RunCli({"master", "--method", "median", "-o", output, "f0.fits", "f2.fits", "f1.fits"},
                   dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const auto master = FrameReader::Open(At(output));
        const FrameInfo& info = master->info();
        QCOMPARE(info.width, std::int64_t(frame.width));
        QCOMPARE(info.height, std::int64_t(frame.height));
        QCOMPARE(info.channels, planes);
        QVERIFY(info.floating && info.bits == 32);
        const std::vector<float> values = ReadAll(*master);
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                for (int c = 0; c < planes; ++c) {
                    const float expected =
                        float((bitpix == 8 ? 100 : 1000) + x + y * 2 + c * 10 + 5 + fraction);
                    QCOMPARE(values[std::size_t((y * frame.width + x) * planes + c)], expected);
                }
            }
        }
        if (output.endsWith(".fits")) {
            QCOMPARE(QString::fromStdString(CfaLetters(info.cfa)), bayer);
            QVERIFY(info.exposure && *info.exposure == 30);
            for (const char* card : {"OBJECT  = 'M 31", "DATE-OBS= '2026-12-09T21:00:00",
                                     "VMETHOD = 'median", "NCOMBINE=                    3",
                                     "IMCMB002= 'f2.fits", "HISTORY velmora-cli master"}) {
                QVERIFY2(HasCard(info, card), card);
            }
        }
    }

    // Rejection counts reach the header; scaling brings a frame of twice the light to the
    // first's before the median.
    void RejectsOutliersAndScales() {
        for (int i = 0; i < 12; ++i) {
            Fits f;
            f.value = [=](int x, int y, int) {
                const double light = 1000 + (i % 3) + x;
                return (x == 5 && y == i) ? 60000 : light;  // a cosmic ray per frame
            };
            WriteFits(f, At(QString("f%1.fits").arg(i, 2, 10, QChar('0'))));
        }
        QStringList frames;
        for (int i = 0; i < 12; ++i)
            frames << QString("f%1.fits").arg(i, 2, 10, QChar('0'));
        CliRun run =
            RunCli(QStringList{"master", "--method", "sigma-clip", "-o", "clip.fits"} + frames,
                   dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains("12 value(s) rejected"), qPrintable(run.out));
        const auto clip = FrameReader::Open(At("clip.fits"));
        QVERIFY(HasCard(clip->info(), "VREJECT =                   12"));
        const std::vector<float> values = ReadAll(*clip);
        QCOMPARE(values[5], float(1005 + 12.0 / 11));  // row 0: frame 0's ray left out
        Fits bright;
        bright.value = [](int x, int, int) { return 2 * (1000.0 + x); };
        WriteFits(bright, At("bright.fits"));
        Fits plain;
        plain.value = [](int x, int, int) { return 1000.0 + x; };
        WriteFits(plain, At("plain.fits"));
        // The median of whole numbers comes by histogram, of others by selection.
        for (const char* scale : {"mean", "median"}) {
            run = RunCli({"master", "--method", "mean", "--scale", scale, "-o", "scaled.fits",
                          "plain.fits", "bright.fits"},
                         dir_->path());
            QVERIFY2(run.exitCode == 0, qPrintable(run.err));
            const std::vector<float> mean = ReadAll(*FrameReader::Open(At("scaled.fits")));
            QVERIFY2(std::abs(mean[1] - 1001.0f) < 1e-3f, scale);
        }
    }

    // Flats less a dark-flat, lights less a dark (or the bias, or the dark's current scaled by
    // exposure), divided by the flat at its mean: each output is the definition computed here.
    void CalibratesLightsByTheirDefinition_data() {
        QTest::addColumn<QStringList>("tune");
        QTest::addColumn<QStringList>("filter");
        QTest::addColumn<QString>("light");
        QTest::addColumn<int>("offset");  // 0: dark, 1: bias, 2: bias + (dark - bias) / 2
        QTest::newRow("dark") << QStringList{"--dark", "dflat.fits"}
                              << QStringList{"--dark", "dark.fits"} << "light.fits" << 0;
        QTest::newRow("bias") << QStringList{"--bias", "bias.fits"}
                              << QStringList{"--bias", "bias.fits"} << "light.fits" << 1;
        QTest::newRow("dark scaled by exposure")
            << QStringList{"--dark", "dflat.fits"}
            << QStringList{"--dark", "dark.fits", "--bias", "bias.fits", "--dark-scale", "exposure"}
            << "light.fits" << 2;
        QTest::newRow("float TIFF light") << QStringList{"--dark", "dflat.fits"}
                                          << QStringList{"--dark", "dark.fits"} << "light.tif" << 0;
    }
    void CalibratesLightsByTheirDefinition() {
        QFETCH(QStringList, tune);
        QFETCH(QStringList, filter);
        QFETCH(QString, light);
        QFETCH(int, offset);
        const auto bias = [](int x, int) { return 500.0 + x % 3; };
        const auto current = [](int x, int y) { return (x > 25 && y < 4) ? 40.0 : 1.0; };
        const auto lens = [](int x, int y) {
            return 1 - 0.4 * ((x - 15) * (x - 15) + (y - 8) * (y - 8)) / 289.0;
        };
        Fits frame;
        frame.bitpix = -32;
        const auto write = [&](const QString& name, double exposure,
                               std::function<double(int, int)> value) {
            Fits f = frame;
            f.exposure = exposure;
            f.value = [=](int x, int y, int) { return value(x, y); };
            WriteFits(f, At(name));
        };
        write("dflat.fits", 2, [&](int x, int y) { return bias(x, y) + current(x, y) * 2; });
        write("f1.fits", 2,
              [&](int x, int y) { return bias(x, y) + current(x, y) * 2 + 20000 * lens(x, y); });
        write("f2.fits", 2,
              [&](int x, int y) { return bias(x, y) + current(x, y) * 2 + 20400 * lens(x, y); });
        write("dark.fits", 60, [&](int x, int y) { return bias(x, y) + current(x, y) * 60; });
        write("bias.fits", 0, bias);
        const auto scene = [&](int x, int y) {
            return bias(x, y) + current(x, y) * 30 + (3000 + 50 * x) * lens(x, y);
        };
        write("light.fits", 30, scene);
        QVERIFY(
            RunCli({"master", "--method", "mean", "-o", "light.tif", "light.fits"}, dir_->path())
                .exitCode == 0);
        CliRun run = RunCli(QStringList{"tune", "f1.fits", "f2.fits", "--profile", "flat.fits",
                                        "--level", "mean", "--smooth", "0"} +
                                tune,
                            dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        run = RunCli(QStringList{"filter", "--profile", "flat.fits", "-o",
                                 "out." + QFileInfo(light).suffix(), light} +
                         filter,
                     dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        // The flat and its mean as ccdproc's flat_correct takes them.
        std::vector<double> flat;
        double mean = 0;
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                const double darkFlat = (offset == 1 ? bias(x, y) : bias(x, y) + current(x, y) * 2);
                flat.push_back((bias(x, y) + current(x, y) * 2) + 20200 * lens(x, y) - darkFlat);
                mean += flat.back() / (frame.width * frame.height);
            }
        }
        const auto out = FrameReader::Open(At("out." + QFileInfo(light).suffix()));
        const std::vector<float> values = ReadAll(*out);
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                const double dark = bias(x, y) + current(x, y) * 60;
                const double subtracted = offset == 0   ? dark
                                          : offset == 1 ? bias(x, y)
                                                        : bias(x, y) + (dark - bias(x, y)) * 0.5;
                const std::size_t i = std::size_t(y * frame.width + x);
                const double expected = (scene(x, y) - subtracted) * mean / flat[i];
                QVERIFY2(std::abs(values[i] - expected) <= 1e-5 * std::abs(expected),
                         qPrintable(QString("(%1, %2): %3, not %4")
                                        .arg(x)
                                        .arg(y)
                                        .arg(values[i])
                                        .arg(expected)));
            }
        }
        if (light.endsWith(".fits")) QVERIFY(HasCard(out->info(), "HISTORY velmora-cli filter: "));
    }

    // Nothing is written, and the message names the file and what is wrong.
    void RefusesBadCalibration_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("dark of another size")
            << QStringList{"--dark", "small.fits", "a.fits"}
            << "a.fits is 31 x 17, but the dark small.fits is 20 x 10";
        QTest::newRow("no exposure time")
            << QStringList{"--dark",       "a.fits",   "--bias",      "a.fits",
                           "--dark-scale", "exposure", "untimed.fits"}
            << "untimed.fits records no exposure time";
        QTest::newRow("scaled without a bias")
            << QStringList{"--dark", "a.fits", "--dark-scale", "exposure", "a.fits"}
            << "needs --dark and --bias";
        QTest::newRow("a picture by a flat of frames")
            << QStringList{"picture.png"} << "picture.png is not a frame";
    }
    void RefusesBadCalibration() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        WriteFits(Fits{}, At("a.fits"));
        WriteFits(Fits{}, At("flat.fits"));
        Fits small;
        small.width = 20;
        small.height = 10;
        WriteFits(small, At("small.fits"));
        Fits untimed;
        untimed.exposure = -1;
        WriteFits(untimed, At("untimed.fits"));
        QVERIFY(WritePicture(At("picture.png"), 31, 17, 1));
        const auto before = Listing(dir_->path());
        const CliRun run = RunCli(
            QStringList{"filter", "--profile", "flat.fits", "-d", "."} + arguments, dir_->path());
        QVERIFY(run.exitCode != 0);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(Listing(dir_->path()), before);
    }

    // Nothing is written, and the message names the file and what is wrong.
    void RefusesBadFrames_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("sizes differ") << QStringList{"a.fits", "small.fits"}
                                      << "small.fits is 20 x 10, but a.fits is 31 x 17";
        QTest::newRow("cut short") << QStringList{"a.fits", "cut.fits"} << "cut.fits";
        QTest::newRow("not FITS") << QStringList{"a.fits", "text.fits"} << "cannot read text.fits";
        QTest::newRow("no frames") << QStringList{} << "no FRAME";
        QTest::newRow("K not positive")
            << QStringList{"--low", "-1", "a.fits"} << "--low needs a positive number";
        QTest::newRow("master over a frame")
            << QStringList{"a.fits", "master.fits"} << "would replace the frame";
    }
    void RefusesBadFrames() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        WriteFits(Fits{}, At("a.fits"));
        Fits small;
        small.width = 20;
        small.height = 10;
        WriteFits(small, At("small.fits"));
        QByteArray whole = ReadFileBytes(At("a.fits"));
        QVERIFY(WriteFileBytes(At("cut.fits"), whole.left(whole.size() - 600)));
        QVERIFY(WriteFileBytes(At("text.fits"), "not a frame\n"));
        QVERIFY(WriteFileBytes(At("master.fits"), whole));
        const auto before = Listing(dir_->path());
        const CliRun run =
            RunCli(QStringList{"master", "-o", "master.fits"} + arguments, dir_->path());
        QVERIFY(run.exitCode != 0);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(Listing(dir_->path()), before);
    }
};

}  // namespace

QTEST_GUILESS_MAIN(FramesTest)
#include "test_cli_frames.moc"
