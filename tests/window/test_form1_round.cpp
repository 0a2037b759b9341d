// The whole round through the handlers on files in a temporary folder: load, tuning, load,
// filtering, save(bmp), each result compared with the core computed directly; and what a failed
// load or save leaves behind.
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <random>

#include "correction/filtering.h"
#include "correction/map_store.h"
#include "correction/picture_bytes.h"
#include "correction/tuning.h"
#include "platform/picture_file.h"
#include "window/form1.h"
#include "window_test_support.h"

using velmora::CorrectionMap;
using velmora::ErrorKind;
using velmora::FilterMode;
using velmora::Form1;
using velmora::PixelBytes;
using velmora::testing::KindOf;
using velmora::testing::ReportCatcher;
using velmora::testing::TemporaryWorkFolder;

Q_DECLARE_METATYPE(velmora::FilterMode)

namespace {

// A picture with smooth shading and noise, written as `path` in the format its suffix names.
QString WritePicture(const QString& path, int width, int height, unsigned seed,
                     int dotsPerMeterX = 3780, int dotsPerMeterY = 3780) {
    QImage image(width, height, QImage::Format_RGB888);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-20, 20);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int shade = 250 - (std::abs(2 * x - width) + std::abs(2 * y - height)) / 4;
            const auto channel = [&](int offset) {
                return std::clamp(shade - offset + noise(rng), 0, 255);
            };
            image.setPixel(x, y, qRgb(channel(0), channel(10), channel(30)));
        }
    }
    image.setDotsPerMeterX(dotsPerMeterX);
    image.setDotsPerMeterY(dotsPerMeterY);
    if (!image.save(path)) qFatal("cannot write %s", qPrintable(path));
    return path;
}

QImage ReadBack(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read().convertToFormat(QImage::Format_BGR888);
}

// The map a tuning run on `reference` leaves, starting from `map`.
CorrectionMap TunedMap(const QString& reference, CorrectionMap map = {}) {
    velmora::LoadedPicture picture = velmora::LoadPictureFile(reference);
    PixelBytes pixels;
    velmora::ReadPictureBytes(&picture.bitmap, pixels);
    velmora::TuneCorrectionMap(pixels, map);
    return map;
}

// The picture a filtering run on `sample` leaves, `times` presses in a row.
QImage FilteredPicture(const QString& sample, const CorrectionMap& map, FilterMode mode,
                       const QString& strength, int times = 1) {
    velmora::LoadedPicture picture = velmora::LoadPictureFile(sample);
    for (int i = 0; i < times; ++i) {
        PixelBytes pixels;
        const velmora::BITMAP size = velmora::ReadPictureBytes(&picture.bitmap, pixels);
        velmora::FilterPixelBytes(pixels, map, mode, strength.toStdString(), '.');
        velmora::WritePictureBytes(&picture.bitmap, size, pixels.data(), {});
    }
    return velmora::BitmapToImage(picture.bitmap);
}

}  // namespace

class TestForm1Round : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<TemporaryWorkFolder> folder_;

    template <typename Control = QWidget>
    static Control* Find(Form1& form, const char* name) {
        auto* control = form.findChild<Control*>(QLatin1String(name));
        if (control == nullptr) qFatal("no control %s of that kind", name);
        return control;
    }
    static QLineEdit* Text(Form1& form, const char* name) { return Find<QLineEdit>(form, name); }
    static QImage Shown(Form1& form) {
        return Find<QLabel>(form, "Image1")
            ->pixmap()
            .toImage()
            .convertToFormat(QImage::Format_BGR888);
    }
    static void Load(Form1& form, const QString& path) {
        Text(form, "Text1")->setText(path);
        form.Command1_Click();
    }

  private slots:
    void init() { folder_ = std::make_unique<TemporaryWorkFolder>(); }
    void cleanup() { folder_.reset(); }

    void wholeRound_data() {
        QTest::addColumn<QString>("sampleName");
        QTest::addColumn<QSize>("sampleSize");
        QTest::addColumn<bool>("check1");
        QTest::addColumn<bool>("check2");
        QTest::addColumn<QString>("strength");
        QTest::addColumn<FilterMode>("mode");
        QTest::addColumn<int>("presses");
        QTest::newRow("plain add, odd width with filler byte")
            << "sample.png" << QSize(161, 121) << false << false << "30" << FilterMode::PlainAdd
            << 1;
        QTest::newRow("peak offset, jpeg sample") << "sample.jpg" << QSize(300, 200) << true
                                                  << false << "30" << FilterMode::PeakOffset << 1;
        QTest::newRow("peak scale") << "sample.bmp" << QSize(300, 200) << true << true << "50"
                                    << FilterMode::PeakScale << 1;
        QTest::newRow("peak scale read while Check1 is off")
            << "sample.bmp" << QSize(240, 180) << false << true << "100" << FilterMode::PeakScale
            << 1;
        QTest::newRow("filtering twice adds the map twice")
            << "sample.png" << QSize(300, 200) << false << false << "30" << FilterMode::PlainAdd
            << 2;
    }
    void wholeRound() {
        QFETCH(QString, sampleName);
        QFETCH(QSize, sampleSize);
        QFETCH(bool, check1);
        QFETCH(bool, check2);
        QFETCH(QString, strength);
        QFETCH(FilterMode, mode);
        QFETCH(int, presses);
        const QString reference = WritePicture(folder_->file("reference.png"), 300, 200, 1);
        const QString sample =
            WritePicture(folder_->file(sampleName), sampleSize.width(), sampleSize.height(), 2);
        const CorrectionMap expectedMap = TunedMap(reference);

        Form1 form;
        Load(form, reference);
        QCOMPARE(Text(form, "Text2")->text(), reference + ".bmp");
        form.Command2_Click();
        QVERIFY(form.correctionMap() == expectedMap);
        CorrectionMap stored;
        QVERIFY(velmora::LoadCorrectionMap(stored, "data.dat"));
        QVERIFY(stored == expectedMap);
        // Tuning shows the map in place of the picture.
        const std::vector<std::uint8_t> preview = velmora::MapPreview(expectedMap, 900, 200);
        velmora::Bitmap previewBitmap(300, 200);
        std::copy(preview.begin(), preview.end(), previewBitmap.bits());
        QCOMPARE(Shown(form), velmora::BitmapToImage(previewBitmap));

        Load(form, sample);
        if (check1) Find<QCheckBox>(form, "Check1")->click();
        if (check2) {
            Find<QCheckBox>(form, "Check1")->setChecked(true);
            Find<QCheckBox>(form, "Check2")->setChecked(true);
            Find<QCheckBox>(form, "Check1")->setChecked(check1);
        }
        Text(form, "Text3")->setText(strength);
        for (int i = 0; i < presses; ++i)
            form.Command3_Click();
        const QImage expected = FilteredPicture(sample, expectedMap, mode, strength, presses);
        QVERIFY(expected != ReadBack(sample));  // the map does change the picture
        QCOMPARE(Shown(form), expected);

        const QString output = folder_->file("out put ß");
        Text(form, "Text2")->setText(output);
        form.Command4_Click();
        QFile saved(output);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray header = saved.read(30);
        QCOMPARE(header.left(2), QByteArray("BM"));
        QCOMPARE(int(header[28]), 24);  // bits per pixel
        QCOMPARE(ReadBack(output), expected);
        QVERIFY(!QFileInfo::exists(output + ".bmp"));
    }

    void savingTwiceReplacesTheFile() {
        const QString sample = WritePicture(folder_->file("a.png"), 40, 30, 3);
        const QString other = WritePicture(folder_->file("b.png"), 20, 10, 4);
        Form1 form;
        Load(form, sample);
        Text(form, "Text2")->setText(folder_->file("out.bmp"));
        form.Command4_Click();
        Load(form, other);
        Text(form, "Text2")->setText(folder_->file("out.bmp"));
        form.Command4_Click();
        QCOMPARE(ReadBack(folder_->file("out.bmp")).size(), QSize(20, 10));
    }

    void failedSavesWriteNothing_data() {
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QString>("target");
        QTest::addColumn<ErrorKind>("kind");
        QTest::newRow("no picture loaded") << false << "out.bmp" << ErrorKind::Picture;
        QTest::newRow("empty Text2") << true << "" << ErrorKind::File;
        QTest::newRow("missing folder") << true << "no/such/folder/out.bmp" << ErrorKind::File;
    }
    void failedSavesWriteNothing() {
        QFETCH(bool, loaded);
        QFETCH(QString, target);
        QFETCH(ErrorKind, kind);
        Form1 form;
        if (loaded) Load(form, WritePicture(folder_->file("a.png"), 40, 30, 3));
        Text(form, "Text2")->setText(target);
        QCOMPARE(KindOf([&] { form.Command4_Click(); }), kind);
        QCOMPARE(QDir(folder_->path()).entryList(QDir::Files | QDir::NoDotAndDotDot),
                 loaded ? QStringList{"a.png"} : QStringList{});
    }

    void failedSaveKeepsExistingFile() {
        Form1 form;
        QFile existing(folder_->file("keep.bmp"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("old contents");
        existing.close();
        Text(form, "Text2")->setText(existing.fileName());
        QCOMPARE(KindOf([&] { form.Command4_Click(); }), ErrorKind::Picture);
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("old contents"));
    }

    // The error report names the kind and the cause, in a box captioned with the window's name;
    // the window then goes on.
    void failingHandlerIsReported() {
        Form1 form;
        form.show();
        ReportCatcher report;
        Find<QPushButton>(form, "Command2")->click();
        QVERIFY(report.shown());
        QCOMPARE(report.title, QString("Velmora ver1.10"));
        QVERIFY2(report.text.startsWith("Subscript out of range: "), qPrintable(report.text));
        QVERIFY(!QFileInfo::exists("data.dat"));
        QVERIFY(form.isVisible());
    }

    void loadFailures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("dotsPerMeterX");
        QTest::addColumn<int>("dotsPerMeterY");
        QTest::addColumn<ErrorKind>("kind");
        QTest::addColumn<bool>("pictureShown");
        QTest::addColumn<bool>("verticalSet");
        // 10 pixels at one dot per meter: 1,000,000 HIMETRIC, beyond 32767 x 30.
        QTest::newRow("missing file")
            << "missing.jpg" << 0 << 0 << ErrorKind::Picture << false << false;
        QTest::newRow("not a picture")
            << "notes.jpg" << 0 << 0 << ErrorKind::Picture << false << false;
        QTest::newRow("height beyond the scroll range")
            << "tall.bmp" << 3780 << 1 << ErrorKind::Overflow << true << false;
        QTest::newRow("width beyond the scroll range")
            << "wide.bmp" << 1 << 3780 << ErrorKind::Overflow << true << true;
    }
    void loadFailures() {
        QFETCH(QString, name);
        QFETCH(int, dotsPerMeterX);
        QFETCH(int, dotsPerMeterY);
        QFETCH(ErrorKind, kind);
        QFETCH(bool, pictureShown);
        QFETCH(bool, verticalSet);
        const QString path = folder_->file(name);
        if (name == "notes.jpg") {
            QFile notes(path);
            QVERIFY(notes.open(QIODevice::WriteOnly));
            notes.write("not a picture at all\n");
        } else if (dotsPerMeterX > 0) {
            WritePicture(path, 12, 10, 5, dotsPerMeterX, dotsPerMeterY);
        }
        Form1 form;
        Load(form, WritePicture(folder_->file("first.png"), 90, 60, 6));
        auto* hScroll = Find<QScrollBar>(form, "HScroll1");
        auto* vScroll = Find<QScrollBar>(form, "VScroll1");
        const int hMax = hScroll->maximum();
        const int vMax = vScroll->maximum();
        QCOMPARE(vMax, 53);  // 60 px at 96 dpi = 1588 HIMETRIC
        Text(form, "Text2")->setText("chosen.bmp");
        const QImage before = Shown(form);

        Text(form, "Text1")->setText(path);
        QCOMPARE(KindOf([&] { form.Command1_Click(); }), kind);
        QCOMPARE(Shown(form).size(), pictureShown ? QSize(12, 10) : before.size());
        QCOMPARE(form.workingPicture()->bitmap.width(), pictureShown ? 12 : 90);
        QCOMPARE(vScroll->maximum(), verticalSet ? 9 : vMax);  // 10 px at 96 dpi: 265 HIMETRIC
        QCOMPARE(hScroll->maximum(), hMax);
        QCOMPARE(Text(form, "Text2")->text(), QString("chosen.bmp"));
        QCOMPARE(Text(form, "Text1")->text(), path);
    }

    void loadNamesTheFileAndReadersReason() {
        Form1 form;
        Text(form, "Text1")->setText(folder_->file("missing.jpg"));
        try {
            form.Command1_Click();
            QFAIL("no error was raised");
        } catch (const velmora::Error& error) {
            QVERIFY2(QString(error.what()).contains("missing.jpg"), error.what());
        }
    }

    // Text2 is proposed from Text1 whole, extension included, replacing whatever it held.
    void loadProposesOutputName() {
        const QString bmp = WritePicture(folder_->file("a.bmp"), 30, 20, 7);
        Form1 form;
        Text(form, "Text2")->setText("typed by the user.bmp");
        Load(form, bmp);
        QCOMPARE(Text(form, "Text2")->text(), bmp + ".bmp");
    }

    // A name of blanks is a name: it is loaded (and fails), no chooser opens.
    void blankNameIsNotEmpty() {
        Form1 form;
        velmora::testing::WhenShown<QDialog> dialog([](QDialog* d) { d->reject(); });
        Text(form, "Text1")->setText(" ");
        QCOMPARE(KindOf([&] { form.Command1_Click(); }), ErrorKind::Picture);
        QVERIFY(!dialog.came());
    }
};

QTEST_MAIN(TestForm1Round)
#include "test_form1_round.moc"
