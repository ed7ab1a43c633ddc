// The results window: the list of infected files the scans found, and a button
// that shows the chosen one in the file manager.
#pragma once

#include <QWidget>

class QComboBox;

namespace platform {
class Shell;
}

namespace ui {
class Dialogs;
class WrapButton;
}  // namespace ui

class Form2 : public QWidget {
  Q_OBJECT
 public:
  Form2(platform::Shell& shell, ui::Dialogs& dialogs);

  QComboBox* Combo1;
  ui::WrapButton* Command1;
  ui::WrapButton* Command2;

 Q_SIGNALS:
  // The user closed the window: it and its list are gone, even while its
  // deletion waits for the event loop.
  void discarded();

 public Q_SLOTS:
  // "打开（&Q）": the file manager shows the file that the box's line names.
  void Command1_Click();
  // "返回": hides the window; it keeps its list.
  void Command2_Click();
  // The message when no file manager shows `path`: its folder and a remedy.
  static QString fileManagerFailed(const QString& path);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  platform::Shell& shell_;
  ui::Dialogs& dialogs_;
};
