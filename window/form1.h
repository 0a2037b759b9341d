#pragma once

#include <QWidget>
#include <cstdint>
#include <optional>

#include "correction/correction_map.h"
#include "correction/pixel_bytes.h"
#include "platform/picture_file.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;

namespace velmora {

class Error;

// The one window. Its controls carry their own names as object names; its handlers are the
// operations below, each a short run of steps that raises velmora::Error when a step fails.
// The event wiring is the one place that catches it: it reports the error in a message box and
// the window goes on in the state the failing step left.
class Form1 : public QWidget {
    Q_OBJECT

  public:
    // Creates the controls and runs the load event (restoring the map from "data.dat" in the
    // current directory) before the window is first shown.
    explicit Form1(QWidget* parent = nullptr);

    void Form_Load();
    void Command1_Click();  // "load"
    void Command2_Click();  // "tuning"
    void Command3_Click();  // "filtering"
    void Command4_Click();  // "save(bmp)"
    void Command5_Click();  // input chooser
    void Command6_Click();  // output chooser
    void Check1_Click();
    void HScroll1_Change();
    void VScroll1_Change();

    // What the handlers share, for tests and benchmarks to look at.
    const CorrectionMap& correctionMap() const { return correctionMap_; }
    const std::optional<LoadedPicture>& workingPicture() const { return picture_; }

  private:
    // The event wiring: runs one handler to its end and reports the error it raised, if any.
    void Dispatch(void (Form1::*handler)());
    void ReportError(const QString& message);

    // The working picture's bitmap handle; null while no picture is loaded.
    Bitmap* Handle() { return picture_ ? &picture_->bitmap : nullptr; }
    // Repaints Image1 from the working picture's bitmap at once.
    void Refresh();

    QPushButton* Command1;
    QLineEdit* Text1;
    QFrame* Picture1;
    QLabel* Image1;
    QPushButton* Command2;
    QPushButton* Command3;
    QScrollBar* VScroll1;
    QScrollBar* HScroll1;
    QPushButton* Command4;
    QLineEdit* Text2;
    QCheckBox* Check1;
    QLineEdit* Text3;
    QLabel* Label1;
    QCheckBox* Check2;
    QPushButton* Command5;
    QPushButton* Command6;
    QLabel* Label2;
    QLabel* Label3;

    std::optional<LoadedPicture> picture_;
    PixelBytes pixelBytes_;
    CorrectionMap correctionMap_;
};

}  // namespace velmora
