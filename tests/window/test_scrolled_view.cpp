// The scrolled view: scroll maxima from the picture's HIMETRIC size, and the picture's offset for
// each scroll value, up to values whose offset no longer fits 16 bits.
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include "files/picture_load.h"
#include "window/form1.h"
#include "window/scrolled_view.h"
#include "window_test_support.h"

using velmora::ErrorKind;
using velmora::Form1;
using velmora::testing::KindOf;
using velmora::testing::TemporaryWorkFolder;

namespace {

// A grey picture of `width` x `height` pixels recording `dotsPerMeter` in both directions.
QString WriteBmp(const QString& path, int width, int height, int dotsPerMeter) {
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(QColor(120, 130, 140));
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    if (!image.save(path, "BMP")) qFatal("cannot write %s", qPrintable(path));
    return path;
}

}  // namespace

class TestScrolledView : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TemporaryWorkFolder> folder_;

    static QScrollBar* Bar(Form1& form, const char* name) {
        return form.findChild<QScrollBar*>(QLatin1String(name));
    }
    static QLabel* Image1(Form1& form) { return form.findChild<QLabel*>("Image1"); }
    static void Load(Form1& form, const QString& path) {
        form.findChild<QLineEdit*>("Text1")->setText(path);
        form.Command1_Click();
    }

  private slots:
    void init() { folder_ = std::make_unique<TemporaryWorkFolder>(); }
    void cleanup() { folder_.reset(); }

    void scrollMaximum_data() {
        QTest::addColumn<int>("himetric");
        QTest::addColumn<int>("maximum");
        QTest::newRow("44 -> 1") << 44 << 1;
        QTest::newRow("15 -> 0, half to even") << 15 << 0;
        QTest::newRow("45 -> 2, half to even") << 45 << 2;
        QTest::newRow("75 -> 2, half to even") << 75 << 2;
        QTest::newRow("30000 -> 1000") << 30000 << 1000;
        QTest::newRow("983024 -> 32767") << 983024 << 32767;
    }
    void scrollMaximum() {
        QFETCH(int, himetric);
        QFETCH(int, maximum);
        QCOMPARE(int(velmora::ScrollMaximumFor(himetric, "extent")), maximum);
    }

    void scrollMaximumOverflows() {
        QCOMPARE(KindOf([] { velmora::ScrollMaximumFor(983025, "extent"); }), ErrorKind::Overflow);
    }

    // 3000 x 2 pixels at 10,000 dots per meter: 30,000 x 20 HIMETRIC.
    void loadSetsMaximaFromHimetric() {
        Form1 form;
        Load(form, WriteBmp(folder_->file("strip.bmp"), 3000, 2, 10000));
        QCOMPARE(form.workingPicture()->widthHimetric, 30000);
        QCOMPARE(Bar(form, "HScroll1")->maximum(), 1000);
        QCOMPARE(Bar(form, "VScroll1")->maximum(), 1);
        QCOMPARE(Bar(form, "HScroll1")->minimum(), 0);
        QCOMPARE(Image1(form)->size(), QSize(3000, 2));
    }

    void beforeAnyPictureNothingScrolls() {
        Form1 form;
        Bar(form, "HScroll1")->setValue(5);
        Bar(form, "VScroll1")->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(Bar(form, "HScroll1")->value(), 0);
        QCOMPARE(Image1(form)->pos(), QPoint(0, 0));
    }

    // One scroll unit is 15 twips, one pixel. Offsets are worked out wide, so values of 2185
    // and more scroll too instead of failing.
    void offsetForValue_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("twips");
        QTest::newRow("1") << 1 << -15;
        QTest::newRow("one arrow step") << 5 << -75;
        QTest::newRow("one page step") << 40 << -600;
        QTest::newRow("1000") << 1000 << -15000;
        QTest::newRow("2184") << 2184 << -32760;
        QTest::newRow("2185, past 16 bits") << 2185 << -32775;
        QTest::newRow("32767") << 32767 << -491505;
    }
    void offsetForValue() {
        QFETCH(int, value);
        QFETCH(int, twips);
        QCOMPARE(velmora::ScrollOffsetTwips(value, "offset"), twips);
        Form1 form;
        Bar(form, "HScroll1")->setMaximum(32767);
        Bar(form, "VScroll1")->setMaximum(32767);
        Bar(form, "HScroll1")->setValue(value);
        QCOMPARE(Image1(form)->pos(), QPoint(twips / 15, 0));
        Bar(form, "VScroll1")->setValue(value);
        QCOMPARE(Image1(form)->pos(), QPoint(twips / 15, twips / 15));
    }

    void stepsMoveByTheirChange() {
        Form1 form;
        Load(form, WriteBmp(folder_->file("big.bmp"), 1600, 1200, 3780));
        QCOMPARE(Bar(form, "HScroll1")->maximum(), 1411);  // 42,333 HIMETRIC
        QCOMPARE(Bar(form, "VScroll1")->maximum(), 1058);  // 31,750 HIMETRIC
        Bar(form, "HScroll1")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(Image1(form)->pos(), QPoint(-5, 0));
        Bar(form, "VScroll1")->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(Image1(form)->pos(), QPoint(-5, -40));
        Bar(form, "HScroll1")->triggerAction(QAbstractSlider::SliderToMaximum);
        QCOMPARE(Image1(form)->pos(), QPoint(-1411, -40));
    }

    // A drag moves the picture once, when the thumb is let go.
    void dragMovesOnRelease() {
        Form1 form;
        auto* bar = Bar(form, "HScroll1");
        bar->setMaximum(1000);
        bar->setSliderDown(true);
        bar->setSliderPosition(300);
        QCOMPARE(Image1(form)->pos(), QPoint(0, 0));
        bar->setSliderDown(false);
        QCOMPARE(Image1(form)->pos(), QPoint(-300, 0));
    }

    // Loading keeps the scroll values and the picture's place; a range that shrinks below the
    // value pulls the value, and the picture, back with it.
    void loadKeepsValuesAndPosition() {
        Form1 form;
        Load(form, WriteBmp(folder_->file("big.bmp"), 1600, 1200, 3780));
        Bar(form, "HScroll1")->setValue(300);
        Bar(form, "VScroll1")->setValue(200);
        Load(form, WriteBmp(folder_->file("second.bmp"), 1500, 1000, 3780));
        QCOMPARE(Bar(form, "HScroll1")->value(), 300);
        QCOMPARE(Bar(form, "VScroll1")->value(), 200);
        QCOMPARE(Image1(form)->pos(), QPoint(-300, -200));
        QCOMPARE(Image1(form)->size(), QSize(1500, 1000));

        Load(form, WriteBmp(folder_->file("small.bmp"), 200, 100, 3780));
        QCOMPARE(Bar(form, "HScroll1")->value(), 176);  // 5292 HIMETRIC / 30
        QCOMPARE(Bar(form, "VScroll1")->value(), 88);   // 2646 HIMETRIC / 30
        QCOMPARE(Image1(form)->pos(), QPoint(-176, -88));
    }
};

QTEST_MAIN(TestScrolledView)
#include "test_scrolled_view.moc"
