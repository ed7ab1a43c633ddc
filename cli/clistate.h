// The main window's state as the command line keeps it: the three inputs come
// from the arguments, the results log goes to standard output as it grows, the
// messages go to standard error, and the current-file line becomes a progress
// line on standard error when that is a terminal. Nothing written holds a
// control character that a terminal would act on, but for the raw bytes of
// --null.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

#include "app/windowstate.h"

namespace cli {

// Writes raw bytes to a file descriptor, remembering the first failure.
class Sink {
 public:
  explicit Sink(int fd) : fd_(fd) {}
  void write(const QByteArray& bytes);
  bool failed() const { return errno_ != 0; }
  int error() const { return errno_; }
  bool isTerminal() const;

 private:
  int fd_;
  int errno_ = 0;
};

class CliWindowState : public WindowState {
 public:
  // `progress`: whether to show the progress line (standard error is a terminal).
  CliWindowState(Sink& out, Sink& err, bool progress);

  QString Text3;   // the signature box
  QString Combo1;  // the location box
  QString Combo2;  // the filter box
  int threads = 1;
  text::Encoding encoding = text::Encoding::Auto;
  text::LineEnds lineEnds = text::LineEnds::Any;
  // The log goes out as each path's bytes followed by a NUL, instead of lines.
  bool nulSeparated = false;

  QString signatureText() const override { return Text3; }
  QString locationText() const override { return Combo1; }
  QString filterText() const override { return Combo2; }
  QStringList drives() const override;
  int scanThreads() const override { return threads; }
  text::Encoding contentEncoding() const override { return encoding; }
  text::LineEnds contentLineEnds() const override { return lineEnds; }

  // The log is written out as it grows rather than kept: Text1 holds the input
  // of a clean run, and during a run only the latest piece, which is enough for
  // the hand-off to tell whether anything was found.
  QString resultsText() const override { return text1_; }
  void setResultsText(const QString& text) override { text1_ = text; }
  void appendResultsText(const QString& text) override;

  void setCurrentFileText(const QString& text) override;

  // The results window does not exist on the command line.
  void appendResultItem(const QString&) override {}
  QString resultItem(qsizetype) const override { return QString(); }
  void setResultBoxText(const QString&) override {}

  void showMessage(const QString& text) override;
  // On standard error as well, but not counted as an error.
  void showNote(const QString& text) override;
  void yieldToEvents() override {}
  // Names each file on standard error, with the reason, rather than a few.
  void showUnreadable(const QString& message) override;

  // With `json`, the log is not printed: the report stands for it.
  void setJson(bool json) { json_ = json; }

  // Whether a message was shown, and how many pieces the log received.
  bool messageShown() const { return messageShown_; }
  bool unreadableShown() const { return unreadableShown_; }
  qsizetype appended() const { return appended_; }
  // Removes the progress line, if one is shown.
  void clearProgress();

 private:
  void drawProgress(const QString& line);

  Sink& out_;
  Sink& err_;
  bool progress_;
  QString text1_;
  qsizetype appended_ = 0;
  bool messageShown_ = false;
  bool unreadableShown_ = false;
  bool json_ = false;
  qsizetype visited_ = 0;
  bool progressShown_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace cli
