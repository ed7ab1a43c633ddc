// The window's Clean over the clean run (engine/cleanrun.h): the lines of the
// results box become the list of paths, and the results the cleaning log.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "clean/rewrite.h"
#include "engine/cleanrun.h"
#include "window/windowstate.h"

class Cleaner {
 public:
  explicit Cleaner(WindowState& state) : w_(state) {}
  Cleaner(const Cleaner&) = delete;
  Cleaner& operator=(const Cleaner&) = delete;

  // Clean: takes the signature from the signature box and cleans the listed
  // files with it, unless the results box lists a file that the last scan found
  // with another signature: then nothing changes and one message says so.
  void Command2_Click();
  // The paths a Clean takes from `log`, each a line: a scan's list without its
  // summary lines, or the files an earlier clean left (below kNotCleanedHeader,
  // without their reasons). None for the empty box, the no-match or stopped
  // message, and a log with nothing left to clean.
  static std::optional<QStringList> pathsToClean(const QString& log);
  // Whether `log` is one the window writes and holds nothing to clean.
  static bool isLog(const QString& log) { return !pathsToClean(log); }
  // The question asked when the file of `line` cannot be cleaned: what became
  // of it, and whether to skip it, skip every such file or stop.
  static QString failureQuestion(const QString& line, const clean::Failure& failure);

  // What the last Command2_Click did: whether a cleaning run ran, how many files
  // it cleaned (changed), how many failed and how many it did not reach.
  struct LastClean {
    bool ran = false;
    qsizetype cleaned = 0;
    qsizetype failed = 0;
    qsizetype notReached = 0;
  };
  const LastClean& lastClean() const { return lastClean_; }
  // The cleaning run over the paths of the results log, which becomes the
  // cleaning log. At a file that fails the user is asked whether to go on; the
  // files not cleaned (failed, with the reason, and not reached) are listed
  // below the log for the next clean. Each file's original is saved in the
  // backup store before it is touched.
  void clean(const QString& signature);

  // How each file is read and rewritten (buffer size; failures injected by tests).
  clean::Options& options() { return request_.options; }
  // Whether originals are kept in the backup store (the window always keeps them).
  void setKeepBackups(bool keep) { request_.keepBackups = keep; }
  // How many files are cleaned together (tests; see clean/batch.h).
  void setBatchSize(std::size_t files) { request_.batchSize = files; }
  // Goes on past every file that fails without asking (tests).
  void setKeepGoing(bool keepGoing) { request_.keepGoing = keepGoing; }
  // The backup run of the last clean; empty when none was made.
  const QByteArray& lastRun() const { return lastRun_; }
  // The files the run went on past, in list order, each once.
  const std::vector<CleanedFile>& failures() const { return failures_; }

  // Called after each file (its path's bytes) with what became of it.
  std::function<void(const QByteArray& path, const clean::CleanResult& result)> onFile;

 private:
  bool listsScannedFile(const QString& log) const;
  // Feeds the box's lines to the run; false when it stopped.
  bool addLines(CleanRun& run, const QStringList& lines, QString& entries);
  void take(const CleanedFile& file, QString& entries);
  bool goOnAfter(const CleanedFile& file);
  // The files not cleaned, below the cleaning log.
  QString leftList(const QStringList& lines) const;

  WindowState& w_;
  CleanRequest request_;
  LastClean lastClean_;
  bool skipAll_ = false;
  // This run's results so far, one per line taken, in list order.
  qsizetype reported_ = 0;
  QString failedLines_;  // each failed line and its reason
  std::vector<CleanedFile> failures_;
  QByteArray lastRun_;
};
