// The batch program and the window itself, side by side: Form1's handlers driven as a user
// would press them, and velmora-cli on the same files, must leave the same bytes behind.

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include "cli_test_support.h"
#include "window/form1.h"

using namespace velmora;
using namespace velmora::clitest;

class TestCliMatchesWindow : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void filteringMatches_data();
    void filteringMatches();
    void tuningMatches();

  private:
    template <typename Control>
    static Control* Find(Form1& form, const char* name) {
        auto* control = form.findChild<Control*>(QLatin1String(name));
        if (control == nullptr) qFatal("Form1 has no control %s", name);
        return control;
    }
    QString path(const QString& name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
};

void TestCliMatchesWindow::initTestCase() {
    QVERIFY(dir_.isValid());
    // Form1 restores the map from "data.dat" in the current folder, as at every start.
    QVERIFY(QDir::setCurrent(dir_.path()));
    QVERIFY(WritePicture(path("photo.jpg"), 333, 201, 41));
    QVERIFY(WritePicture(path("reference.png"), 320, 240, 42));
    QVERIFY(WriteFileBytes(path("data.dat"), RandomMapBytes(43, 140)));
}

void TestCliMatchesWindow::filteringMatches_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("check1");
    QTest::addColumn<bool>("check2");
    QTest::addColumn<QString>("strength");
    QTest::newRow("plain") << "plain" << false << false << "30";
    QTest::newRow("offset") << "offset" << true << false << "30";
    QTest::newRow("offset 62.5") << "offset" << true << false << "62.5";
    QTest::newRow("scale") << "scale" << false << true << "30";
    QTest::newRow("scale, Check1 checked too") << "scale" << true << true << "-40";
}

void TestCliMatchesWindow::filteringMatches() {
    QFETCH(QString, mode);
    QFETCH(bool, check1);
    QFETCH(bool, check2);
    QFETCH(QString, strength);

    Form1 form;
    Find<QLineEdit>(form, "Text1")->setText(path("photo.jpg"));
    form.Command1_Click();
    Find<QCheckBox>(form, "Check1")->setChecked(check1);
    Find<QCheckBox>(form, "Check2")->setChecked(check2);
    Find<QLineEdit>(form, "Text3")->setText(strength);
    form.Command3_Click();
    Find<QLineEdit>(form, "Text2")->setText(path("window.bmp"));
    form.Command4_Click();

    const CliRun run = RunCli(
        {"filter", "-q", "--mode", mode, "--strength", strength, "-o", "cli.bmp", "photo.jpg"},
        dir_.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QByteArray window = ReadFileBytes(path("window.bmp"));
    QVERIFY(!window.isEmpty());
    QVERIFY(ReadFileBytes(path("cli.bmp")) == window);
}

void TestCliMatchesWindow::tuningMatches() {
    const QByteArray startingMap = ReadFileBytes(path("data.dat"));
    {
        Form1 form;
        Find<QLineEdit>(form, "Text1")->setText(path("reference.png"));
        form.Command1_Click();
        form.Command2_Click();
        Find<QLineEdit>(form, "Text2")->setText(path("window-preview.bmp"));
        form.Command4_Click();
    }
    const QByteArray windowMap = ReadFileBytes(path("data.dat"));
    QVERIFY(windowMap != startingMap);

    QVERIFY(WriteFileBytes(path("cli.dat"), startingMap));
    const CliRun run = RunCli(
        {"tune", "reference.png", "--map", "cli.dat", "--preview", "cli-preview.bmp"}, dir_.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(ReadFileBytes(path("cli.dat")) == windowMap);
    QVERIFY(ReadFileBytes(path("cli-preview.bmp")) == ReadFileBytes(path("window-preview.bmp")));
    QVERIFY(WriteFileBytes(path("data.dat"), startingMap));
}

QTEST_MAIN(TestCliMatchesWindow)
#include "test_cli_matches_window.moc"
