// velmora-cli's map sidecar, tune --smooth, filter --mode gain and the size check, run as the real
// program and compared with the core's calls made here step by step.

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstring>

#include "cli_test_support.h"
#include "correction/correction_map.h"
#include "correction/filtering.h"
#include "correction/gain.h"
#include "correction/picture_bytes.h"
#include "correction/pixel_bytes.h"
#include "correction/smoothing.h"
#include "correction/tuning.h"
#include "platform/picture_file.h"

using namespace velmora;
using namespace velmora::clitest;

namespace {

// An evenly lit card seen through a lens: darker towards the corners, a little more in red
// than in blue, with noise. Each lane has a level of its own, so that lanes mixed up show.
QImage MakeCard(int width, int height, quint32 seed) {
    QImage image(width, height, QImage::Format_RGB888);
    QRandomGenerator rng(seed);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const double dx = (x - width / 2.0) / width;
            const double dy = (y - height / 2.0) / width;
            const double falloff = 1.0 - 1.6 * (dx * dx + dy * dy);
            for (int c = 0; c < 3; ++c) {
                const double level =
                    (190.0 + 20.0 * c) * falloff * (1.0 - 0.05 * c * (dx * dx + dy * dy));
                line[3 * x + c] = uchar(std::clamp(level + rng.bounded(7) - 3, 0.0, 255.0));
            }
        }
    }
    return image;
}

struct Tuned {
    CorrectionMap map;
    ReferenceGroup reference;
    QByteArray preview;  // the preview BMP's bytes
};

// The window's "load" and "tuning" on `reference`, with SmoothPixelBytes between the read-in
// and the tuning when `radius` is above 0; `scratch` receives the preview.
Tuned TuneByHand(const QString& reference, int radius, const QString& scratch) {
    Tuned tuned;
    LoadedPicture picture = LoadPictureFile(reference);
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    SmoothPixelBytes(pixels, radius);
    tuned.reference = TuneCorrectionMap(pixels, tuned.map);
    const std::vector<std::uint8_t> preview =
        MapPreview(tuned.map, size.bmWidthBytes, size.bmHeight);
    WritePictureBytes(&picture.bitmap, size, preview.data(), {});
    SavePictureAsBitmapFile(picture.bitmap, scratch);
    tuned.preview = ReadFileBytes(scratch);
    return tuned;
}

// "load", the gain and "save(bmp)" by hand.
QByteArray GainByHand(const QString& input, const CorrectionMap& map,
                      const std::array<std::uint8_t, 3>& centre, const QString& scratch) {
    LoadedPicture picture = LoadPictureFile(input);
    PixelBytes pixels;
    const BITMAP size = ReadPictureBytes(&picture.bitmap, pixels);
    ApplyGain(pixels, map, centre);
    WritePictureBytes(&picture.bitmap, size, pixels.data(), {});
    SavePictureAsBitmapFile(picture.bitmap, scratch);
    return ReadFileBytes(scratch);
}

QByteArray MapBytes(const CorrectionMap& map) {
    return QByteArray(reinterpret_cast<const char*>(map.data()), qsizetype(kMapBytes));
}

QJsonObject ReadJson(const QString& path) {
    return QJsonDocument::fromJson(ReadFileBytes(path)).object();
}

}  // namespace

class TestCliGain : public QObject {
    Q_OBJECT

  private slots:
    void init();

    void sidecarRecordsTheTuning_data();
    void sidecarRecordsTheTuning();
    void smoothingIsTheCoreSmoothingBeforeTuning_data();
    void smoothingIsTheCoreSmoothingBeforeTuning();
    void sidecarThatCannotBeReplacedLeavesTheMap();

    void gainWritesTheCoreGain_data();
    void gainWritesTheCoreGain();
    void gainRefusedWithoutValidSidecar_data();
    void gainRefusedWithoutValidSidecar();

    void sizeCheckWarnsAndChangesNoByte_data();
    void sizeCheckWarnsAndChangesNoByte();
    void staleSidecarIsIgnoredByTheOtherModes();

  private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    void writeCard(const QString& name, int width, int height, quint32 seed) {
        QVERIFY2(MakeCard(width, height, seed).save(path(name)), qPrintable(name));
    }
    CliRun tune(const QStringList& extra) {
        return RunCli(QStringList{"tune", "card.png"} + extra, dir_->path());
    }

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliGain::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    writeCard("card.png", 320, 240, 1);
}

void TestCliGain::sidecarRecordsTheTuning_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("mapFile");
    QTest::addColumn<int>("radius");
    QTest::newRow("default map, no smoothing") << QStringList{} << "data.dat" << 0;
    QTest::newRow("map in a folder, smoothed")
        << QStringList{"--map", "maps/lens.dat", "--smooth", "5"} << "maps/lens.dat" << 5;
}

void TestCliGain::sidecarRecordsTheTuning() {
    QFETCH(QStringList, options);
    QFETCH(QString, mapFile);
    QFETCH(int, radius);
    QVERIFY(QDir(dir_->path()).mkpath("maps"));
    const Tuned expected = TuneByHand(path("card.png"), radius, path("scratch.bmp"));

    const CliRun run = tune(options);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains("its sidecar in " + mapFile + ".json"), qPrintable(run.out));
    const QByteArray map = ReadFileBytes(path(mapFile));
    QVERIFY(map == MapBytes(expected.map));

    const QJsonObject json = ReadJson(path(mapFile + ".json"));
    QCOMPARE(json["format"].toString(), QString("velmora-map-sidecar"));
    QCOMPARE(json["version"].toInt(), 1);
    const QJsonObject mapPart = json["map"].toObject();
    QCOMPARE(mapPart["file"].toString(), QFileInfo(mapFile).fileName());
    QCOMPARE(mapPart["sha256"].toString().toLatin1(),
             QCryptographicHash::hash(map, QCryptographicHash::Sha256).toHex());
    const QJsonObject reference = json["reference"].toObject();
    QCOMPARE(reference["file"].toString(), QString("card.png"));
    QCOMPARE(reference["width"].toInt(), 320);
    QCOMPARE(reference["height"].toInt(), 240);
    QCOMPARE(reference["widthBytes"].toInt(), 960);
    QCOMPARE(reference["rows"].toInt(), 240);
    const QJsonObject centre = json["centre"].toObject();
    QCOMPARE(centre["row"].toInt(), 120);
    QCOMPARE(centre["byte"].toInt(), 480);
    const QJsonArray bytes = centre["bytes"].toArray();
    QCOMPARE(bytes.size(), 3);
    for (int k = 0; k < 3; ++k)
        QCOMPARE(bytes[k].toInt(-1), int(expected.reference.values[k]));
    QCOMPARE(json["smoothing"].toObject()["radius"].toInt(-1), radius);
    QCOMPARE(run.out.contains("Reference smoothed"), radius > 0);
}

void TestCliGain::smoothingIsTheCoreSmoothingBeforeTuning_data() {
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("radius");
    // The odd height makes the smoothing's edges unequal at top and bottom.
    QTest::newRow("radius 0: today's tuning") << "card.png" << 0;
    QTest::newRow("radius 1") << "odd.png" << 1;
    QTest::newRow("radius 8") << "odd.png" << 8;
    QTest::newRow("radius wider than the picture") << "odd.png" << 100;
}

void TestCliGain::smoothingIsTheCoreSmoothingBeforeTuning() {
    QFETCH(QString, card);
    QFETCH(int, radius);
    writeCard("odd.png", 90, 61, 2);
    // Cells outside the card's area keep what the map held.
    const QByteArray startingMap = RandomMapBytes(3, 255);
    QVERIFY(WriteFileBytes(path("data.dat"), startingMap));
    Tuned expected;
    std::memcpy(expected.map.data(), startingMap.constData(), kMapBytes);
    {
        LoadedPicture picture = LoadPictureFile(path(card));
        PixelBytes pixels;
        ReadPictureBytes(&picture.bitmap, pixels);
        SmoothPixelBytes(pixels, radius);
        expected.reference = TuneCorrectionMap(pixels, expected.map);
    }
    const Tuned byHand = TuneByHand(path(card), radius, path("scratch.bmp"));

    const CliRun run =
        RunCli({"tune", card, "--smooth", QString::number(radius), "--preview", "preview.bmp"},
               dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(ReadFileBytes(path("data.dat")) == MapBytes(expected.map));
    QVERIFY(ReadFileBytes(path("preview.bmp")) == byHand.preview);

    if (radius == 0) {
        // Exactly what tune does without the option.
        QVERIFY(WriteFileBytes(path("data.dat"), startingMap));
        const CliRun plain = RunCli({"tune", card, "--preview", "plain.bmp"}, dir_->path());
        QVERIFY2(plain.exitCode == 0, qPrintable(plain.err));
        QVERIFY(ReadFileBytes(path("data.dat")) == MapBytes(expected.map));
        QVERIFY(ReadFileBytes(path("plain.bmp")) == byHand.preview);
    }
}

// The sidecar is checked before the map is stored: a map whose sidecar could not be replaced
// would be left with a sidecar describing an older map.
void TestCliGain::sidecarThatCannotBeReplacedLeavesTheMap() {
    const QByteArray startingMap = RandomMapBytes(4, 100);
    QVERIFY(WriteFileBytes(path("data.dat"), startingMap));

    QVERIFY(QDir(dir_->path()).mkpath("data.dat.json"));
    CliRun run = tune({});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("data.dat.json is a folder"), qPrintable(run.err));
    QCOMPARE(ReadFileBytes(path("data.dat")), startingMap);
    QVERIFY(QDir(dir_->path()).rmdir("data.dat.json"));

    QVERIFY(WriteFileBytes(path("data.dat.json"), "{}"));
    QVERIFY(QFile::setPermissions(path("data.dat.json"), QFile::ReadOwner));
    const auto before = Listing(dir_->path());
    run = tune({});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("File error: cannot save data.dat.json: it is read-only"),
             qPrintable(run.err));
    QCOMPARE(Listing(dir_->path()), before);

    run = tune({"--preview", "data.dat.json"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("is the map's sidecar"), qPrintable(run.err));
    QCOMPARE(Listing(dir_->path()), before);
}

void TestCliGain::gainWritesTheCoreGain_data() {
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("cardWidth");
    QTest::addColumn<int>("cardHeight");
    QTest::addColumn<QStringList>("pictures");
    QTest::addColumn<int>("radius");
    // Odd widths carry a filler byte per row; pictures larger than the card take cells the
    // card did not write (left at 0 here, as no map existed before).
    const QStringList mixed{"odd-width.jpg", "gray.jpg", "card-size.png", "larger.png"};
    QTest::newRow("small card") << "card.png" << 320 << 240 << mixed << 0;
    QTest::newRow("small card, smoothed") << "card.png" << 320 << 240 << mixed << 3;
    QTest::newRow("card of the map's full size")
        << "full.png" << 1600 << 1200 << QStringList{"full-photo.jpg", "odd-width.jpg"} << 8;
}

void TestCliGain::gainWritesTheCoreGain() {
    QFETCH(QString, card);
    QFETCH(int, cardWidth);
    QFETCH(int, cardHeight);
    QFETCH(QStringList, pictures);
    QFETCH(int, radius);
    if (card != "card.png") writeCard(card, cardWidth, cardHeight, 5);
    QVERIFY(WritePicture(path("odd-width.jpg"), 101, 77, 6));
    QVERIFY(MakeImage(30, 20, 7).convertToFormat(QImage::Format_Grayscale8).save(path("gray.jpg")));
    QVERIFY(WritePicture(path("card-size.png"), 320, 240, 8));
    QVERIFY(WritePicture(path("larger.png"), 400, 260, 9));
    QVERIFY(WritePicture(path("full-photo.jpg"), 1600, 1200, 10));
    const Tuned tuned = TuneByHand(path(card), radius, path("scratch.bmp"));

    CliRun run = RunCli({"tune", card, "--smooth", QString::number(radius)}, dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(QDir(dir_->path()).mkpath("out"));
    run = RunCli(QStringList{"filter", "--mode", "gain", "--jobs", "3", "-d", "out"} + pictures,
                 dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    for (const QString& picture : pictures) {
        const QByteArray expected =
            GainByHand(path(picture), tuned.map, tuned.reference.values, path("expected.bmp"));
        QVERIFY(!expected.isEmpty());
        QVERIFY2(ReadFileBytes(path("out/" + picture + ".bmp")) == expected, qPrintable(picture));
    }
}

void TestCliGain::gainRefusedWithoutValidSidecar_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no sidecar") << "remove sidecar"
                                << "data.dat.json does not exist";
    QTest::newRow("no map") << "remove map"
                            << "there is no map data.dat";
    QTest::newRow("map tuned again elsewhere") << "change map"
                                               << "data.dat.json is stale";
    QTest::newRow("sidecar is a folder") << "folder"
                                         << "cannot be read: it is a folder";
    QTest::newRow("not JSON") << "text:not json"
                              << "is not valid JSON";
    QTest::newRow("cut short") << "cut"
                               << "is not valid JSON";
    QTest::newRow("JSON of another kind") << "text:[1, 2, 3]"
                                          << "is not a JSON object";
    QTest::newRow("another format") << "text:{\"format\": \"other\"}"
                                    << "is not a map sidecar";
    QTest::newRow("newer version") << "field:version=2"
                                   << "has version 2";
    QTest::newRow("centre byte beyond 255") << "field:centre.bytes=[200, 256, 190]"
                                            << "\"bytes[1]\" is not a whole number";
    QTest::newRow("two centre bytes") << "field:centre.bytes=[200, 190]"
                                      << "three bytes";
    QTest::newRow("hash of the wrong length") << "field:map.sha256=\"abc\""
                                              << "64 lower-case hex";
    QTest::newRow("reference without a width") << "field:reference.width=0"
                                               << "\"width\" is not a whole number from 1 to 1600";
}

void TestCliGain::gainRefusedWithoutValidSidecar() {
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    QVERIFY(WritePicture(path("photo.jpg"), 320, 240, 11));
    const CliRun tuned = tune({});
    QVERIFY2(tuned.exitCode == 0, qPrintable(tuned.err));
    const QString sidecar = path("data.dat.json");
    const QByteArray json = ReadFileBytes(sidecar);

    if (damage == "remove sidecar") {
        QVERIFY(QFile::remove(sidecar));
    } else if (damage == "remove map") {
        QVERIFY(QFile::remove(path("data.dat")));
    } else if (damage == "change map") {
        QByteArray map = ReadFileBytes(path("data.dat"));
        map[4800 * 239 + 3] = char(map[4800 * 239 + 3] ^ 1);
        QVERIFY(WriteFileBytes(path("data.dat"), map));
    } else if (damage == "folder") {
        QVERIFY(QFile::remove(sidecar));
        QVERIFY(QDir(dir_->path()).mkpath("data.dat.json"));
    } else if (damage == "cut") {
        QVERIFY(WriteFileBytes(sidecar, json.left(json.size() / 2)));
    } else if (damage.startsWith("text:")) {
        QVERIFY(WriteFileBytes(sidecar, damage.mid(5).toUtf8()));
    } else if (damage.startsWith("field:")) {
        // field:<object>.<key>=<JSON value> or field:<key>=<JSON value>
        const QString assignment = damage.mid(6);
        const QString where = assignment.section('=', 0, 0);
        const QJsonValue value =
            QJsonDocument::fromJson(("[" + assignment.section('=', 1) + "]").toUtf8())
                .array()
                .at(0);
        QJsonObject root = QJsonDocument::fromJson(json).object();
        if (where.contains('.')) {
            QJsonObject part = root[where.section('.', 0, 0)].toObject();
            part[where.section('.', 1)] = value;
            root[where.section('.', 0, 0)] = part;
        } else {
            root[where] = value;
        }
        QVERIFY(WriteFileBytes(sidecar, QJsonDocument(root).toJson()));
    }
    const auto before = Listing(dir_->path());

    const CliRun run = RunCli({"filter", "--mode", "gain", "photo.jpg"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(reason), qPrintable(run.err));
    QVERIFY2(run.err.contains("nothing was done"), qPrintable(run.err));
    QVERIFY2(run.err.contains("velmora-cli tune REFERENCE --map data.dat"), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(Listing(dir_->path()), before);
}

void TestCliGain::sizeCheckWarnsAndChangesNoByte_data() {
    QTest::addColumn<QString>("mode");
    for (const char* mode : {"plain", "offset", "scale", "gain"})
        QTest::newRow(mode) << QString(mode);
}

void TestCliGain::sizeCheckWarnsAndChangesNoByte() {
    QFETCH(QString, mode);
    QVERIFY(WritePicture(path("same.jpg"), 320, 240, 12));
    QVERIFY(WritePicture(path("narrow %2.jpg"), 319, 240, 13));
    QVERIFY(WritePicture(path("short.png"), 320, 200, 14));
    const Tuned tuned = TuneByHand(path("card.png"), 0, path("scratch.bmp"));
    const CliRun tuning = tune({});
    QVERIFY2(tuning.exitCode == 0, qPrintable(tuning.err));

    // --quiet keeps the warnings: a result that will not line up is worth a line. A "%2" in a
    // file name stays as it is in the warning.
    const CliRun run = RunCli(
        {"filter", "-q", "--mode", mode, "-j", "2", "same.jpg", "narrow %2.jpg", "short.png"},
        dir_->path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(
        run.err.contains("narrow %2.jpg: Warning: the picture is 319 x 240 pixels, but the map "
                         "was measured on card.png of 320 x 240 pixels"),
        qPrintable(run.err));
    QVERIFY2(run.err.contains("short.png: Warning: the picture is 320 x 200 pixels"),
             qPrintable(run.err));
    QVERIFY2(run.err.contains("top-left cells"), qPrintable(run.err));
    QVERIFY2(!run.err.contains("same.jpg"), qPrintable(run.err));
    QCOMPARE(run.err.count('\n'), 2);

    // The results are the bytes of the round trip, warned or not.
    for (const QString picture : {"same.jpg", "narrow %2.jpg", "short.png"}) {
        QByteArray expected;
        if (mode == "gain") {
            expected =
                GainByHand(path(picture), tuned.map, tuned.reference.values, path("expected.bmp"));
        } else {
            const FilterMode filterMode = mode == "plain"    ? FilterMode::PlainAdd
                                          : mode == "offset" ? FilterMode::PeakOffset
                                                             : FilterMode::PeakScale;
            LoadedPicture loaded = LoadPictureFile(path(picture));
            PixelBytes pixels;
            const BITMAP size = ReadPictureBytes(&loaded.bitmap, pixels);
            FilterPixelBytes(pixels, tuned.map, filterMode, "30", '.');
            WritePictureBytes(&loaded.bitmap, size, pixels.data(), {});
            SavePictureAsBitmapFile(loaded.bitmap, path("expected.bmp"));
            expected = ReadFileBytes(path("expected.bmp"));
        }
        QVERIFY(!expected.isEmpty());
        QVERIFY2(ReadFileBytes(path(picture + ".bmp")) == expected, qPrintable(picture));
    }
}

// A map tuned again in the window leaves the sidecar stale: the window's modes go on as before,
// without a size check built on a reference that no longer made the map.
void TestCliGain::staleSidecarIsIgnoredByTheOtherModes() {
    QVERIFY(WritePicture(path("narrow.jpg"), 100, 240, 15));
    const CliRun tuning = tune({});
    QVERIFY2(tuning.exitCode == 0, qPrintable(tuning.err));
    QVERIFY(WriteFileBytes(path("data.dat"), RandomMapBytes(16, 90)));

    const CliRun run = RunCli({"filter", "-q", "narrow.jpg"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QVERIFY(QFileInfo(path("narrow.jpg.bmp")).isFile());
}

QTEST_GUILESS_MAIN(TestCliGain)
#include "test_cli_gain.moc"
