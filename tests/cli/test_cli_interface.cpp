// velmora-cli's command line, its refusals and its reports, run as a real process.

#include <unistd.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "cli_test_support.h"

using namespace velmora::clitest;

class TestCliInterface : public QObject {
    Q_OBJECT

  private slots:
    void init();

    void helpAndVersion_data();
    void helpAndVersion();
    void usageErrorsDoNothing_data();
    void usageErrorsDoNothing();

    void missingInputAmongGoodOnes();
    void missingInputDoesNotLoadItsNamePlusBmp();
    void failingPicturesAreReportedAndTheRestDone_data();
    void failingPicturesAreReportedAndTheRestDone();
    void failedPictureKeepsExistingOutput();
    void unwritableOutputFolder();
    void shortMapFileStopsBeforeAnyPicture();
    void missingMapSavesPicturesUnchanged();
    void outputsGoWhereAsked();
    void reportsWithoutTerminal();

  private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    void writePicture(const QString& name, int width, int height, quint32 seed) {
        QVERIFY2(WritePicture(path(name), width, height, seed), qPrintable(name));
    }

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliInterface::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(QDir(dir_->path()).mkpath("one"));
    QVERIFY(QDir(dir_->path()).mkpath("two"));
    QVERIFY(QDir(dir_->path()).mkpath("out"));
    writePicture("a.jpg", 40, 30, 1);
    writePicture("b.png", 41, 31, 2);
    writePicture("one/x.jpg", 20, 10, 3);
    writePicture("two/x.jpg", 20, 10, 4);
    QVERIFY(WriteFileBytes(path("data.dat"), RandomMapBytes(5, 60)));
    // c.jpg's proposed output is a link to the input a.jpg; hard.bmp is another name of b.png.
    writePicture("c.jpg", 8, 8, 6);
    QVERIFY(QFile::link("a.jpg", path("c.jpg.bmp")));
    QCOMPARE(::link(QFile::encodeName(path("b.png")).constData(),
                    QFile::encodeName(path("hard.bmp")).constData()),
             0);
}

void TestCliInterface::helpAndVersion_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--version") << QStringList{"--version"} << "velmora-cli 1.10";
    QTest::newRow("--version, libraries") << QStringList{"--version"} << "\n  libvips 8.";
    QTest::newRow("--help") << QStringList{"--help"} << "filter";
    QTest::newRow("tune --help") << QStringList{"tune", "--help"} << "--preview";
    QTest::newRow("tune --help, smoothing") << QStringList{"tune", "--help"} << "--smooth";
    QTest::newRow("filter --help") << QStringList{"filter", "--help"} << "--output-dir";
    QTest::newRow("filter --help, gain") << QStringList{"filter", "--help"} << "gain:";
    QTest::newRow("--help filter") << QStringList{"--help", "filter"} << "--strength";
}

void TestCliInterface::helpAndVersion() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const auto before = Listing(dir_->path());
    const CliRun run = RunCli(arguments, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(expected), qPrintable(run.out));
    QCOMPARE(Listing(dir_->path()), before);
}

void TestCliInterface::usageErrorsDoNothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    using L = QStringList;
    QTest::newRow("no command") << L{} << "no command";
    QTest::newRow("unknown command") << L{"blur", "a.jpg"} << "unknown command";
    QTest::newRow("unknown option") << L{"filter", "--sharpen", "a.jpg"} << "sharpen";
    QTest::newRow("option without its value") << L{"filter", "a.jpg", "--mode"} << "mode";
    QTest::newRow("filter without inputs") << L{"filter"} << "no INPUT";
    QTest::newRow("unknown mode") << L{"filter", "--mode", "sharpen", "a.jpg"} << "sharpen";
    QTest::newRow("jobs 0") << L{"filter", "--jobs", "0", "a.jpg"} << "--jobs";
    QTest::newRow("jobs not a number") << L{"filter", "-j", "many", "a.jpg"} << "--jobs";
    QTest::newRow("output and output-dir")
        << L{"filter", "-o", "x.bmp", "-d", "out", "a.jpg"} << "together";
    QTest::newRow("output with two inputs")
        << L{"filter", "--output", "x.bmp", "a.jpg", "b.png"} << "--output";
    QTest::newRow("missing output folder")
        << L{"filter", "--output-dir", "nowhere", "a.jpg"} << "does not exist";
    QTest::newRow("same input twice") << L{"filter", "a.jpg", "b.png", "a.jpg"} << "both";
    QTest::newRow("same input by another spelling")
        << L{"filter", "a.jpg", "one/../a.jpg"} << "both";
    QTest::newRow("two inputs, one name, one output folder")
        << L{"filter", "-d", "out", "one/x.jpg", "two/x.jpg"} << "both";
    QTest::newRow("output is the input") << L{"filter", "-o", "a.jpg", "a.jpg"} << "is the input";
    QTest::newRow("output is another input")
        << L{"filter", "-d", ".", "c.jpg", "c.jpg.bmp"} << "is the input";
    QTest::newRow("output links to an input") << L{"filter", "a.jpg", "c.jpg"} << "is the input";
    QTest::newRow("output is a hard link of the input")
        << L{"filter", "-o", "hard.bmp", "b.png"} << "is the input";
    QTest::newRow("output is the map") << L{"filter", "-o", "data.dat", "a.jpg"} << "map";
    QTest::newRow("output is a folder") << L{"filter", "-o", "out", "a.jpg"} << "folder";
    QTest::newRow("tune without reference") << L{"tune"} << "no REFERENCE";
    QTest::newRow("tune with two references") << L{"tune", "a.jpg", "b.png"} << "one REFERENCE";
    QTest::newRow("tune preview over the reference")
        << L{"tune", "a.jpg", "--preview", "a.jpg"} << "reference";
    QTest::newRow("tune preview over the map")
        << L{"tune", "a.jpg", "--preview", "./data.dat"} << "map";
    QTest::newRow("tune map over the reference")
        << L{"tune", "a.jpg", "--map", "a.jpg"} << "reference";
    QTest::newRow("tune sidecar over the reference")
        << L{"tune", "b.json", "--map", "b"} << "sidecar b.json is the reference";
    QTest::newRow("smooth below 0") << L{"tune", "a.jpg", "--smooth", "-1"} << "--smooth";
    QTest::newRow("smooth not a number") << L{"tune", "a.jpg", "--smooth", "wide"} << "--smooth";
    QTest::newRow("smooth beyond the map") << L{"tune", "a.jpg", "--smooth", "1601"} << "1600";
    QTest::newRow("output is the map's sidecar")
        << L{"filter", "-o", "data.dat.json", "a.jpg"} << "sidecar";
}

void TestCliInterface::usageErrorsDoNothing() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    const auto before = Listing(dir_->path());
    const CliRun run = RunCli(arguments, dir_->path());
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(reason), qPrintable(run.err));
    QVERIFY2(run.err.contains("--help"), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QCOMPARE(Listing(dir_->path()), before);
}

void TestCliInterface::missingInputAmongGoodOnes() {
    const CliRun run = RunCli({"filter", "a.jpg", "lost.jpg", "b.png"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("lost.jpg: Picture error"), qPrintable(run.err));
    QVERIFY2(run.err.contains("2 of 3 done, 1 failed"), qPrintable(run.err));
    QVERIFY(QFileInfo(path("a.jpg.bmp")).isFile());
    QVERIFY(QFileInfo(path("b.png.bmp")).isFile());
    QVERIFY(!QFileInfo::exists(path("lost.jpg.bmp")));
}

// Qt's image reader, given a name that does not exist, used to try the name with image suffixes
// added: "photo" read "photo.bmp", and the output "photo.bmp" then replaced that very file.
void TestCliInterface::missingInputDoesNotLoadItsNamePlusBmp() {
    QVERIFY(QFile::copy(path("a.jpg"), path("photo.bmp")));
    const QByteArray before = ReadFileBytes(path("photo.bmp"));
    const CliRun run = RunCli({"filter", "photo"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("photo: Picture error"), qPrintable(run.err));
    QCOMPARE(ReadFileBytes(path("photo.bmp")), before);
}

void TestCliInterface::failingPicturesAreReportedAndTheRestDone_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("badName");
    QTest::addColumn<QString>("kind");
    QTest::newRow("not a picture") << QStringList{} << "notes.jpg"
                                   << "Picture error";
    QTest::newRow("a folder") << QStringList{} << "folder.jpg"
                              << "Picture error";
    QTest::newRow("wider than the map") << QStringList{} << "wide.png"
                                        << "Subscript out of range";
    QTest::newRow("taller than the map") << QStringList{} << "tall.png"
                                         << "Subscript out of range";
    QTest::newRow("non-numeric strength in offset mode")
        << QStringList{"--mode", "offset", "--strength", "thirty"} << "a.jpg"
        << "Type mismatch";
}

void TestCliInterface::failingPicturesAreReportedAndTheRestDone() {
    QFETCH(QStringList, options);
    QFETCH(QString, badName);
    QFETCH(QString, kind);
    QVERIFY(WriteFileBytes(path("notes.jpg"), "not a picture at all"));
    QVERIFY(QDir(dir_->path()).mkpath("folder.jpg"));
    writePicture("wide.png", 1601, 4, 7);
    writePicture("tall.png", 4, 1201, 8);
    const QStringList inputs{"b.png", badName, "one/x.jpg"};
    const CliRun run = RunCli(QStringList{"filter"} + options + inputs, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(badName + ": " + kind), qPrintable(run.err));
    if (badName != "a.jpg") {
        QVERIFY(QFileInfo(path("b.png.bmp")).isFile());
        QVERIFY(QFileInfo(path("one/x.jpg.bmp")).isFile());
        QVERIFY(!QFileInfo::exists(path(badName + ".bmp")));
    }
    // The same strength text does no harm where it is not read.
    if (options.contains("thirty")) {
        const CliRun plain = RunCli({"filter", "--strength", "thirty", "a.jpg"}, dir_->path());
        QCOMPARE(plain.exitCode, 0);
    }
}

void TestCliInterface::failedPictureKeepsExistingOutput() {
    QVERIFY(WriteFileBytes(path("notes.jpg"), "not a picture"));
    QVERIFY(WriteFileBytes(path("notes.jpg.bmp"), "an earlier result"));
    const CliRun run = RunCli({"filter", "notes.jpg"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(ReadFileBytes(path("notes.jpg.bmp")), QByteArray("an earlier result"));
    QCOMPARE(QDir(dir_->path()).entryList({"notes.jpg.bmp*"}, QDir::Files | QDir::Hidden).size(),
             1);
}

void TestCliInterface::unwritableOutputFolder() {
    // Permission bits do not bind root; /proc takes no new files from anyone.
    QString folder = "/proc";
    if (::geteuid() != 0) {
        folder = path("locked");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    const CliRun run = RunCli({"filter", "--output-dir", folder, "a.jpg", "b.png"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("a.jpg: File error: cannot save " + folder + "/a.jpg.bmp"),
             qPrintable(run.err));
    QVERIFY2(run.err.contains("b.png: File error"), qPrintable(run.err));
    QVERIFY2(run.err.contains("0 of 2 done, 2 failed"), qPrintable(run.err));
}

void TestCliInterface::shortMapFileStopsBeforeAnyPicture() {
    QVERIFY(WriteFileBytes(path("data.dat"), QByteArray(1000, '\x10')));
    const CliRun run = RunCli({"filter", "a.jpg", "b.png"}, dir_->path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("File error") && run.err.contains("1000 bytes"), qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(path("a.jpg.bmp")));
    QVERIFY(!QFileInfo::exists(path("b.png.bmp")));
    QCOMPARE(ReadFileBytes(path("data.dat")), QByteArray(1000, '\x10'));
}

void TestCliInterface::missingMapSavesPicturesUnchanged() {
    QVERIFY(QFile::remove(path("data.dat")));
    const CliRun run = RunCli({"filter", "--mode", "scale", "b.png"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains("all zero"), qPrintable(run.err));
    QCOMPARE(QImage(path("b.png.bmp")).convertToFormat(QImage::Format_RGB888),
             QImage(path("b.png")).convertToFormat(QImage::Format_RGB888));
    QVERIFY(!QFileInfo::exists(path("data.dat")));
}

void TestCliInterface::outputsGoWhereAsked() {
    CliRun run = RunCli({"filter", "-q", "-o", "out/single.bmp", "a.jpg"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(QFileInfo(path("out/single.bmp")).isFile());

    run = RunCli({"filter", "-q", "--output-dir", "out", "a.jpg", "one/x.jpg"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(QFileInfo(path("out/a.jpg.bmp")).isFile());
    QVERIFY(QFileInfo(path("out/x.jpg.bmp")).isFile());
    QCOMPARE(ReadFileBytes(path("out/a.jpg.bmp")), ReadFileBytes(path("out/single.bmp")));

    // An existing output that is no input is replaced, as the window's save(bmp) does.
    QVERIFY(WriteFileBytes(path("a.jpg.bmp"), "old"));
    run = RunCli({"filter", "-q", "a.jpg"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(ReadFileBytes(path("a.jpg.bmp")), ReadFileBytes(path("out/single.bmp")));
}

void TestCliInterface::reportsWithoutTerminal() {
    CliRun run = RunCli({"filter", "a.jpg", "b.png"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.err.contains('\r'), qPrintable(run.err));
    QVERIFY2(run.err.trimmed().startsWith("2 of 2 done, 0 failed, in "), qPrintable(run.err));
    QCOMPARE(run.err.count('\n'), 1);

    run = RunCli({"filter", "--quiet", "a.jpg", "b.png"}, dir_->path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.out, QString());
}

QTEST_GUILESS_MAIN(TestCliInterface)
#include "test_cli_interface.moc"
