// "data.dat" and output pictures on storage that fails: the window and velmora-cli report a file
// error, and the old map and any existing picture survive whole.
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <optional>

#include "cli_test_support.h"
#include "correction/correction_map.h"
#include "correction/error.h"
#include "window/form1.h"

using velmora::Error;
using velmora::ErrorKind;
using velmora::Form1;

namespace {

using velmora::clitest::CliRun;
using velmora::clitest::RunCli;

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
}

QByteArray MapBytes(char seed) {
    QByteArray bytes(qsizetype(velmora::kMapBytes), '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7 + seed) % 61);
    return bytes;
}

// A folder nobody can create files in: permission bits for a user, /proc for root (whom the
// bits do not stop).
QString UnwritableFolder(const QTemporaryDir& scratch) {
    if (::geteuid() == 0) return "/proc";
    const QString folder = scratch.filePath("read-only");
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    return folder;
}

// Runs `handler` on `form` and returns the velmora::Error it raised, if any.
std::optional<Error> Run(Form1& form, void (Form1::*handler)()) {
    try {
        (form.*handler)();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// Accepts the next message box and keeps its text.
QString CatchReport(const std::function<void()>& action) {
    QString text;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            box->accept();
        }
    });
    timer.start(5);
    action();
    return text;
}

}  // namespace

class StorageFaults : public QObject {
    Q_OBJECT

  private:
    std::optional<QTemporaryDir> scratch_;
    QString previous_;

    QString Path(const QString& name) const { return scratch_->filePath(name); }

    QString WriteReference() {
        QImage reference(30, 20, QImage::Format_RGB888);
        reference.fill(QColor(200, 180, 160));
        reference.setPixel(0, 0, qRgb(10, 10, 10));
        const QString path = Path("reference.png");
        reference.save(path);
        return path;
    }

  private slots:
    void init() {
        previous_ = QDir::currentPath();
        scratch_.emplace();
        QDir::setCurrent(scratch_->path());
    }
    void cleanup() {
        QDir::setCurrent(previous_);
        QFile::setPermissions(Path("read-only"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        scratch_.reset();
    }

    // The window starts with the map all zero whatever "data.dat" is; an unreadable or short
    // one is reported first. Tuning then keeps its hands off a map it may not replace.
    void mapFileAtStartAndTuning_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("reportedAtStart");
        QTest::addColumn<bool>("tuningStores");
        QTest::newRow("unreadable") << "unreadable" << true << false;
        QTest::newRow("a folder") << "folder" << false << false;
        QTest::newRow("too short") << "short" << true << true;
        QTest::newRow("longer than a map") << "long" << false << true;
        QTest::newRow("read-only") << "read-only" << false << false;
    }

    void mapFileAtStartAndTuning() {
        QFETCH(QString, state);
        QFETCH(bool, reportedAtStart);
        QFETCH(bool, tuningStores);
        const QString map = Path("data.dat");
        const QByteArray old = MapBytes(3);
        if (state == "unreadable") {
            QFile::link("/proc/self/mem", map);  // opens, then fails to read at offset 0
        } else if (state == "folder") {
            QDir().mkdir(map);
        } else if (state == "short") {
            WriteAll(map, old.left(1000));
        } else if (state == "long") {
            WriteAll(map, old + QByteArray(77, 'x'));
        } else {
            WriteAll(map, old);
            QFile::setPermissions(map, QFile::ReadOwner);
        }
        const QByteArray before =
            state == "unreadable" || state == "folder" ? QByteArray() : ReadAll(map);

        std::optional<Form1> form;
        const QString report = CatchReport([&] { form.emplace(); });
        QCOMPARE(!report.isEmpty(), reportedAtStart);
        if (reportedAtStart)
            QVERIFY2(report.startsWith("File error") && report.contains("data.dat"),
                     qPrintable(report));
        const bool loaded = state == "long" || state == "read-only";
        QCOMPARE(form->correctionMap()(1, 0), std::uint8_t(loaded ? old[1] : 0));

        form->findChild<QLineEdit*>("Text1")->setText(WriteReference());
        QVERIFY(!Run(*form, &Form1::Command1_Click));
        const std::optional<Error> tuning = Run(*form, &Form1::Command2_Click);
        if (tuningStores) {
            QVERIFY2(!tuning, tuning ? tuning->what() : "");
            QCOMPARE(QFileInfo(map).size(), qint64(velmora::kMapBytes));
        } else {
            QVERIFY(tuning);
            QCOMPARE(tuning->kind(), ErrorKind::File);
            QVERIFY2(QString(tuning->what()).contains("data.dat"), tuning->what());
            if (!before.isEmpty()) QCOMPARE(ReadAll(map), before);
            if (state == "folder") QVERIFY(QFileInfo(map).isDir());
            if (state == "unreadable") QVERIFY(QFileInfo(map).isSymLink());
        }
    }

    // velmora-cli refuses to start from a map it cannot read, and leaves it alone.
    void mapFileForTheBatch() {
        const QString reference = WriteReference();
        QFile::link("/proc/self/mem", Path("data.dat"));
        CliRun run = RunCli({"tune", reference}, scratch_->path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("File error") && run.err.contains("data.dat"),
                 qPrintable(run.err));
        QVERIFY(QFileInfo(Path("data.dat")).isSymLink());
        run = RunCli({"filter", reference, "--output", Path("out.bmp")}, scratch_->path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY(!QFile::exists(Path("out.bmp")));

        QDir().mkdir(Path("folder.dat"));
        run = RunCli({"tune", reference, "--map", "folder.dat"}, scratch_->path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("File error"), qPrintable(run.err));
        QVERIFY(QFileInfo(Path("folder.dat")).isDir());

        const QString unwritable = UnwritableFolder(*scratch_) + "/data.dat";
        run = RunCli({"tune", reference, "--map", unwritable}, scratch_->path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("File error") && run.err.contains(unwritable),
                 qPrintable(run.err));
    }

    // Tuning in a folder that takes no files: the map stays in memory, nothing is stored.
    void tuningInAnUnwritableFolder() {
        const QString reference = WriteReference();
        const QString folder = UnwritableFolder(*scratch_);
        QDir::setCurrent(folder);
        Form1 form;
        form.findChild<QLineEdit*>("Text1")->setText(reference);
        QVERIFY(!Run(form, &Form1::Command1_Click));
        const std::optional<Error> tuning = Run(form, &Form1::Command2_Click);
        QVERIFY(tuning);
        QCOMPARE(tuning->kind(), ErrorKind::File);
        QVERIFY(!QFile::exists(folder + "/data.dat"));
    }

    // "save(bmp)" and velmora-cli into a missing folder, a folder that takes no files, and over
    // a read-only picture: a file error, nothing written, the existing picture whole.
    void outputPictures_data() {
        QTest::addColumn<QString>("output");
        QTest::newRow("missing folder") << "missing/out.bmp";
        QTest::newRow("folder that takes no files") << "UNWRITABLE/out.bmp";
        QTest::newRow("read-only existing picture") << "kept.bmp";
    }

    void outputPictures() {
        QFETCH(QString, output);
        output.replace("UNWRITABLE", UnwritableFolder(*scratch_));
        if (!output.startsWith('/')) output = Path(output);
        const QByteArray kept = "an existing picture that must survive";
        if (output.endsWith("kept.bmp")) {
            WriteAll(output, kept);
            QFile::setPermissions(output, QFile::ReadOwner);
        }
        const QString reference = WriteReference();

        Form1 form;
        form.findChild<QLineEdit*>("Text1")->setText(reference);
        QVERIFY(!Run(form, &Form1::Command1_Click));
        form.findChild<QLineEdit*>("Text2")->setText(output);
        const std::optional<Error> save = Run(form, &Form1::Command4_Click);
        QVERIFY(save);
        QCOMPARE(save->kind(), ErrorKind::File);
        QVERIFY2(QString(save->what()).contains(output), save->what());

        const CliRun run = RunCli({"filter", reference, "--output", output}, scratch_->path());
        QVERIFY2(run.exitCode != 0, qPrintable(run.err));
        QVERIFY2(run.err.contains(output), qPrintable(run.err));
        if (output.endsWith("kept.bmp")) {
            QCOMPARE(ReadAll(output), kept);
        } else {
            QVERIFY(!QFile::exists(output));
        }
        QCOMPARE(QDir(scratch_->path()).entryList({"*.tmp-*"}, QDir::Files | QDir::Hidden),
                 QStringList());
    }
};

QTEST_MAIN(StorageFaults)
#include "test_storage_faults.moc"
