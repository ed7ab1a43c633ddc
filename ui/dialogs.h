// The modal dialogs the windows show: the message box and the folder chooser.
// The windows reach them through `Dialogs`, so tests can answer them without a
// modal loop.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class QMessageBox;
class QPushButton;
class QWidget;

namespace ui {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A modal message over `parent`: critical icon, one OK button, title "Tervane".
  virtual void critical(QWidget* parent, const QString& text) = 0;
  // A modal warning over `parent`: warning icon, one OK button, title "Tervane".
  virtual void warning(QWidget* parent, const QString& text) = 0;
  // A modal choice over `parent` between `buttons` (their captions, in order),
  // with a warning icon; `defaultButton` is the one Enter and Esc give. Returns
  // the index of the button chosen.
  virtual int choose(QWidget* parent, const QString& text, const QStringList& buttons,
                     int defaultButton) = 0;
  // A modal question over `parent` with Yes and No (No the default); true for Yes.
  virtual bool question(QWidget* parent, const QString& text) = 0;
  // The modal folder chooser over `parent`, opened at `startDir`. Returns the
  // chosen folder, or the empty text when the user cancels.
  virtual QString existingDirectory(QWidget* parent, const QString& title, const QString& startDir,
                                    bool directoriesOnly) = 0;
};

// The real dialogs: QMessageBox and QFileDialog.
Dialogs& systemDialogs();

// The box that `Dialogs::choose` shows, made and not shown: its buttons in
// `buttons`' order are `added`.
std::unique_ptr<QMessageBox> choiceBox(QWidget* parent, const QString& text,
                                       const QStringList& buttons, int defaultButton,
                                       QList<QPushButton*>& added);

// Ends the process at once: no handler runs any more, no window is asked first.
[[noreturn]] void endProcess();

}  // namespace ui
