#include "window/form1.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <exception>
#include <new>

#include "correction/error.h"
#include "correction/filtering.h"
#include "correction/map_store.h"
#include "correction/picture_bytes.h"
#include "correction/tuning.h"
#include "files/file_choosers.h"
#include "files/picture_load.h"
#include "files/picture_save.h"
#include "window/scrolled_view.h"

namespace velmora {
namespace {

const QString kCaption = QStringLiteral("Velmora ver1.10");

template <typename Control>
Control* Place(QWidget* parent, const char* name, const QString& caption, QRect twipsRect) {
    auto* control = new Control(caption, parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(twipsRect);
    return control;
}

QScrollBar* PlaceScrollBar(QWidget* parent, const char* name, Qt::Orientation orientation,
                           QRect twipsRect) {
    auto* bar = new QScrollBar(orientation, parent);
    bar->setObjectName(QLatin1String(name));
    bar->setGeometry(twipsRect);
    bar->setRange(0, 0);
    bar->setSingleStep(5);
    bar->setPageStep(40);
    // One change of value when the thumb is let go, none while it is dragged.
    bar->setTracking(false);
    bar->setFocusPolicy(Qt::StrongFocus);
    return bar;
}

// The form's check box values: 0 unchecked, 1 checked, 2 grayed. Qt numbers them 0, 2, 1.
int CheckValue(const QCheckBox* box) {
    switch (box->checkState()) {
        case Qt::Unchecked:
            return 0;
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
    }
    return 0;
}

// The user locale's decimal separator; the percentage parser takes one ASCII character.
char DecimalSeparator() {
    const QString point = QLocale::system().decimalPoint();
    return point.size() == 1 && point.at(0).unicode() < 0x80 ? char(point.at(0).unicode()) : '.';
}

}  // namespace

Form1::Form1(QWidget* parent) : QWidget(parent) {
    setWindowTitle(kCaption);
    resize(TwipsRect(0, 0, 9000, 5850).size());
    // A 12-pixel font, the size the twip layout was drawn for: the Japanese captions fit their
    // boxes.
    QFont captions = font();
    captions.setPixelSize(12);
    setFont(captions);

    // Created in tab order; each at its place in twips, fixed: nothing reacts to a resize.
    Command1 = Place<QPushButton>(this, "Command1", "load", TwipsRect(7080, 240, 1215, 375));
    Text1 = Place<QLineEdit>(this, "Text1", QString(), TwipsRect(1200, 240, 4935, 270));
    Picture1 = new QFrame(this);
    Picture1->setObjectName("Picture1");
    Picture1->setGeometry(TwipsRect(240, 840, 6255, 3855));
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setLineWidth(2);
    Picture1->setFocusPolicy(Qt::StrongFocus);
    Image1 = CreateImageHolder(*Picture1, TwipsRect(0, 0, 2295, 1215).size());
    Image1->setObjectName("Image1");
    Command2 = Place<QPushButton>(this, "Command2", "tuning", TwipsRect(7080, 1080, 1215, 375));
    Command3 = Place<QPushButton>(this, "Command3", "filtering", TwipsRect(7080, 1800, 1215, 1095));
    VScroll1 = PlaceScrollBar(this, "VScroll1", Qt::Vertical, TwipsRect(6480, 840, 255, 3855));
    HScroll1 = PlaceScrollBar(this, "HScroll1", Qt::Horizontal, TwipsRect(240, 4680, 6255, 255));
    Command4 = Place<QPushButton>(this, "Command4", "save(bmp)", TwipsRect(7080, 5160, 1215, 375));
    Text2 = Place<QLineEdit>(this, "Text2", QString(), TwipsRect(1080, 5160, 5055, 270));
    Check1 = Place<QCheckBox>(this, "Check1", "白飛び軽減", TwipsRect(7080, 3240, 1575, 255));
    Text3 = Place<QLineEdit>(this, "Text3", "30", TwipsRect(7440, 3600, 495, 270));
    Label1 = Place<QLabel>(this, "Label1", "%", TwipsRect(8040, 3720, 255, 255));
    Check2 = Place<QCheckBox>(this, "Check2", "暗い色を優先", TwipsRect(7440, 3960, 1335, 375));
    Command5 = Place<QPushButton>(this, "Command5", "参照", TwipsRect(6120, 240, 615, 375));
    Command6 = Place<QPushButton>(this, "Command6", "参照", TwipsRect(6120, 5160, 615, 375));
    Label2 = Place<QLabel>(this, "Label2", "ファイル名", TwipsRect(240, 240, 975, 255));
    Label3 = Place<QLabel>(this, "Label3", "ファイル名", TwipsRect(240, 5160, 975, 255));
    Text3->setEnabled(false);
    Check2->setEnabled(false);

    QWidget* const tabOrder[] = {Command1, Text1, Picture1, Command2, Command3, VScroll1, HScroll1,
                                 Command4, Text2, Check1,   Text3,    Check2,   Command5, Command6};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    Command1->setFocus();

    const auto wire = [this](auto* source, auto signal, void (Form1::*handler)()) {
        connect(source, signal, this, [this, handler] { Dispatch(handler); });
    };
    wire(Command1, &QPushButton::clicked, &Form1::Command1_Click);
    wire(Command2, &QPushButton::clicked, &Form1::Command2_Click);
    wire(Command3, &QPushButton::clicked, &Form1::Command3_Click);
    wire(Command4, &QPushButton::clicked, &Form1::Command4_Click);
    wire(Command5, &QPushButton::clicked, &Form1::Command5_Click);
    wire(Command6, &QPushButton::clicked, &Form1::Command6_Click);
    wire(Check1, &QCheckBox::stateChanged, &Form1::Check1_Click);
    wire(HScroll1, &QScrollBar::valueChanged, &Form1::HScroll1_Change);
    wire(VScroll1, &QScrollBar::valueChanged, &Form1::VScroll1_Change);

    Dispatch(&Form1::Form_Load);
}

void Form1::Dispatch(void (Form1::*handler)()) {
    try {
        (this->*handler)();
    } catch (const Error& error) {
        ReportError(QString::fromStdString(error.what()));
    } catch (const std::bad_alloc&) {
        ReportError(QStringLiteral("Out of memory: the step needs more memory than is free."));
    }
}

void Form1::ReportError(const QString& message) {
    QMessageBox box(QMessageBox::Critical, kCaption, message, QMessageBox::Ok, this);
    box.exec();
}

void Form1::Refresh() {
    if (!picture_) return;
    Image1->setPixmap(QPixmap::fromImage(BitmapToImage(picture_->bitmap)));
    Image1->repaint();
}

void Form1::Form_Load() {
    LoadCorrectionMap(correctionMap_, kMapFileName);
}

void Form1::Command1_Click() {
    if (Text1->text().isEmpty()) Command5_Click();
    const QString path = Text1->text();
    if (path.isEmpty()) return;
    picture_.emplace(LoadPictureFile(path));
    Image1->resize(picture_->bitmap.width(), picture_->bitmap.height());
    Refresh();
    VScroll1->setMaximum(ScrollMaximumFor(
        picture_->heightHimetric, "the vertical scroll range (picture height in HIMETRIC / 30)"));
    HScroll1->setMaximum(ScrollMaximumFor(
        picture_->widthHimetric, "the horizontal scroll range (picture width in HIMETRIC / 30)"));
    Text2->setText(ProposedOutputName(path));
}

void Form1::Command2_Click() {
    const BITMAP size = ReadPictureBytes(Handle(), pixelBytes_);
    TuneCorrectionMap(pixelBytes_, correctionMap_);
    const std::vector<std::uint8_t> preview =
        MapPreview(correctionMap_, size.bmWidthBytes, size.bmHeight);
    WritePictureBytes(Handle(), size, preview.data(), [this] { Refresh(); });
    SaveCorrectionMap(correctionMap_, kMapFileName);
}

void Form1::Command3_Click() {
    const BITMAP size = ReadPictureBytes(Handle(), pixelBytes_);
    const FilterMode mode = DecideFilterMode(CheckValue(Check1), CheckValue(Check2));
    FilterPixelBytes(pixelBytes_, correctionMap_, mode, Text3->text().toStdString(),
                     DecimalSeparator());
    WritePictureBytes(Handle(), size, pixelBytes_.data(), [this] { Refresh(); });
}

void Form1::Command4_Click() {
    SaveWorkingPicture(Handle(), Text2->text());
}

void Form1::Command5_Click() {
    if (const std::optional<QString> chosen = ChooseInputFile()) Text1->setText(*chosen);
}

void Form1::Command6_Click() {
    if (const std::optional<QString> chosen = ChooseOutputFile()) Text2->setText(*chosen);
}

void Form1::Check1_Click() {
    const bool checked = CheckValue(Check1) != 0;
    Text3->setEnabled(checked);
    Check2->setEnabled(checked);
}

void Form1::HScroll1_Change() {
    const std::int32_t left = ScrollOffsetTwips(HScroll1->value(), "the picture's left edge");
    Image1->move(left / kTwipsPerPixel, Image1->y());
}

void Form1::VScroll1_Change() {
    const std::int32_t top = ScrollOffsetTwips(VScroll1->value(), "the picture's top edge");
    Image1->move(Image1->x(), top / kTwipsPerPixel);
}

}  // namespace velmora
