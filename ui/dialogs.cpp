#include "ui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include "engine/messages.h"

namespace ui {

namespace {

class SystemDialogs final : public Dialogs {
 public:
  void critical(QWidget* parent, const QString& text) override {
    QMessageBox box(QMessageBox::Critical, msg::kAppTitle.toString(), text, QMessageBox::Ok,
                    parent);
    box.exec();
  }

  bool question(QWidget* parent, const QString& text) override {
    QMessageBox box(QMessageBox::Question, msg::kAppTitle.toString(), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
  }

  QString existingDirectory(QWidget* parent, const QString& title, const QString& startDir,
                            bool directoriesOnly) override {
    const QFileDialog::Options options =
        directoriesOnly ? QFileDialog::ShowDirsOnly : QFileDialog::Options();
    return QFileDialog::getExistingDirectory(parent, title, startDir, options);
  }
};

}  // namespace

Dialogs& systemDialogs() {
  static SystemDialogs dialogs;
  return dialogs;
}

void endProcess() {
  // Tervane keeps no files of its own open, so there is nothing to finish; the
  // scan that may be on the stack must not go on to its hand-off.
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace ui
