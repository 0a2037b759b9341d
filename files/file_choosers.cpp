#include "files/file_choosers.h"

#include <QCoreApplication>

namespace velmora {

// Asked afresh at every press, so each dialog opens in the program's folder whatever the
// user browsed to last time.
FileDialogRequest InputChooserRequest() {
    return {FileDialogRequest::Purpose::Open,
            QStringLiteral("ファイルを選択"),
            {QStringLiteral("jpeg(*.jpg)"), QStringLiteral("bitmap(*.bmp)"),
             QStringLiteral("All File(*.*)")},
            QCoreApplication::applicationDirPath()};
}

FileDialogRequest OutputChooserRequest() {
    return {FileDialogRequest::Purpose::Save,
            QString(),
            {QStringLiteral("bitmap(*.bmp)"), QStringLiteral("All File(*.*)")},
            QCoreApplication::applicationDirPath()};
}

std::optional<QString> ChooseInputFile() {
    return RunFileDialog(InputChooserRequest());
}

std::optional<QString> ChooseOutputFile() {
    return RunFileDialog(OutputChooserRequest());
}

}  // namespace velmora
