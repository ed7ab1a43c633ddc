// "管理备份…": the clean runs kept in the backup store (time, folder, files,
// size on disk, state; a run's files when its row is opened) and the store's
// total size, with Restore and Delete. The
// restore itself runs in the main window, which shows it as it shows a clean.
#pragma once

#include <QDialog>

#include "window/restorer.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace ui {
class Dialogs;

class BackupsDialog : public QDialog {
  Q_OBJECT
 public:
  BackupsDialog(Restorer& restorer, Dialogs& dialogs, QWidget* parent);

  QTreeWidget* runList;
  QLabel* totalLabel;
  QPushButton* restoreButton;
  QPushButton* deleteButton;
  QPushButton* closeButton;

  // Reads the store again; the row of run `keep` stays the current one.
  void refresh(const QByteArray& keep = {});
  // The runs listed, newest first, as the rows show them.
  const std::vector<Restorer::Run>& runs() const { return store_.runs; }

 Q_SIGNALS:
  // The user asked to restore the run named.
  void restoreRequested(const QByteArray& run);

 private:
  void restoreChosen();
  void deleteChosen();
  void showFiles(QTreeWidgetItem* row);
  const Restorer::Run* chosen() const;

  Restorer& restorer_;
  Dialogs& dialogs_;
  Restorer::Store store_;
};

// A size as the dialog shows it.
QString shownSize(qint64 bytes);

}  // namespace ui
