// The two file choosers, driven through their dialogs: what each dialog offers, what a cancel
// and a choice leave in the text boxes, and "load" calling the input chooser.
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>

#include "window/form1.h"
#include "window_test_support.h"

using velmora::Form1;
using velmora::testing::ReportCatcher;
using velmora::testing::TemporaryWorkFolder;
using velmora::testing::WhenShown;

namespace {

// Types `path` into the dialog's file name box and presses Enter, as a user would.
void TypeAndAccept(QFileDialog* dialog, const QString& path) {
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(name != nullptr);
    name->setText(path);
    QTest::keyClick(name, Qt::Key_Return);
}

QString MakeFolder(const QString& path) {
    if (!QDir().mkpath(path)) qFatal("cannot make %s", qPrintable(path));
    return path;
}

}  // namespace

class TestFileChoosers : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TemporaryWorkFolder> folder_;

    static QLineEdit* Text(Form1& form, const char* name) {
        return form.findChild<QLineEdit*>(QLatin1String(name));
    }
    static QPushButton* Button(Form1& form, const char* name) {
        return form.findChild<QPushButton*>(QLatin1String(name));
    }
    // The text box each chooser fills, by the button that opens it.
    static const char* TargetOf(const QString& button) {
        return button == "Command5" ? "Text1" : "Text2";
    }

  private slots:
    // The widget dialog keeps its folder history in the user's settings; the tests keep theirs
    // apart.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { folder_ = std::make_unique<TemporaryWorkFolder>(); }
    void cleanup() { folder_.reset(); }

    void dialogOffers_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<QFileDialog::AcceptMode>("mode");
        QTest::newRow("input chooser")
            << "Command5" << QString("ファイルを選択")
            << QStringList{"jpeg(*.jpg)", "bitmap(*.bmp)", "All File(*.*)"}
            << QFileDialog::AcceptOpen;
        QTest::newRow("output chooser")
            << "Command6" << QString("Save As") << QStringList{"bitmap(*.bmp)", "All File(*.*)"}
            << QFileDialog::AcceptSave;
    }
    void dialogOffers() {
        QFETCH(QString, button);
        QFETCH(QString, title);
        QFETCH(QStringList, filters);
        QFETCH(QFileDialog::AcceptMode, mode);
        Form1 form;
        form.show();
        for (int press = 0; press < 2; ++press) {
            QString shownTitle, selectedFilter, folder;
            QStringList shownFilters;
            QFileDialog::AcceptMode shownMode{};
            QFileDialog::FileMode fileMode{};
            bool noPrompt = false, noSuffix = false, ownerless = false, windowUsable = false;
            WhenShown<QFileDialog> watch([&](QFileDialog* dialog) {
                shownTitle = dialog->windowTitle();
                shownFilters = dialog->nameFilters();
                selectedFilter = dialog->selectedNameFilter();
                shownMode = dialog->acceptMode();
                fileMode = dialog->fileMode();
                folder = dialog->directory().absolutePath();
                noPrompt = dialog->testOption(QFileDialog::DontConfirmOverwrite);
                noSuffix = dialog->defaultSuffix().isEmpty();
                ownerless = dialog->parentWidget() == nullptr;
                windowUsable = QApplication::activeModalWidget() == nullptr && form.isEnabled();
                // Wander off, so the next press shows it starts over in the program's folder.
                dialog->setDirectory(folder_->path());
                dialog->reject();
            });
            Button(form, button.toLatin1().constData())->click();
            QVERIFY(watch.came());
            QCOMPARE(shownTitle, title);
            QCOMPARE(shownFilters, filters);
            QCOMPARE(selectedFilter, filters.first());
            QCOMPARE(shownMode, mode);
            QCOMPARE(fileMode, QFileDialog::AnyFile);
            QCOMPARE(folder, QDir(QCoreApplication::applicationDirPath()).absolutePath());
            QVERIFY(noPrompt);
            QVERIFY(noSuffix);
            // No owner window: the main window stays usable while the dialog is open.
            QVERIFY(ownerless);
            QVERIFY(windowUsable);
        }
    }

    void cancelLeavesTextBox_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("before");
        QTest::newRow("input chooser, text") << "Command5"
                                             << "/some/where/a.jpg";
        QTest::newRow("input chooser, empty") << "Command5"
                                              << "";
        QTest::newRow("output chooser, text") << "Command6"
                                              << "  out.bmp ";
        QTest::newRow("output chooser, empty") << "Command6"
                                               << "";
    }
    void cancelLeavesTextBox() {
        QFETCH(QString, button);
        QFETCH(QString, before);
        Form1 form;
        Text(form, TargetOf(button))->setText(before);
        ReportCatcher report;
        WhenShown<QFileDialog> watch([](QFileDialog* dialog) { dialog->reject(); });
        Button(form, button.toLatin1().constData())->click();
        QVERIFY(watch.came());
        QCOMPARE(Text(form, TargetOf(button))->text(), before);
        QVERIFY(!report.shown());
    }

    // A chosen path arrives whole: spaces, characters beyond ASCII, more than 255 bytes, a file
    // that does not exist yet, a name without an extension.
    void chosenPathArrivesWhole_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        const QString longFolder = QString("long ") + QString(120, 'x') + "/" +
                                   QString(60, QChar(0x5199)) + "/" + QString(100, 'y');
        QTest::newRow("input, spaces") << "Command5"
                                       << "my pictures"
                                       << "a b.jpg";
        QTest::newRow("input, beyond ASCII") << "Command5"
                                             << "写真 Ünïcödé"
                                             << "夕焼け ß.jpg";
        QTest::newRow("input, over 255 bytes") << "Command5" << longFolder << "deep.jpg";
        QTest::newRow("input, file not there yet") << "Command5"
                                                   << "plain"
                                                   << "not yet.jpg";
        QTest::newRow("output, no extension") << "Command6"
                                              << "out"
                                              << "result";
        QTest::newRow("output, beyond ASCII") << "Command6"
                                              << "出力"
                                              << "補正済み.bmp";
        QTest::newRow("output, over 255 bytes") << "Command6" << longFolder << "deep.bmp";
    }
    void chosenPathArrivesWhole() {
        QFETCH(QString, button);
        QFETCH(QString, folder);
        QFETCH(QString, name);
        const QString path = MakeFolder(folder_->file(folder)) + "/" + name;
        if (button == "Command5" && !name.startsWith("not yet")) {
            QImage(4, 4, QImage::Format_RGB888).save(path, "JPG");
        }
        const QString cwd = QDir::currentPath();
        Form1 form;
        Text(form, TargetOf(button))->setText("before");
        WhenShown<QFileDialog> watch([&](QFileDialog* dialog) { TypeAndAccept(dialog, path); });
        Button(form, button.toLatin1().constData())->click();
        QVERIFY(watch.came());
        QCOMPARE(Text(form, TargetOf(button))->text(), path);
        QCOMPARE(QDir::currentPath(), cwd);
        if (button == "Command6") QVERIFY(!QFileInfo::exists(path));  // nothing is created
        QVERIFY(!QFileInfo::exists(path + ".bmp"));
    }

    // A name in a folder that does not exist is refused in place; the dialog stays open.
    void missingFolderIsRefused() {
        Form1 form;
        Text(form, "Text1")->setText("before");
        bool refused = false;
        bool stayedOpen = false;
        WhenShown<QFileDialog> watch([&](QFileDialog* dialog) {
            WhenShown<QMessageBox> warning([&](QMessageBox* box) {
                refused = true;
                box->accept();
            });
            TypeAndAccept(dialog, folder_->file("no such folder/a.jpg"));
            stayedOpen = dialog->isVisible();
            dialog->reject();
        });
        Button(form, "Command5")->click();
        QVERIFY(watch.came());
        QVERIFY(refused);
        QVERIFY(stayedOpen);
        QCOMPARE(Text(form, "Text1")->text(), QString("before"));
    }

    // "load" with Text1 empty asks first; a cancel ends it quietly with nothing changed.
    void loadWithEmptyNameCancelled() {
        Form1 form;
        Text(form, "Text2")->setText("kept.bmp");
        ReportCatcher report;
        WhenShown<QFileDialog> watch([](QFileDialog* dialog) { dialog->reject(); });
        Button(form, "Command1")->click();
        QVERIFY(watch.came());
        QVERIFY(!report.shown());
        QVERIFY(!form.workingPicture().has_value());
        QCOMPARE(Text(form, "Text2")->text(), QString("kept.bmp"));
        QCOMPARE(form.findChild<QScrollBar*>("HScroll1")->maximum(), 0);
    }

    // "load" with Text1 empty and a file chosen loads it in the same press.
    void loadWithEmptyNameLoadsChoice() {
        const QString path = folder_->file("chosen picture.jpg");
        QImage image(64, 48, QImage::Format_RGB888);
        image.fill(Qt::darkCyan);
        QVERIFY(image.save(path, "JPG"));
        Form1 form;
        WhenShown<QFileDialog> watch([&](QFileDialog* dialog) { TypeAndAccept(dialog, path); });
        Button(form, "Command1")->click();
        QVERIFY(watch.came());
        QCOMPARE(Text(form, "Text1")->text(), path);
        QCOMPARE(Text(form, "Text2")->text(), path + ".bmp");
        QVERIFY(form.workingPicture().has_value());
        QCOMPARE(form.workingPicture()->bitmap.width(), 64);
    }

    // While a chooser is open the window's other handlers run, nested inside the chooser's.
    void otherHandlersRunWhileChooserIsOpen() {
        Form1 form;
        form.show();
        auto* check1 = form.findChild<QCheckBox*>("Check1");
        bool enabledMeanwhile = false;
        WhenShown<QFileDialog> watch([&](QFileDialog* dialog) {
            QTest::mouseClick(check1, Qt::LeftButton);
            enabledMeanwhile = form.findChild<QLineEdit*>("Text3")->isEnabled();
            Text(form, "Text2")->setText("typed meanwhile");
            dialog->reject();
        });
        Button(form, "Command5")->click();
        QVERIFY(watch.came());
        QVERIFY(enabledMeanwhile);
        QCOMPARE(check1->checkState(), Qt::Checked);
        QCOMPARE(Text(form, "Text2")->text(), QString("typed meanwhile"));
    }
};

QTEST_MAIN(TestFileChoosers)
#include "test_file_choosers.moc"
