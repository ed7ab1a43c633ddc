// Stand-ins for the dialogs and the desktop shell that record what the windows
// ask of them, so tests never block on a modal loop or launch a program.
#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <utility>

#include "ui/dialogs.h"
#include "ui/shell.h"

struct RecordingDialogs : ui::Dialogs {
  struct Message {
    QPointer<QWidget> parent;
    QString text;
  };
  struct FolderRequest {
    QPointer<QWidget> parent;
    QString title;
    QString startDir;
    bool directoriesOnly = false;
  };
  QList<Message> messages;
  QList<Message> questions;
  QList<Message> warnings;
  // Each choice offered: its text and buttons; the answers in turn (an index;
  // the default once they are used up).
  struct Choice {
    QString text;
    QStringList buttons;
    int defaultButton = 0;
  };
  QList<Choice> choices;
  QList<int> choiceAnswers;
  QList<FolderRequest> folderRequests;
  QString folderAnswer;  // what the folder dialog "returns"
  // The answers to the questions, in turn; Yes once they are used up.
  QList<bool> answers;

  void critical(QWidget* parent, const QString& text) override { messages.append({parent, text}); }
  void warning(QWidget* parent, const QString& text) override { warnings.append({parent, text}); }
  int choose(QWidget*, const QString& text, const QStringList& buttons,
             int defaultButton) override {
    choices.append({text, buttons, defaultButton});
    return choiceAnswers.isEmpty() ? defaultButton : choiceAnswers.takeFirst();
  }
  bool question(QWidget* parent, const QString& text) override {
    questions.append({parent, text});
    return answers.isEmpty() ? true : answers.takeFirst();
  }
  QString existingDirectory(QWidget* parent, const QString& title, const QString& startDir,
                            bool directoriesOnly) override {
    folderRequests.append({parent, title, startDir, directoriesOnly});
    return folderAnswer;
  }
  QStringList messageTexts() const {
    QStringList out;
    for (const Message& m : messages)
      out.append(m.text);
    return out;
  }
};

struct RecordingShell : platform::Shell {
  QStringList shownFiles;
  QStringList openedUrls;
  bool starts = true;  // whether the "program" could be started
  // What each call would be told if its program failed later, in call order.
  QList<std::pair<QPointer<QObject>, platform::Failure>> pending;

  void showFileInManager(const QString& path, QObject* context, platform::Failure failed) override {
    shownFiles.append(path);
    record(context, std::move(failed));
  }
  void openUrl(const QString& url, QObject* context, platform::Failure failed) override {
    openedUrls.append(url);
    record(context, std::move(failed));
  }
  // The program of call `i` ends with a failure now.
  void fail(qsizetype i) {
    if (pending.value(i).first)
      pending.value(i).second();
  }

 private:
  void record(QObject* context, platform::Failure failed) {
    if (!starts)
      failed();
    else
      pending.append({context, std::move(failed)});
  }
};
