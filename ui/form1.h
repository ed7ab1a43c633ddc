// The main window: the signature, the location and the filter, the results log,
// the current-file line and a button for every command. It is the window state
// that the scan and the clean work on.
//
// A scan runs on this thread and yields to the event loop as it walks, so every
// handler below can run inside it. None is disabled; each keeps to this:
// - Scan (Command1_Click) is refused: the walk below must go on with its listing.
// - Stop (Command7_Click) clears ScanFlag: the listing under way is finished, no
//   further folder is entered, and the hand-off still runs.
// - Clean (Command2_Click) runs a whole cleaning run over the paths logged so
//   far and replaces Text1 by its cleaning log; the walk then appends behind it,
//   and the hand-off takes every line of Text1, the result lines included.
// - Typing into Text3, Combo1 or Combo2, and the folder picker (Command5_Click),
//   change only the next scan: the running one took its signature, location and
//   filter when it started. Typing into Text1 changes what the walk appends to.
// - Command3_Click shows the results window as it is; its list grows only at
//   the hand-off. Closing it discards it; the hand-off makes a new one.
// - Help (Command4_Click) only asks the desktop to open a page.
// - Exit (Command6_Click) and closing this window end the process inside the
//   scan, with no hand-off: nothing may run on over a window that is gone.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QWidget>

#include "ui/resultsbox.h"
#include "ui/signaturebox.h"
#include "window/cleaner.h"
#include "window/restorer.h"
#include "window/windowscan.h"
#include "window/windowstate.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class Form2;

namespace platform {
class Shell;
}

namespace ui {
class BackupsDialog;
class Dialogs;
class WrapButton;
}  // namespace ui

class Form1 : public QWidget, public WindowState {
  Q_OBJECT
 public:
  explicit Form1(ui::Dialogs& dialogs, platform::Shell& shell);
  ~Form1() override;

  // The controls, by their names.
  QGroupBox* Frame1;
  ui::SignatureBox* Text3;
  QGroupBox* Frame2;
  QComboBox* Combo1;
  ui::WrapButton* Command5;
  QLabel* Image1;
  QLabel* Label1;
  QComboBox* Combo2;
  ui::ResultsBox* Text1;
  ui::WrapButton* Command1;
  ui::WrapButton* Command7;
  ui::WrapButton* Command2;
  ui::WrapButton* Command3;
  ui::WrapButton* Command4;
  ui::WrapButton* Command6;
  QLineEdit* Text2;
  QLabel* progressLabel;  // inside Text2: "1234 / 20000"
  QComboBox* Drive1;      // the machine's drives; never shown

  // The way back, in the results box's context menu and on their shortcuts
  // anywhere in the window.
  QAction* undoCleanAction;
  QAction* manageBackupsAction;
  // The backups dialog, or null while it is not open.
  ui::BackupsDialog* backupsDialog() const;

  // The results window, or null while it does not exist.
  Form2* form2() const;
  bool isScanning() const { return scanner_.isScanning(); }
  bool isCleaning() const { return cleaning_; }

  // Shows the window, then fills the location list and sets the filter.
  void Form_Load();
  // Discards the results window. During a scan the process ends here: the walk
  // below on the stack must neither go on nor hand its results to a closed window.
  void Form_Unload(int& Cancel);
  // Ctrl+A (character code 1) selects the whole signature.
  void Text3_KeyPress(int& KeyAscii);

 public Q_SLOTS:
  void Command1_Click();  // Scan
  void Command7_Click();  // Stop
  void Command2_Click();  // Clean
  void Command3_Click();  // Show the results window
  void Command4_Click();  // Help page
  void Command5_Click();  // Folder picker
  void Command6_Click();  // Exit

  // "撤销上次清除": restores the latest clean that kept backups.
  void undoLastClean();
  // "管理备份…": opens the backups dialog over the window.
  void manageBackups();

 public:
  // WindowState: the engine reads and writes the window through these.
  QString signatureText() const override;
  QString locationText() const override;
  QString filterText() const override;
  QStringList drives() const override;
  QString resultsText() const override;
  void setResultsText(const QString& text) override;
  void appendResultsText(const QString& text) override;
  void setCurrentFileText(const QString& text) override;
  void appendResultItem(const QString& item) override;
  QString resultItem(qsizetype index) const override;
  void setResultBoxText(const QString& text) override;
  void showMessage(const QString& text) override;
  bool askYesNo(const QString& text) override;
  void yieldToEvents() override;
  void showCleaning(const QString& path) override;
  void showNote(const QString& text) override;
  FailureChoice askFailure(const QString& text) override;
  void showProgress(qint64 done, qint64 total) override;
  // The window reads and matches on worker threads, at least one besides its own,
  // so the walk and the window go on while a file is read from the disk.
  int scanThreads() const override;

  // How often, at most, the scan lets the window repaint and handle clicks, and
  // the clean lets it repaint.
  static constexpr qint64 kYieldIntervalMs = 15;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The constructor's parts.
  void createControls();
  void addWayBackActions();
  void nameForScreenReaders();
  void orderAndConnect();
  Form2* ensureForm2();
  // The clean's last line: what it cleaned, failed and did not reach.
  QString cleanSummary(const Cleaner::LastClean& done) const;
  // After a clean that changed files: the counts, with "撤销" beside "确定".
  bool offerUndo(const Cleaner::LastClean& done);
  void showCurrentFile();
  // Puts the lines appended since the last yield into Text1.
  void showPendingLog() const;

  ui::Dialogs& dialogs_;
  platform::Shell& shell_;
  WindowScan scanner_{*this};
  Cleaner cleaner_{*this};
  Restorer restorer_{*this};
  QPointer<ui::BackupsDialog> backups_;
  // Restores the run named (the latest when empty) as the clean runs: the
  // window repaints and shows the current file, and handles no input.
  void restoreRun(const QByteArray& run);
  QPointer<Form2> form2_;
  // The runs this window restored: not offered again as the one to undo.
  QSet<QByteArray> undoneRuns_;
  QElapsedTimer yieldClock_;
  QString currentFile_;
  QString progress_;
  bool currentFileShown_ = true;
  // Lines appended to the log and not yet in Text1 (CR LF breaks): Text1 is
  // only seen at a yield, and one insertion per yield costs far less than one per
  // detection when a scan finds tens of thousands.
  mutable QString pendingLog_;
  bool cleaning_ = false;
  bool closeAfterClean_ = false;
};
