#include "ui/module1.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "ui/dialogs.h"

namespace Module1 {

QString dialogStartFolder() {
  const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  if (!desktop.isEmpty() && QFileInfo(desktop).isDir())
    return desktop;
  return QDir::homePath();
}

QString BrowseForFolder(ui::Dialogs& dialogs, QWidget* OwnerHwnd, QString& FolderPath,
                        const QString& Title, int Flags, const QString& startFolder) {
  const QString start =
      !startFolder.isEmpty() && QFileInfo(startFolder).isDir() ? startFolder : dialogStartFolder();
  const QString chosen =
      dialogs.existingDirectory(OwnerHwnd, Title, start, (Flags & BIF_RETURNONLYFSDIRS) != 0);
  if (chosen.isEmpty())
    return QString();
  FolderPath = chosen;
  return chosen;
}

}  // namespace Module1
