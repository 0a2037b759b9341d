// The window as it stands: its eighteen controls, their places and first states, the tab order,
// the option group, and the load event that restores the correction map.
#include <QCheckBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <algorithm>

#include "correction/map_store.h"
#include "window/form1.h"
#include "window/scrolled_view.h"
#include "window_test_support.h"

using velmora::Form1;
using velmora::TwipsRect;
using velmora::testing::ReportCatcher;
using velmora::testing::TemporaryWorkFolder;

class TestForm1Controls : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TemporaryWorkFolder> folder_;

    template <typename Control = QWidget>
    static Control* Find(Form1& form, const char* name) {
        auto* control = form.findChild<Control*>(QLatin1String(name));
        if (control == nullptr) qFatal("no control %s of that kind", name);
        return control;
    }

    static QString Caption(QWidget* control) {
        if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
        if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
        if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
        return QString();
    }

    static QStringList TabWalk(int steps) {
        QStringList visited;
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        return visited;
    }

  private slots:
    void init() { folder_ = std::make_unique<TemporaryWorkFolder>(); }
    void cleanup() { folder_.reset(); }

    void controlTable_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<bool>("enabled");
        const auto row = [](const char* name, const char* kind, const QString& caption, QRect twips,
                            bool enabled = true) {
            QTest::newRow(name) << QString(name) << QString(kind) << caption << twips << enabled;
        };
        row("Command1", "QPushButton", "load", {7080, 240, 1215, 375});
        row("Text1", "QLineEdit", "", {1200, 240, 4935, 270});
        row("Picture1", "QFrame", "", {240, 840, 6255, 3855});
        row("Command2", "QPushButton", "tuning", {7080, 1080, 1215, 375});
        row("Command3", "QPushButton", "filtering", {7080, 1800, 1215, 1095});
        row("VScroll1", "QScrollBar", "", {6480, 840, 255, 3855});
        row("HScroll1", "QScrollBar", "", {240, 4680, 6255, 255});
        row("Command4", "QPushButton", "save(bmp)", {7080, 5160, 1215, 375});
        row("Text2", "QLineEdit", "", {1080, 5160, 5055, 270});
        row("Check1", "QCheckBox", "白飛び軽減", {7080, 3240, 1575, 255});
        row("Text3", "QLineEdit", "30", {7440, 3600, 495, 270}, false);
        row("Label1", "QLabel", "%", {8040, 3720, 255, 255});
        row("Check2", "QCheckBox", "暗い色を優先", {7440, 3960, 1335, 375}, false);
        row("Command5", "QPushButton", "参照", {6120, 240, 615, 375});
        row("Command6", "QPushButton", "参照", {6120, 5160, 615, 375});
        row("Label2", "QLabel", "ファイル名", {240, 240, 975, 255});
        row("Label3", "QLabel", "ファイル名", {240, 5160, 975, 255});
    }
    void controlTable() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QRect, twips);
        QFETCH(bool, enabled);
        Form1 form;
        QWidget* control = Find(form, name.toLatin1().constData());
        QVERIFY2(control->inherits(kind.toLatin1().constData()),
                 control->metaObject()->className());
        QCOMPARE(control->parentWidget(), &form);
        QCOMPARE(Caption(control), caption);
        QCOMPARE(control->geometry(),
                 TwipsRect(twips.x(), twips.y(), twips.width(), twips.height()));
        QCOMPARE(control->isEnabled(), enabled);
        QVERIFY(!control->isHidden());
        if (auto* button = qobject_cast<QPushButton*>(control)) {
            QVERIFY(!button->isDefault());
            QVERIFY(!button->text().contains('&'));
        }
        if (auto* box = qobject_cast<QCheckBox*>(control)) {
            QCOMPARE(box->checkState(), Qt::Unchecked);
            QVERIFY(!box->text().contains('&'));
        }
        if (qobject_cast<QLabel*>(control)) QCOMPARE(control->focusPolicy(), Qt::NoFocus);
    }

    void windowAndImageHolder() {
        Form1 form;
        QCOMPARE(form.windowTitle(), QString("Velmora ver1.10"));
        QCOMPARE(form.size(), QSize(600, 390));
        QCOMPARE(form.findChildren<QPushButton*>().size(), 6);
        auto* picture = Find<QFrame>(form, "Picture1");
        auto* image = Find<QLabel>(form, "Image1");
        QVERIFY(picture->isAncestorOf(image));
        QCOMPARE(image->parentWidget()->geometry(), picture->contentsRect());
        QCOMPARE(image->geometry(), TwipsRect(0, 0, 2295, 1215));
        QVERIFY(image->pixmap().isNull());
        QCOMPARE(image->focusPolicy(), Qt::NoFocus);
        QVERIFY(!form.workingPicture().has_value());
    }

    void scrollBarsStartEmpty_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("HScroll1") << "HScroll1";
        QTest::newRow("VScroll1") << "VScroll1";
    }
    void scrollBarsStartEmpty() {
        QFETCH(QString, name);
        Form1 form;
        auto* bar = Find<QScrollBar>(form, name.toLatin1().constData());
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 0);
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->singleStep(), 5);
        QCOMPARE(bar->pageStep(), 40);
        QVERIFY(!bar->hasTracking());
    }

    void focusStartsOnLoadAndTabsInTableOrder() {
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), Find(form, "Command1"));
        const QStringList optionsOff = {"Text1",    "Picture1", "Command2", "Command3",
                                        "VScroll1", "HScroll1", "Command4", "Text2",
                                        "Check1",   "Command5", "Command6", "Command1"};
        QCOMPARE(TabWalk(12), optionsOff);

        Find<QCheckBox>(form, "Check1")->click();
        Find(form, "Command1")->setFocus();
        const QStringList optionsOn = {"Text1",    "Picture1", "Command2", "Command3", "VScroll1",
                                       "HScroll1", "Command4", "Text2",    "Check1",   "Text3",
                                       "Check2",   "Command5", "Command6", "Command1"};
        QCOMPARE(TabWalk(14), optionsOn);
    }

    // Check1 enables Text3 and Check2 exactly while it is checked, leaving their values alone.
    void optionGroupFollowsCheck1() {
        Form1 form;
        auto* check1 = Find<QCheckBox>(form, "Check1");
        auto* check2 = Find<QCheckBox>(form, "Check2");
        auto* text3 = Find<QLineEdit>(form, "Text3");

        check1->click();
        QVERIFY(text3->isEnabled() && check2->isEnabled());
        check2->click();
        text3->setText("12.5");
        check1->click();
        QVERIFY(!text3->isEnabled() && !check2->isEnabled());
        QCOMPARE(check2->checkState(), Qt::Checked);
        QCOMPARE(text3->text(), QString("12.5"));
        check1->click();
        QVERIFY(text3->isEnabled() && check2->isEnabled());
        QCOMPARE(text3->text(), QString("12.5"));
    }

    void check1RespondsToTheKeyboard() {
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        auto* check1 = Find<QCheckBox>(form, "Check1");
        check1->setFocus();
        QTest::keyClick(check1, Qt::Key_Space);
        QVERIFY(Find(form, "Text3")->isEnabled());
        QTest::keyClick(check1, Qt::Key_Space);
        QVERIFY(!Find(form, "Text3")->isEnabled());
    }

    void resizingMovesNothing() {
        Form1 form;
        form.show();
        QList<QRect> before;
        const QList<QWidget*> controls = form.findChildren<QWidget*>();
        for (QWidget* control : controls)
            before << control->geometry();
        form.resize(1000, 800);
        form.showMaximized();
        QApplication::processEvents();
        for (qsizetype i = 0; i < controls.size(); ++i) {
            QCOMPARE(controls[i]->geometry(), before[i]);
        }
    }

    void loadEventWithoutStoreLeavesMapZero() {
        Form1 form;
        const velmora::CorrectionMap zero;
        QVERIFY(form.correctionMap() == zero);
    }

    void loadEventRestoresStoredMap() {
        velmora::CorrectionMap stored;
        for (std::size_t i = 0; i < velmora::kMapBytes; ++i)
            stored.data()[i] = std::uint8_t(i * 7);
        velmora::SaveCorrectionMap(stored, "data.dat");
        Form1 form;
        QVERIFY(form.correctionMap() == stored);
    }

    // A store that cannot be read is reported before the window is shown, which then opens
    // with the map all zero.
    void unreadableStoreIsReportedAndMapStaysZero() {
        QFile shortFile("data.dat");
        QVERIFY(shortFile.open(QIODevice::WriteOnly));
        shortFile.write(QByteArray(1000, '\x05'));
        shortFile.close();
        ReportCatcher report;
        Form1 form;
        QVERIFY(report.shown());
        QVERIFY(!form.isVisible());
        QCOMPARE(report.title, QString("Velmora ver1.10"));
        QVERIFY2(report.text.startsWith("File error: "), qPrintable(report.text));
        QVERIFY2(report.text.contains("data.dat"), qPrintable(report.text));
        QVERIFY(form.correctionMap() == velmora::CorrectionMap());
    }
};

QTEST_MAIN(TestForm1Controls)
#include "test_form1_controls.moc"
