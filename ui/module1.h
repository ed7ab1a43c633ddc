// The folder picker: the one routine outside the windows.
#pragma once

#include <QString>

class QWidget;

namespace ui {
class Dialogs;
}

namespace Module1 {

// Only folders of the file system can be chosen.
inline constexpr int BIF_RETURNONLYFSDIRS = 1;

// Where the folder dialog opens: the user's desktop folder, or the home folder
// when there is none.
QString dialogStartFolder();

// Shows the folder dialog owned by `OwnerHwnd`, titled `Title`, opened at the
// desktop. Returns the chosen folder's path, or the empty text when no folder was
// chosen; `FolderPath` receives the path only when there is one.
QString BrowseForFolder(ui::Dialogs& dialogs, QWidget* OwnerHwnd, QString& FolderPath,
                        const QString& Title, int Flags);

}  // namespace Module1
