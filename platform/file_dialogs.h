#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace velmora {

// What one file dialog is asked for.
struct FileDialogRequest {
    enum class Purpose { Open, Save };
    Purpose purpose = Purpose::Open;
    QString title;            // empty: the dialog's own default title
    QStringList nameFilters;  // "label(pattern)" items, in the order shown; the first is selected
    QString startFolder;
};

// Shows a file dialog with no owner window and waits for it in an event loop of its own, so the
// other windows stay usable and their handlers may run meanwhile. Exactly one name can be
// chosen; it need not exist yet, but its folder must (the dialog refuses a name in a missing
// folder and stays open). No overwrite question, no default suffix, the current directory is
// left alone. Returns the chosen path as the dialog gives it, or nothing when the user cancels.
std::optional<QString> RunFileDialog(const FileDialogRequest& request);

}  // namespace velmora
