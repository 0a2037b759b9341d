// velmora-cli tune: the map it stores, the preview, the summary, and the map file left byte for
// byte as it was by every tuning that fails.

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstring>

#include "cli_test_support.h"
#include "correction/correction_map.h"
#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "correction/tuning.h"
#include "platform/picture_file.h"

using namespace velmora;
using namespace velmora::clitest;

class TestCliTune : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void storesMapPreviewAndSummary();
    void missingMapStartsFromZero();
    void clippedCentreWarns();
    void failedTuneLeavesMapUnchanged_data();
    void failedTuneLeavesMapUnchanged();
    void unwritablePreviewAfterCompleteTuning();

  private:
    QString path(const QString& name) const { return dir_->filePath(name); }

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliTune::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestCliTune::storesMapPreviewAndSummary() {
    const QByteArray startingMap = RandomMapBytes(7, 255);
    QVERIFY(WriteFileBytes(path("data.dat"), startingMap));
    QVERIFY(WritePicture(path("reference.png"), 320, 240, 8));

    // The same steps as the window's "load" and "tuning", done here by hand.
    CorrectionMap map;
    std::memcpy(map.data(), startingMap.constData(), kMapBytes);
    LoadedPicture picture = LoadPictureFile(path("reference.png"));
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    const ReferenceGroup reference = TuneCorrectionMap(pixels, map);
    const std::vector<std::uint8_t> preview = MapPreview(map, size.bmWidthBytes, size.bmHeight);
    WritePictureBytes(&picture.bitmap, size, preview.data(), {});
    SavePictureAsBitmapFile(picture.bitmap, path("expected-preview.bmp"));

    const CliRun run = RunCli({"tune", "reference.png", "--preview", "preview.bmp"}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QByteArray stored = ReadFileBytes(path("data.dat"));
    QVERIFY(stored == QByteArray(reinterpret_cast<const char*>(map.data()), qsizetype(kMapBytes)));
    // Cells outside the reference's 960 bytes x 240 rows keep what the file held.
    QCOMPARE(stored.mid(4800 * 240, 4800), startingMap.mid(4800 * 240, 4800));
    QCOMPARE(stored.mid(960, 4800 - 960), startingMap.mid(960, 4800 - 960));
    QVERIFY(ReadFileBytes(path("preview.bmp")) == ReadFileBytes(path("expected-preview.bmp")));

    std::uint8_t largest[3] = {};
    for (std::int32_t r = 0; r < 240; ++r)
        for (std::int32_t b = 0; b < 960; ++b)
            largest[b % 3] = std::max(largest[b % 3], map(b, r));
    QVERIFY2(run.out.contains("320 x 240 pixels"), qPrintable(run.out));
    QVERIFY2(run.out.contains(QString("Reference bytes (row 120, bytes 480-482): %1, %2, %3")
                                  .arg(reference.values[0])
                                  .arg(reference.values[1])
                                  .arg(reference.values[2])),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QString("Largest correction per lane: %1, %2, %3")
                                  .arg(largest[0])
                                  .arg(largest[1])
                                  .arg(largest[2])),
             qPrintable(run.out));
    QVERIFY2(run.out.contains("Area with a non-zero correction: "), qPrintable(run.out));
    QVERIFY2(run.out.contains("Map updated in data.dat"), qPrintable(run.out));
}

void TestCliTune::missingMapStartsFromZero() {
    // Darker towards the right: lane bytes fall below the centre only in the right half.
    QImage image(60, 10, QImage::Format_RGB888);
    for (int x = 0; x < 60; ++x)
        for (int y = 0; y < 10; ++y)
            image.setPixel(x, y, qRgb(200 - x, 200 - x, 200 - x));
    QVERIFY(image.save(path("ramp.png")));

    const CliRun run = RunCli({"tune", "ramp.png", "--map", "maps/first.dat"}, dir_->path());
    QCOMPARE(run.exitCode, 1);  // the folder of the map does not exist: nothing is stored
    QVERIFY(!QFileInfo::exists(path("maps/first.dat")));

    const CliRun stored = RunCli({"tune", "ramp.png", "--map", "first.dat"}, dir_->path());
    QVERIFY2(stored.exitCode == 0, qPrintable(stored.err));
    const QByteArray map = ReadFileBytes(path("first.dat"));
    QCOMPARE(map.size(), qsizetype(kMapBytes));
    // Centre pixel 30 holds 170; pixel 59 holds 141, so its cells are 29; row 10 on stays zero.
    QCOMPARE(int(uchar(map[3 * 59])), 29);
    QCOMPARE(int(uchar(map[3 * 10])), 0);
    QCOMPARE(map.mid(4800 * 10), QByteArray(qsizetype(kMapBytes) - 4800 * 10, '\0'));
    QVERIFY2(stored.out.contains("Largest correction per lane: 29, 29, 29"),
             qPrintable(stored.out));
    QVERIFY2(stored.out.contains("Area with a non-zero correction: 48.3 %"),
             qPrintable(stored.out));
    QVERIFY2(stored.out.contains("Map stored in first.dat"), qPrintable(stored.out));
    QVERIFY(!stored.out.contains("Warning"));
}

void TestCliTune::clippedCentreWarns() {
    QImage image(90, 60, QImage::Format_RGB888);
    image.fill(qRgb(180, 170, 160));
    image.setPixel(46, 31, qRgb(255, 120, 120));  // a blown highlight a pixel off the centre
    QVERIFY(image.save(path("clipped.png")));
    const CliRun run = RunCli({"tune", "clipped.png"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("Warning: 1 of the bytes near the centre are at 255"),
             qPrintable(run.out));
}

void TestCliTune::failedTuneLeavesMapUnchanged_data() {
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QByteArray>("mapBytes");
    QTest::addColumn<bool>("readOnlyMap");
    QTest::addColumn<QString>("kind");
    const QByteArray map = RandomMapBytes(11, 200);
    QTest::newRow("missing reference") << "lost.png" << map << false << "Picture error";
    QTest::newRow("not a picture") << "notes.png" << map << false << "Picture error";
    QTest::newRow("wider than the map") << "wide.png" << map << false << "Subscript out of range";
    QTest::newRow("taller than the map") << "tall.png" << map << false << "Subscript out of range";
    QTest::newRow("row not whole groups of three")
        << "five.png" << map << false << "Subscript out of range";
    QTest::newRow("narrower than the reference group")
        << "one.png" << map << false << "Subscript out of range";
    QTest::newRow("short map file") << "good.png" << map.left(4321) << false << "4321 bytes";
    QTest::newRow("read-only map file") << "good.png" << map << true << "File error";
}

void TestCliTune::failedTuneLeavesMapUnchanged() {
    QFETCH(QString, reference);
    QFETCH(QByteArray, mapBytes);
    QFETCH(bool, readOnlyMap);
    QFETCH(QString, kind);
    QVERIFY(WriteFileBytes(path("notes.png"), "no picture"));
    QVERIFY(WritePicture(path("wide.png"), 1601, 8, 1));
    QVERIFY(WritePicture(path("tall.png"), 8, 1201, 2));
    QVERIFY(WritePicture(path("five.png"), 5, 8, 3));
    QVERIFY(WritePicture(path("one.png"), 1, 8, 4));
    QVERIFY(WritePicture(path("good.png"), 64, 48, 5));
    QVERIFY(WriteFileBytes(path("data.dat"), mapBytes));
    if (readOnlyMap) QVERIFY(QFile::setPermissions(path("data.dat"), QFile::ReadOwner));
    const auto before = Listing(dir_->path());

    const CliRun run = RunCli({"tune", reference, "--preview", "preview.bmp"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(reference + ": ") && run.err.contains(kind), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(ReadFileBytes(path("data.dat")), mapBytes);
    QCOMPARE(Listing(dir_->path()), before);  // no preview, no temporary file left behind
}

// The preview is written after the map: a complete tuning is stored even when it cannot be.
void TestCliTune::unwritablePreviewAfterCompleteTuning() {
    QVERIFY(WritePicture(path("good.png"), 64, 48, 5));
    const CliRun run = RunCli({"tune", "good.png", "--preview", "/proc/preview.bmp"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("File error: cannot save /proc/preview.bmp"), qPrintable(run.err));
    QCOMPARE(ReadFileBytes(path("data.dat")).size(), qsizetype(kMapBytes));
}

QTEST_GUILESS_MAIN(TestCliTune)
#include "test_cli_tune.moc"
