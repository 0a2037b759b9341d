#pragma once

#include <QString>
#include <optional>

#include "platform/file_dialogs.h"

namespace velmora {

// The input chooser: an open dialog titled "ファイルを選択" offering "jpeg(*.jpg)",
// "bitmap(*.bmp)" and "All File(*.*)", starting in the program's own folder.
FileDialogRequest InputChooserRequest();

// The output chooser: a save dialog with its default title offering "bitmap(*.bmp)" and
// "All File(*.*)", starting in the program's own folder.
FileDialogRequest OutputChooserRequest();

// Show the chooser and return the chosen path whole, or nothing when the user cancels.
std::optional<QString> ChooseInputFile();
std::optional<QString> ChooseOutputFile();

}  // namespace velmora
