// What the window's Scan and Clean read and write of the main window. The main
// window implements it with its widgets, the tests with plain values
// (tests/plainwindowstate.h). Every text here uses CR LF line breaks.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "platform/fs.h"
#include "text/encoding.h"
#include "text/lineends.h"

class WindowState {
 public:
  virtual ~WindowState() = default;

  // Text3: the signature box.
  virtual QString signatureText() const = 0;
  // Combo1: the location box's current text.
  virtual QString locationText() const = 0;
  // Combo2: the filter box's current text.
  virtual QString filterText() const = 0;
  // Drive1: the drive list, in order.
  virtual QStringList drives() const = 0;

  // Text1: the results log.
  virtual QString resultsText() const = 0;
  virtual void setResultsText(const QString& text) = 0;
  // Adds to the end of Text1 without rewriting what it holds.
  virtual void appendResultsText(const QString& text) = 0;

  // Text2: the current-file line.
  virtual void setCurrentFileText(const QString& text) = 0;

  // Form2's list (created on first use, hidden): appends one item.
  virtual void appendResultItem(const QString& item) = 0;
  // Form2's list item at `index` (the empty text when there is none).
  virtual QString resultItem(qsizetype index) const = 0;
  // Form2's box text.
  virtual void setResultBoxText(const QString& text) = 0;

  // A modal message box: critical icon, one OK button, title "Tervane".
  virtual void showMessage(const QString& text) = 0;
  // A message that reports what was done or warns rather than an error (the
  // repair of a run cut short, nothing to undo): the window shows it with the
  // warning icon.
  virtual void showNote(const QString& text) { showMessage(text); }

  // A question with Yes and No; true for Yes. With no one to ask, the answer is No.
  virtual bool askYesNo(const QString& text) {
    (void)text;
    return false;
  }

  // A clean that cannot clean a file asks whether to go on: "跳过" this file,
  // "全部跳过" every such file from now on, or "停止" (the default). With no one
  // to ask, the text is shown as a message and the clean stops.
  enum class FailureChoice { Skip, SkipAll, Stop };
  virtual FailureChoice askFailure(const QString& text) {
    showMessage(text);
    return FailureChoice::Stop;
  }

  // How far a scan, a clean or a restore has come: files done, of `total` (0
  // while the total is not known, as in a scan).
  virtual void showProgress(qint64 done, qint64 total) {
    (void)done;
    (void)total;
  }

  // Lets the user interface handle what is pending (repaint, a Stop click).
  virtual void yieldToEvents() = 0;

  // A file in scope that the scan could not read (a folder that could not be
  // listed: its path ends in "/"), and why: an errno.
  struct Unreadable {
    QString path;
    int error = 0;
  };
  // Told once, after the hand-off, when the scan could not read some files (they
  // are in `unreadableFiles`): one message, whatever their number.
  // A notice, not an error: the window shows it with the warning icon.
  virtual void showUnreadable(const QString& message) { showNote(message); }

  // The clean is about to rewrite `path`. The window shows it in Text2 and
  // repaints, handling no input, so that no handler runs inside a clean.
  virtual void showCleaning(const QString& path) { (void)path; }

  // How many threads read and match files during a scan. The walk, its yields
  // and the order of the log are the same whatever the number.
  virtual int scanThreads() const { return 1; }

  // How the scan and the clean read a file's content; the window uses the rules
  // (text/encoding.h: UTF-8 when the content is mostly UTF-8, GBK otherwise;
  // text/lineends.h: a line break of the signature matches any line break).
  virtual text::Encoding contentEncoding() const { return text::Encoding::Auto; }
  virtual text::LineEnds contentLineEnds() const { return text::LineEnds::Any; }

  // ScanFlag and FileTypes: values of the main window.
  bool ScanFlag = true;
  QStringList FileTypes;
  // The files the last scan logged, by path, with the identity of the file that
  // it read there. Emptied when a scan starts. The clean refuses a logged path
  // that has come to lead to another file (a link or another file or folder
  // swapped in since), and keeps the identity of each file it rewrites.
  QHash<QString, platform::FileIdentity> scannedFiles;
  // The signature of the last scan, set when it starts walking; none before the
  // first scan or after one refused for an empty signature. The clean refuses to
  // clean a file the scan logged with any other signature.
  std::optional<QString> scanSignature;
  // What the last scan could not read, in walk order whatever the number of
  // threads. Emptied when a scan starts.
  QList<Unreadable> unreadableFiles;
};
