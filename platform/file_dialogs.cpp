#include "platform/file_dialogs.h"

#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace velmora {
namespace {

// Qt's own dialog accepts a typed name in a folder that does not exist; this one refuses it
// in place, the way a dialog that insists on an existing path does.
class ExistingFolderFileDialog : public QFileDialog {
  public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList chosen = selectedFiles();
        if (!chosen.isEmpty()) {
            const QFileInfo file(chosen.first());
            if (!file.isDir() && !QFileInfo(file.absolutePath()).isDir()) {
                QMessageBox::warning(this, windowTitle(),
                                     tr("%1\nThe folder does not exist. Check the path.")
                                         .arg(QDir::toNativeSeparators(file.absolutePath())));
                return;
            }
        }
        QFileDialog::accept();
    }
};

}  // namespace

std::optional<QString> RunFileDialog(const FileDialogRequest& request) {
    ExistingFolderFileDialog dialog(nullptr, request.title, request.startFolder);
    // Qt's widget dialog rather than a desktop portal: the same dialog on every desktop, also
    // under a bare X server, and reachable by tests.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(request.purpose == FileDialogRequest::Purpose::Open
                             ? QFileDialog::AcceptOpen
                             : QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.nameFilters);
    if (!request.nameFilters.isEmpty()) dialog.selectNameFilter(request.nameFilters.first());
    dialog.setDirectory(request.startFolder);

    // QDialog::exec() would block every other window; a plain event loop leaves them usable.
    dialog.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    // Take the keyboard at once, also where no window manager hands it over.
    dialog.raise();
    dialog.activateWindow();
    loop.exec();

    if (dialog.result() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.first();
}

}  // namespace velmora
