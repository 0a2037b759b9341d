// velmora-cli on raw pictures: DNGs written here (libtiff) with a falloff that differs per colour
// and a black level per position, measured into raw profiles, corrected back out to DNG, read
// back by LibRaw and, where it is installed, by dcraw.
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstring>
#include <functional>

#include "cli_test_support.h"
#include "correction/cfa_planes.h"
#include "platform/dng_writer.h"
#include "platform/raw_file.h"
#include "platform/tiff_file.h"

using namespace velmora;
using namespace velmora::clitest;

namespace {

constexpr double kWhite = 16383;

// The light a lens lets through at (x, y) of a width x height frame for colour c: red falls
// off most, blue least, so that an uncorrected card turns cyan at the corners.
double Falloff(double x, double y, double width, double height, int colour) {
    // Of the pixel's centre, so that a picture of half the size sees the same lens.
    const double dx = (x + 0.5 - width / 2) / (width / 2);
    const double dy = (y + 0.5 - height / 2) / (height / 2);
    const double r2 = (dx * dx + dy * dy) / 2;
    const double strength[] = {0.55, 0.45, 0.35};
    return 1 - strength[colour] * r2;
}

struct Dng {
    QString letters = "RGGB";
    int width = 240;
    int height = 160;
    std::array<double, 36> black{};
    // The scene's signal above black at (x, y) for colour c, before the lens.
    std::function<double(int, int, int)> scene = [](int, int, int) { return 9000.0; };
    bool lens = true;
    std::function<double(int, int)> dark;  // added current, where given
    std::array<double, 4> crop{};          // DefaultCrop, where given
    double baselineExposure = 0;
};

RawHeader HeaderOf(const Dng& dng) {
    RawHeader header;
    header.width = dng.width;
    header.height = dng.height;
    header.cfa = CfaFromLetters(dng.letters.toStdString());
    header.channels = header.cfa.empty() ? 3 : 1;  // no letters: a linear DNG
    header.levels.black = dng.black;
    header.levels.white = kWhite;
    header.make = "Velmora";
    header.model = "Test Camera";
    header.uniqueModel = "Velmora Test Camera";
    header.colour.matrix1 = {0.9, -0.3, -0.1, -0.4, 1.2, 0.2, -0.1, 0.2, 0.6};
    header.colour.asShotNeutral = {0.5, 1, 0.7};
    header.crop = dng.crop;
    header.baselineExposure = dng.baselineExposure;
    return header;
}

std::vector<std::uint16_t> SamplesOf(const Dng& dng) {
    const RawHeader header = HeaderOf(dng);
    const int channels = header.channels;
    std::vector<std::uint16_t> samples(std::size_t(dng.width) * dng.height * channels);
    for (int y = 0; y < dng.height; ++y) {
        for (int x = 0; x < dng.width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const int p = header.cfa.empty() ? 0 : PositionAt(header.cfa, x, y);
                const int colour = header.cfa.empty() ? c : header.cfa.colour[std::size_t(p)];
                double value = dng.scene(x, y, colour);
                if (dng.lens) value *= Falloff(x, y, dng.width, dng.height, colour);
                value += dng.black[std::size_t(p)] + (dng.dark ? dng.dark(x, y) : 0);
                samples[(std::size_t(y) * dng.width + x) * channels + c] =
                    std::uint16_t(std::clamp(std::nearbyint(value), 0.0, kWhite));
            }
        }
    }
    return samples;
}

void WriteTestDng(const Dng& dng, const QString& path) {
    const RawHeader header = HeaderOf(dng);
    const std::vector<std::uint16_t> samples = SamplesOf(dng);
    DngImage image;
    image.header = &header;
    image.samples = ImageView<const std::uint16_t>::Packed(samples.data(), dng.width, dng.height,
                                                           header.channels, header.channels);
    WriteDng(image, path, {}, Durability::FlushLater);
}

// dcraw's totally raw values of a DNG, or nothing where dcraw is not installed.
std::optional<std::vector<std::uint16_t>> DcrawValues(const QString& path) {
    if (QStandardPaths::findExecutable("dcraw").isEmpty()) return std::nullopt;
    QProcess dcraw;
    dcraw.start("dcraw", {"-D", "-4", "-t", "0", "-c", path});
    dcraw.waitForFinished(60000);
    QByteArray pgm = dcraw.readAllStandardOutput();
    // "P5\n<width> <height>\n65535\n" then big-endian samples.
    int newlines = 0;
    qsizetype at = 0;
    while (at < pgm.size() && newlines < 3)
        newlines += pgm[at++] == '\n';
    std::vector<std::uint16_t> values(std::size_t(pgm.size() - at) / 2);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = std::uint16_t(std::uint8_t(pgm[at + 2 * qsizetype(i)]) << 8 |
                                  std::uint8_t(pgm[at + 2 * qsizetype(i) + 1]));
    return values;
}

}  // namespace

class RawTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString At(const QString& name) const { return dir_->filePath(name); }

  private Q_SLOTS:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        // VELMORA_KEEP_TEST_FILES=1 keeps the DNGs, to open them in other programs.
        dir_->setAutoRemove(qEnvironmentVariableIsEmpty("VELMORA_KEEP_TEST_FILES"));
        RegisterDngTags();
    }

    // A card corrected by its own profile comes out flat in every plane, in every layout and
    // phase; a light's signal comes out as the scene times the centre's light; values at white
    // stay white; LibRaw and dcraw read the same corrected values.
    void CorrectsEachPlaneBackToItsCentre_data() {
        QTest::addColumn<QString>("letters");
        QTest::addColumn<int>("width");
        QTest::newRow("Bayer RGGB") << "RGGB" << 240;
        QTest::newRow("Bayer GBRG") << "GBRG" << 240;
        QTest::newRow("X-Trans") << "GGRGGBGGBGGRBRGRBGGGBGGRGGRGGBRBGBRG" << 246;
    }
    void CorrectsEachPlaneBackToItsCentre() {
        QFETCH(QString, letters);
        QFETCH(int, width);
        Dng card;
        card.letters = letters;
        card.width = width;
        for (int p = 0; p < 36; ++p)
            card.black[std::size_t(p)] = 500 + 3 * (p % 5);
        WriteTestDng(card, At("card.dng"));
        CliRun run =
            RunCli({"tune", "card.dng", "--profile", "lens.tif", "--smooth", "0"}, dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains("raw"), qPrintable(run.out));

        Dng light = card;
        light.scene = [](int x, int y, int c) {
            return x == 3 && y == 3 ? 40000.0 : 300.0 + 40 * ((x * 7 + y * 3 + c) % 97);
        };
        WriteTestDng(light, At("light.dng"));
        run = RunCli({"filter", "--profile", "lens.tif", "card.dng", "light.dng"}, dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));

        const RawPicture flat = ReadRaw(At("card.dng.dng"));
        const RawPicture out = ReadRaw(At("light.dng.dng"));
        QCOMPARE(CfaLetters(out.header.cfa), letters.toStdString());
        for (int p = 0; p < Positions(out.header.cfa); ++p)
            QCOMPARE(out.header.levels.black[std::size_t(p)], card.black[std::size_t(p)]);

        const CfaPattern cfa = out.header.cfa;
        // Each plane's light after the correction, as the card's mean shows it.
        std::array<double, 36> level{};
        std::array<int, 36> count{};
        for (int y = 0; y < card.height; ++y) {
            for (int x = 0; x < card.width; ++x) {
                const int p = PositionAt(cfa, x, y);
                level[std::size_t(p)] +=
                    (flat.samples[std::size_t(y) * card.width + x] - card.black[std::size_t(p)]) /
                    9000.0;
                ++count[std::size_t(p)];
            }
        }
        for (int y = 0; y < card.height; ++y) {
            for (int x = 0; x < card.width; ++x) {
                const int p = PositionAt(cfa, x, y);
                const int colour = cfa.colour[std::size_t(p)];
                const std::size_t i = std::size_t(y) * card.width + x;
                const double centre = level[std::size_t(p)] / count[std::size_t(p)];
                QVERIFY(std::abs(centre - Falloff(card.width / 2, card.height / 2, card.width,
                                                  card.height, colour)) < 1e-2);
                const double black = card.black[std::size_t(p)];
                QVERIFY2(
                    std::abs(flat.samples[i] - black - 9000 * centre) <= 2,
                    qPrintable(QString("card at %1,%2: %3").arg(x).arg(y).arg(flat.samples[i])));
                const double expected =
                    x == 3 && y == 3 ? kWhite : light.scene(x, y, colour) * centre + black;
                QVERIFY2(std::abs(out.samples[i] - expected) <= 2,
                         qPrintable(QString("light at %1,%2: %3, not %4")
                                        .arg(x)
                                        .arg(y)
                                        .arg(out.samples[i])
                                        .arg(expected)));
            }
        }
        if (const auto dcraw = DcrawValues(At("light.dng.dng"))) {
            QVERIFY(
                std::equal(dcraw->begin(), dcraw->end(), out.samples.begin(), out.samples.end()));
        } else {
            qInfo("dcraw is not installed: the DNG was read back by LibRaw alone.");
        }
    }

    // A linear DNG (demosaiced) is corrected per channel; a cropped raw mode (half the size, the
    // same aspect) per plane, from the full frame's profile; a card comes out flat either way.
    void CorrectsLinearDngsAndOtherSizes_data() {
        QTest::addColumn<QString>("letters");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("linear DNG") << "" << 960 << 640;
        QTest::newRow("linear DNG, half size") << "" << 480 << 320;
        QTest::newRow("Bayer, half size") << "RGGB" << 480 << 320;
        QTest::newRow("X-Trans, half size") << "GGRGGBGGBGGRBRGRBGGGBGGRGGRGGBRBGBRG" << 480 << 320;
    }
    void CorrectsLinearDngsAndOtherSizes() {
        QFETCH(QString, letters);
        QFETCH(int, width);
        QFETCH(int, height);
        Dng card;
        card.letters = letters;
        card.width = 960;
        card.height = 640;
        card.black.fill(256);
        WriteTestDng(card, At("card.dng"));
        Dng small = card;
        small.width = width;
        small.height = height;
        WriteTestDng(small, At("small.dng"));
        QVERIFY(RunCli({"tune", "card.dng", "--profile", "lens.tif", "--smooth", "0"}, dir_->path())
                    .exitCode == 0);
        const CliRun run = RunCli({"filter", "--profile", "lens.tif", "small.dng"}, dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const RawPicture out = ReadRaw(At("small.dng.dng"));
        QCOMPARE(out.header.channels, letters.isEmpty() ? 3 : 1);
        // Each colour's corners and centre agree within 0.3 % (the smoothed falloff's residue).
        std::array<double, 3> lowest{1e9, 1e9, 1e9}, highest{};
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                for (int c = 0; c < out.header.channels; ++c) {
                    const int colour =
                        letters.isEmpty()
                            ? c
                            : out.header.cfa.colour[std::size_t(PositionAt(out.header.cfa, x, y))];
                    const double v =
                        out.samples[(std::size_t(y) * width + x) * out.header.channels + c] - 256.0;
                    lowest[std::size_t(colour)] = std::min(lowest[std::size_t(colour)], v);
                    highest[std::size_t(colour)] = std::max(highest[std::size_t(colour)], v);
                }
            }
        }
        for (int c = 0; c < 3; ++c)
            QVERIFY2(highest[std::size_t(c)] / lowest[std::size_t(c)] < 1.003,
                     qPrintable(QString("colour %1: %2 to %3")
                                    .arg(c)
                                    .arg(lowest[std::size_t(c)])
                                    .arg(highest[std::size_t(c)])));
    }

    // A dark frame's pattern (hot pixels, amp glow) leaves with --dark, in the profile and in
    // the light; what the output keeps is the file's black level.
    void SubtractsTheDarkFrame() {
        const auto glow = [](int x, int y) {
            return (x == 17 && y == 9 ? 3000.0 : 0.0) + 200.0 * std::exp(-x / 30.0);
        };
        Dng dark;
        dark.scene = [](int, int, int) { return 0.0; };
        dark.dark = glow;
        dark.black.fill(256);
        WriteTestDng(dark, At("dark.dng"));
        Dng card = dark;
        card.scene = [](int, int, int) { return 9000.0; };
        WriteTestDng(card, At("card.dng"));
        Dng light = card;
        light.scene = [](int, int, int) { return 4000.0; };
        WriteTestDng(light, At("light.dng"));
        CliRun run = RunCli(
            {"tune", "card.dng", "--dark", "dark.dng", "--profile", "lens.tif", "--smooth", "0"},
            dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        run = RunCli({"filter", "--profile", "lens.tif", "--dark", "dark.dng", "light.dng"},
                     dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const RawPicture out = ReadRaw(At("light.dng.dng"));
        const double centre = Falloff(120, 80, 240, 160, 1);
        for (const int x : {0, 17, 60, 239}) {
            const std::size_t i = std::size_t(9) * 240 + std::size_t(x);
            const int colour = out.header.cfa.colour[std::size_t(PositionAt(out.header.cfa, x, 9))];
            const double want = 4000 * Falloff(120, 80, 240, 160, colour) + 256;
            QVERIFY2(std::abs(out.samples[i] - want) <= 2,
                     qPrintable(QString("at %1: %2, not %3").arg(x).arg(out.samples[i]).arg(want)));
        }
        Q_UNUSED(centre);
    }

    // --gain-map leaves the samples as they are and adds one GainMap per plane whose gains,
    // applied to the card at their points, make it flat.
    void GainMapLeavesTheSamplesAndCarriesTheGains() {
        Dng card;
        card.black = {500, 503, 497, 501};
        WriteTestDng(card, At("card.dng"));
        QVERIFY(RunCli({"tune", "card.dng", "--profile", "lens.tif", "--smooth", "0"}, dir_->path())
                    .exitCode == 0);
        const CliRun run =
            RunCli({"filter", "--profile", "lens.tif", "--gain-map", "card.dng"}, dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const RawPicture in = ReadRaw(At("card.dng"));
        const RawPicture out = ReadRaw(At("card.dng.dng"));
        QVERIFY(in.samples == out.samples);

        std::string error;
        const TiffFile tif = OpenTiffFile(At("card.dng.dng"), "r", error);
        std::uint32_t count = 0;
        const std::uint8_t* list = nullptr;
        QVERIFY(TIFFGetField(tif.get(), kOpcodeList2Tag, &count, &list) == 1);
        const auto u32 = [&](std::size_t at) {
            return std::uint32_t(list[at]) << 24 | std::uint32_t(list[at + 1]) << 16 |
                   std::uint32_t(list[at + 2]) << 8 | list[at + 3];
        };
        QCOMPARE(u32(0), 4u);
        std::size_t at = 4;
        for (int opcode = 0; opcode < 4; ++opcode) {
            QCOMPARE(u32(at), 9u);  // GainMap
            const std::size_t params = at + 16;
            const std::uint32_t top = u32(params), left = u32(params + 4);
            QCOMPARE(u32(params + 24), 2u);  // row pitch
            const std::uint32_t down = u32(params + 32), across = u32(params + 36);
            QVERIFY(std::max(down, across) >= 64);
            const std::size_t gains = params + 76;
            // The map's last point lies on the frame's last sample of its plane.
            for (const auto& [i, j] :
                 {std::pair{0u, 0u}, {down / 2, across / 2}, {down - 1, across - 1}}) {
                const std::uint32_t bits = u32(gains + 4 * (i * across + j));
                float gain;
                std::memcpy(&gain, &bits, sizeof gain);
                const int y = std::clamp(
                    int(std::lround(i * 159.0 / (down - 1) - top) / 2 * 2 + top), 0, 159);
                const int x = std::clamp(
                    int(std::lround(j * 239.0 / (across - 1) - left) / 2 * 2 + left), 0, 239);
                const int p = PositionAt(in.header.cfa, x, y);
                const double signal =
                    in.samples[std::size_t(y) * 240 + std::size_t(x)] - card.black[std::size_t(p)];
                const double centre =
                    9000 * Falloff(120, 80, 240, 160, in.header.cfa.colour[std::size_t(p)]);
                QVERIFY2(std::abs(signal * gain / centre - 1) < 0.004,
                         qPrintable(QString("opcode %1 point %2,%3: %4")
                                        .arg(opcode)
                                        .arg(i)
                                        .arg(j)
                                        .arg(signal * gain / centre)));
            }
            at += 16 + u32(at + 12);
        }
        QCOMPARE(std::size_t(count), at);

        // Once more on its own output: the file's GainMaps are replaced, not added to.
        const CliRun again = RunCli(
            {"filter", "--profile", "lens.tif", "--gain-map", "-o", "twice.dng", "card.dng.dng"},
            dir_->path());
        QVERIFY2(again.exitCode == 0, qPrintable(again.err));
        QVERIFY2(again.err.contains("replaced"), qPrintable(again.err));
        const TiffFile twice = OpenTiffFile(At("twice.dng"), "r", error);
        QVERIFY(TIFFGetField(twice.get(), kOpcodeList2Tag, &count, &list) == 1);
        QCOMPARE(u32(0), 4u);
    }

    // What a converter shows of the frame and how bright goes along: DefaultCrop and
    // BaselineExposure of a DNG.
    void KeepsTheDefaultCropAndBaselineExposure() {
        Dng card;
        card.crop = {16, 10, 208, 140};
        card.baselineExposure = 0.5;
        WriteTestDng(card, At("card.dng"));
        QVERIFY(RunCli({"tune", "card.dng", "--profile", "lens.tif"}, dir_->path()).exitCode == 0);
        const CliRun run = RunCli({"filter", "--profile", "lens.tif", "card.dng"}, dir_->path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        const RawHeader out = ReadRawHeader(At("card.dng.dng"));
        QCOMPARE(out.crop, card.crop);
        QCOMPARE(out.baselineExposure, 0.5);
    }

    // What cannot be done is refused, naming the files, with nothing written.
    void Refuses_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("unwritten");
        QTest::newRow("raw profile, rendered picture")
            << QStringList{"filter", "--profile", "raw.tif", "scene.png"}
            << "measured from raw pictures"
            << "scene.png.png";
        QTest::newRow("rendered profile, raw picture")
            << QStringList{"filter", "--profile", "rendered.tif", "card.dng"}
            << "measured from rendered pictures"
            << "card.dng.dng";
        QTest::newRow("Bayer profile, X-Trans picture")
            << QStringList{"filter", "--profile", "raw.tif", "xtrans.dng"} << "X-Trans"
            << "xtrans.dng.dng";
        QTest::newRow("dark of another size")
            << QStringList{"filter", "--profile", "raw.tif", "--dark", "small.dng", "card.dng"}
            << "small.dng"
            << "card.dng.dng";
        QTest::newRow("raw and rendered references")
            << QStringList{"tune", "card.dng", "scene.png", "--profile", "mixed.tif"}
            << "all raw or all rendered"
            << "mixed.tif";
        QTest::newRow("the map's tuning") << QStringList{"tune", "card.dng"} << "raw file"
                                          << "data.dat";
        QTest::newRow("luminance alone")
            << QStringList{"filter", "--profile", "raw.tif", "--correct", "luminance", "card.dng"}
            << "rendered pictures only"
            << "card.dng.dng";
        QTest::newRow("cut short")
            << QStringList{"filter", "--profile", "raw.tif", "cut.dng"} << "cut.dng"
            << "cut.dng.dng";
        QTest::newRow("gain map with a dark frame")
            << QStringList{"filter", "--profile", "raw.tif", "--gain-map",
                           "--dark", "card.dng",  "card.dng"}
            << "--gain-map"
            << "card.dng.dng";
    }
    void Refuses() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        QFETCH(QString, unwritten);
        WriteTestDng(Dng{}, At("card.dng"));
        Dng small;
        small.width = 120;
        small.height = 80;
        WriteTestDng(small, At("small.dng"));
        Dng xtrans;
        xtrans.letters = "GGRGGBGGBGGRBRGRBGGGBGGRGGRGGBRBGBRG";
        WriteTestDng(xtrans, At("xtrans.dng"));
        QByteArray bytes = ReadFileBytes(At("card.dng"));
        WriteFileBytes(At("cut.dng"), bytes.left(bytes.size() / 2));
        QVERIFY(WritePicture(At("scene.png"), 60, 40, 1));
        QVERIFY(RunCli({"tune", "card.dng", "--profile", "raw.tif"}, dir_->path()).exitCode == 0);
        QVERIFY(RunCli({"tune", "scene.png", "--profile", "rendered.tif"}, dir_->path()).exitCode ==
                0);
        const CliRun run = RunCli(arguments, dir_->path());
        QVERIFY(run.exitCode != 0);
        QVERIFY2(run.err.contains(says), qPrintable(run.err));
        QVERIFY(!QFile::exists(At(unwritten)));
    }
};

QTEST_GUILESS_MAIN(RawTest)
#include "test_cli_raw.moc"
