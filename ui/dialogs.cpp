#include "ui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

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

  void warning(QWidget* parent, const QString& text) override {
    QMessageBox box(QMessageBox::Warning, msg::kAppTitle.toString(), text, QMessageBox::Ok, parent);
    box.exec();
  }

  int choose(QWidget* parent, const QString& text, const QStringList& buttons,
             int defaultButton) override {
    QList<QPushButton*> added;
    const std::unique_ptr<QMessageBox> box = choiceBox(parent, text, buttons, defaultButton, added);
    box->exec();
    const auto chosen = added.indexOf(qobject_cast<QPushButton*>(box->clickedButton()));
    return chosen >= 0 ? int(chosen) : defaultButton;
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

std::unique_ptr<QMessageBox> choiceBox(QWidget* parent, const QString& text,
                                       const QStringList& buttons, int defaultButton,
                                       QList<QPushButton*>& added) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, msg::kAppTitle.toString(), text,
                                           QMessageBox::NoButton, parent);
  for (const QString& caption : buttons)
    added.append(box->addButton(caption, QMessageBox::AcceptRole));
  box->setDefaultButton(added.value(defaultButton));
  box->setEscapeButton(added.value(defaultButton));
  return box;
}

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
