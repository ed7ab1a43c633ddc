// The folder picker: the one routine outside the windows.
#pragma once

#include <QString>

class QWidget;

namespace ui {
class Dialogs;
}

namespace Module1 {

// A bit of `Flags`: the dialog shows and returns folders only, never files.
inline constexpr int BIF_RETURNONLYFSDIRS = 1;

// Where the folder dialog opens: the user's desktop folder, or the home folder
// when there is none.
QString dialogStartFolder();

// Shows a modal folder dialog over the window `OwnerHwnd` (null: no owner),
// titled `Title`, opened at `startFolder` when that is a folder, else at
// dialogStartFolder(). Returns the chosen folder's path, or the empty text when
// the user cancelled; `FolderPath` receives the path only when there is one.
QString BrowseForFolder(ui::Dialogs& dialogs, QWidget* OwnerHwnd, QString& FolderPath,
                        const QString& Title, int Flags, const QString& startFolder = {});

}  // namespace Module1
