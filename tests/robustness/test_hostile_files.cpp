// Hostile and unusual picture files, given to "load" in the window and to velmora-cli: each ends
// as a picture in the byte model or as a clear error that names the file and the kind.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

#include "cli_test_support.h"
#include "correction/error.h"
#include "window/form1.h"

using velmora::Error;
using velmora::ErrorKind;
using velmora::Form1;

namespace {

enum class Expect { Picture, PictureError };

}  // namespace

Q_DECLARE_METATYPE(Expect)

namespace {

using velmora::clitest::CliRun;
using velmora::clitest::RunCli;

QByteArray Encoded(const QImage& image, const char* format, int quality = 90) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format, quality)) qFatal("cannot encode a %s picture", format);
    return bytes;
}

QImage Ramp(int width, int height, QImage::Format format) {
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb((x * 37) & 255, (y * 53) & 255, ((x + y) * 11) & 255));
        }
    }
    return image.convertToFormat(format);
}

// A BMP header of 54 bytes that claims `width` x `height` pixels of 24 bits and holds none.
QByteArray ClaimingBitmapHeader(qint32 width, qint32 height) {
    QByteArray header(54, '\0');
    const auto put32 = [&header](int at, quint32 value) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = char(value >> (8 * i));
    };
    header[0] = 'B';
    header[1] = 'M';
    put32(2, 54);
    put32(10, 54);
    put32(14, 40);
    put32(18, quint32(width));
    put32(22, quint32(height));
    header[26] = 1;
    header[28] = 24;
    return header;
}

// `bytes` with the 32-bit little-endian field at `at` set to `value`.
QByteArray WithField32(QByteArray bytes, int at, quint32 value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (8 * i));
    return bytes;
}

QByteArray ProgressiveJpeg(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    if (!writer.write(image)) qFatal("cannot encode a progressive JPEG");
    return bytes;
}

// A JPEG whose EXIF block asks viewers to turn it a quarter to the right (orientation 6).
QByteArray WithExifRotation(const QByteArray& jpeg) {
    const char app1[] =
        "\xFF\xE1\x00\x22"
        "Exif\0\0"
        "MM\0\x2A\0\0\0\x08"
        "\0\x01"
        "\x01\x12\0\x03\0\0\0\x01\0\x06\0\0"
        "\0\0\0\0";
    return jpeg.left(2) + QByteArray(app1, sizeof app1 - 1) + jpeg.mid(2);
}

}  // namespace

class HostileFiles : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir folder_;
    QString work_;

    QString Write(const QString& relative, const QByteArray& bytes) {
        const QString path = folder_.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            qFatal("cannot write %s", qPrintable(path));
        }
        return path;
    }

  private slots:
    void initTestCase() {
        QVERIFY(folder_.isValid());
        work_ = folder_.filePath("work");
        QDir().mkpath(work_);
        QDir::setCurrent(work_);  // the window's "data.dat" lands here
    }

    void load_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Expect>("expect");
        QTest::addColumn<QSize>("size");

        const QByteArray jpeg = Encoded(Ramp(64, 48, QImage::Format_RGB888), "JPEG");
        const QByteArray bmp = Encoded(Ramp(64, 48, QImage::Format_RGB888), "BMP");
        const auto row = [](const char* name, const QString& path, Expect expect, QSize size = {}) {
            QTest::newRow(name) << path << expect << size;
        };

        row("zero-byte file", Write("empty.jpg", {}), Expect::PictureError);
        // Damaged: the pixel data is missing or cut short, which the decoders would fill with
        // grey or black.
        row("truncated JPEG", Write("truncated.jpg", jpeg.left(jpeg.size() / 2)),
            Expect::PictureError);
        const QByteArray progressive = ProgressiveJpeg(Ramp(64, 48, QImage::Format_RGB888));
        row("progressive JPEG cut in its last scan",
            Write("cut-progressive.jpg", progressive.left(progressive.size() - 40)),
            Expect::PictureError);
        row("truncated BMP", Write("truncated.bmp", bmp.left(bmp.size() / 2)),
            Expect::PictureError);
        row("BMP pixel data offset past the end",
            Write("offset-past.bmp", WithField32(bmp, 10, quint32(bmp.size()) + 100)),
            Expect::PictureError);
        row("BMP pixel data size past the end",
            Write("size-past.bmp", WithField32(bmp, 34, quint32(bmp.size()) * 2)),
            Expect::PictureError);
        const QByteArray png = Encoded(Ramp(64, 48, QImage::Format_RGB888), "PNG");
        row("PNG cut in its pixel data", Write("truncated.png", png.left(png.size() * 3 / 4)),
            Expect::PictureError);
        // Whole files that a check for missing data must not refuse.
        row("progressive JPEG", Write("progressive.jpg", progressive), Expect::Picture,
            QSize(64, 48));
        row("JPEG followed by a second picture",
            Write("trailer.jpg", jpeg + Encoded(Ramp(8, 8, QImage::Format_RGB888), "JPEG")),
            Expect::Picture, QSize(64, 48));
        const QByteArray palette = Encoded(Ramp(30, 20, QImage::Format_Indexed8), "BMP");
        row("top-down palette BMP", Write("top-down.bmp", WithField32(palette, 22, quint32(-20))),
            Expect::Picture, QSize(30, 20));
        row("text, not a picture", Write("notes.jpg", "These are notes, not a picture.\n"),
            Expect::PictureError);
        QDir().mkpath(folder_.filePath("folder.jpg"));
        row("a folder", folder_.filePath("folder.jpg"), Expect::PictureError);
        row("missing file", folder_.filePath("missing.jpg"), Expect::PictureError);
        row("BMP claiming 100000 x 100000", Write("huge.bmp", ClaimingBitmapHeader(100000, 100000)),
            Expect::PictureError);
        row("BMP claiming negative size", Write("negative.bmp", ClaimingBitmapHeader(-5, 0)),
            Expect::PictureError);
        row("PNG with alpha",
            Write("alpha.png", Encoded(Ramp(30, 20, QImage::Format_ARGB32), "PNG")),
            Expect::Picture, QSize(30, 20));
        row("16-bit PNG", Write("deep.png", Encoded(Ramp(30, 20, QImage::Format_RGBA64), "PNG")),
            Expect::Picture, QSize(30, 20));
        row("grayscale JPEG",
            Write("gray.jpg", Encoded(Ramp(31, 20, QImage::Format_Grayscale8), "JPEG")),
            Expect::Picture, QSize(31, 20));
        QFile cmyk(QStringLiteral(VELMORA_TEST_FILES "/cmyk.jpg"));
        QVERIFY(cmyk.open(QIODevice::ReadOnly));
        row("CMYK JPEG", Write("cmyk.jpg", cmyk.readAll()), Expect::Picture, QSize(16, 8));
        row("JPEG with EXIF rotation, in the camera's frame",
            Write("rotated.jpg", WithExifRotation(jpeg)), Expect::Picture, QSize(64, 48));
        row("non-ASCII path", Write("写真 テスト/ファイル é.jpg", jpeg), Expect::Picture,
            QSize(64, 48));
        QString deep;
        for (int i = 0; i < 6; ++i)
            deep += QString(100, QChar('a' + i)) + "/";
        row("path of over 600 bytes", Write(deep + QString(200, 'z') + ".jpg", jpeg),
            Expect::Picture, QSize(64, 48));
        row("1600 x 1200: 4800 bytes x 1200 rows",
            Write("full.jpg", Encoded(Ramp(1600, 1200, QImage::Format_RGB888), "JPEG")),
            Expect::Picture, QSize(1600, 1200));
    }

    // The window: a picture in the byte model, or a Picture error that names the file and
    // leaves Image1's picture and Text2 as they were.
    void load() {
        QFETCH(QString, path);
        QFETCH(Expect, expect);
        QFETCH(QSize, size);
        Form1 form;
        form.findChild<QLineEdit*>("Text1")->setText(path);
        form.findChild<QLineEdit*>("Text2")->setText("keep");
        std::optional<Error> error;
        try {
            form.Command1_Click();
        } catch (const Error& raised) {
            error = raised;
        }
        if (error) {
            QVERIFY2(expect != Expect::Picture, error->what());
            QCOMPARE(error->kind(), ErrorKind::Picture);
            QVERIFY2(QString::fromStdString(error->what()).contains(QFileInfo(path).fileName()),
                     error->what());
            QVERIFY(!form.workingPicture());
            QCOMPARE(form.findChild<QLineEdit*>("Text2")->text(), QString("keep"));
        } else {
            QVERIFY2(expect != Expect::PictureError, "an unusable file was loaded");
            const velmora::Bitmap& bitmap = form.workingPicture()->bitmap;
            QCOMPARE(QSize(bitmap.width(), bitmap.height()), size);
            QCOMPARE(bitmap.rowBytes(), (3 * size.width() + 1) / 2 * 2);
            QCOMPARE(form.findChild<QLineEdit*>("Text2")->text(), path + ".bmp");
        }

        // velmora-cli gives the same outcome, naming the file and the kind.
        const QString output = folder_.filePath("out.bmp");
        QFile::remove(output);
        const CliRun run = RunCli({"filter", path, "--output", output}, work_);
        if (error) {
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(
                run.err.contains(QFileInfo(path).fileName()) && run.err.contains("Picture error"),
                qPrintable(run.err));
            QVERIFY(!QFile::exists(output));
        } else {
            QVERIFY2(run.exitCode == 0, qPrintable(run.err));
            QImageReader written(output);
            QCOMPARE(written.size(), size);
        }
    }

    // Colour values survive a dropped alpha channel; gray keeps B = G = R; and the rotated JPEG
    // above really asks for a rotation, which the load leaves undone.
    void colourContent() {
        QImageReader rotated(folder_.filePath("rotated.jpg"));
        QCOMPARE(rotated.transformation(), QImageIOHandler::TransformationRotate90);

        Form1 form;
        auto* text1 = form.findChild<QLineEdit*>("Text1");
        QImage alpha(2, 1, QImage::Format_ARGB32);
        alpha.setPixel(0, 0, qRgba(10, 20, 30, 0));
        alpha.setPixel(1, 0, qRgba(200, 100, 50, 128));
        text1->setText(Write("colour-alpha.png", Encoded(alpha, "PNG")));
        form.Command1_Click();
        const velmora::Bitmap& bitmap = form.workingPicture()->bitmap;
        const std::uint8_t expected[] = {30, 20, 10, 50, 100, 200};
        QVERIFY(std::equal(std::begin(expected), std::end(expected), bitmap.row(0)));

        text1->setText(folder_.filePath("gray.jpg"));
        form.Command1_Click();
        const velmora::Bitmap& gray = form.workingPicture()->bitmap;
        for (int x = 0; x < gray.width(); ++x) {
            const std::uint8_t* pixel = gray.row(5) + 3 * x;
            QVERIFY(pixel[0] == pixel[1] && pixel[1] == pixel[2]);
        }
    }

    // A byte or a row beyond the map's 4800 x 1200 loads, but filtering and tuning refuse it
    // with subscript out of range and change nothing; the window and velmora-cli alike. Only
    // velmora-cli adds what serves larger pictures; the window says the map's words alone.
    void beyondTheMap_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("cause");
        QTest::newRow("1601 x 1200: 4804 bytes a row")
            << QSize(1601, 1200)
            << "the picture has 4804 bytes per row; the correction map holds 4800.";
        QTest::newRow("1600 x 1201: one row more")
            << QSize(1600, 1201) << "the picture has 1201 rows; the correction map holds 1200.";
    }

    void beyondTheMap() {
        QFETCH(QSize, size);
        QFETCH(QString, cause);
        const QString hint =
            " The map serves pictures up to 1600 x 1200 pixels; for larger pictures measure a "
            "lens profile with 'velmora-cli tune REFERENCE --profile FILE' and use 'filter "
            "--profile FILE'.";
        const QString path =
            Write(QString("beyond-%1x%2.png").arg(size.width()).arg(size.height()),
                  Encoded(Ramp(size.width(), size.height(), QImage::Format_RGB888), "PNG"));
        Form1 form;
        form.findChild<QLineEdit*>("Text1")->setText(path);
        form.Command1_Click();
        const QByteArray before(reinterpret_cast<const char*>(form.workingPicture()->bitmap.bits()),
                                qsizetype(form.workingPicture()->bitmap.byteCount()));
        for (auto handler : {&Form1::Command3_Click, &Form1::Command2_Click}) {
            try {
                (form.*handler)();
                QFAIL("a picture beyond the map was corrected");
            } catch (const Error& error) {
                QCOMPARE(error.kind(), ErrorKind::SubscriptOutOfRange);
                QCOMPARE(QString::fromStdString(error.cause()), cause);
            }
        }
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(form.workingPicture()->bitmap.bits()),
                            qsizetype(form.workingPicture()->bitmap.byteCount())),
                 before);
        QVERIFY(!QFile::exists(QDir(work_).filePath("data.dat")));

        const QString output = folder_.filePath("beyond.bmp");
        const CliRun run = RunCli({"filter", path, "--output", output}, work_);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(QFileInfo(path).fileName() +
                                  ": Subscript out of range: " + cause + hint),
                 qPrintable(run.err));
        QVERIFY(!QFile::exists(output));
        const CliRun tune = RunCli({"tune", path}, work_);
        QCOMPARE(tune.exitCode, 1);
        QVERIFY2(tune.err.contains("Subscript out of range: " + cause + hint),
                 qPrintable(tune.err));
        QVERIFY(!QFile::exists(QDir(work_).filePath("data.dat")));
    }
};

QTEST_MAIN(HostileFiles)
#include "test_hostile_files.moc"
