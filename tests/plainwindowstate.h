// The window state of plain values that the tests drive the window's commands
// with, without a display.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

#include "engine/messages.h"
#include "window/windowstate.h"

class PlainWindowState : public WindowState {
 public:
  QString Text3;
  QString Combo1;
  QString Combo2;
  QStringList Drive1;
  QString Text1;
  QString Text2;
  QStringList resultItems;  // Form2's list
  QString resultBox;        // Form2's box text
  QStringList messages;     // every message box shown
  QStringList questions;    // every question asked
  bool answerYes = false;   // the answer to each
  // The questions of a clean that met a file it could not clean, and the
  // answers to give, in turn ("停止" once they are used up).
  QStringList failureQuestions;
  QList<FailureChoice> failureAnswers;
  qint64 progressDone = 0;
  qint64 progressTotal = 0;
  qsizetype yields = 0;
  // Called at every yield, after `yields` has been counted.
  std::function<void(PlainWindowState&)> onYield;

  QString signatureText() const override { return Text3; }
  QString locationText() const override { return Combo1; }
  QString filterText() const override { return Combo2; }
  QStringList drives() const override { return Drive1; }
  QString resultsText() const override { return Text1; }
  void setResultsText(const QString& text) override { Text1 = text; }
  void appendResultsText(const QString& text) override { Text1 += text; }
  void setCurrentFileText(const QString& text) override { Text2 = text; }
  void appendResultItem(const QString& item) override { resultItems.append(item); }
  QString resultItem(qsizetype index) const override { return resultItems.value(index); }
  void setResultBoxText(const QString& text) override { resultBox = text; }
  void showMessage(const QString& text) override { messages.append(text); }
  bool askYesNo(const QString& text) override {
    questions.append(text);
    return answerYes;
  }
  // The question is a message box too: a test of a clean that stops sees it
  // among the messages like any other.
  FailureChoice askFailure(const QString& text) override {
    failureQuestions.append(text);
    messages.append(text);
    return failureAnswers.isEmpty() ? FailureChoice::Stop : failureAnswers.takeFirst();
  }
  void showProgress(qint64 done, qint64 total) override {
    progressDone = done;
    progressTotal = total;
  }
  // Text1 without the list of files a clean did not clean (below its header).
  QString cleaningLog() const {
    const qsizetype left = Text1.indexOf(msg::kNotCleanedHeader);
    return left < 0 ? Text1 : Text1.left(left);
  }
  void yieldToEvents() override {
    ++yields;
    if (onYield)
      onYield(*this);
  }
};
