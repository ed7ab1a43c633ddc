// The window's Clean over the clean run (engine/cleanrun.h): the lines of the
// results box become the list of paths, and the results the cleaning log.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <functional>
#include <vector>

#include "engine/cleanrun.h"
#include "window/windowstate.h"
#include "clean/rewrite.h"

class Cleaner {
 public:
  explicit Cleaner(WindowState& state) : w_(state) {}
  Cleaner(const Cleaner&) = delete;
  Cleaner& operator=(const Cleaner&) = delete;

  // Clean: takes the signature from the signature box and cleans the listed
  // files with it, unless the results box lists a file that the last scan found
  // with another signature: then nothing changes and one message says so.
  void Command2_Click();
  // Whether `log` is one the window writes, not a list of paths: the no-match
  // or stopped message, or a log with a cleaned mark or a summary line. The
  // window does not clean it.
  static bool isLog(const QString& log);

  // What the last Command2_Click did: whether a cleaning run ran, and how many
  // files it cleaned (changed).
  struct LastClean {
    bool ran = false;
    qsizetype cleaned = 0;
  };
  const LastClean& lastClean() const { return lastClean_; }
  // The cleaning run over the paths of the results log, which becomes the
  // cleaning log. Ends at the first file that fails, with one message naming
  // the file and the reason. Each file's original is saved in the backup store
  // before it is touched.
  void clean(const QString& signature);

  // How each file is read and rewritten (buffer size; failures injected by tests).
  clean::Options& options() { return request_.options; }
  // Whether originals are kept in the backup store (the window always keeps them).
  void setKeepBackups(bool keep) { request_.keepBackups = keep; }
  // How many files are cleaned together (tests; see clean/batch.h).
  void setBatchSize(std::size_t files) { request_.batchSize = files; }
  // Goes on past a file that fails; the failures are then in failures() rather
  // than in a message. The window stops at the first.
  void setKeepGoing(bool keepGoing) { request_.keepGoing = keepGoing; }
  // The backup run of the last clean; empty when none was made.
  const QByteArray& lastRun() const { return lastRun_; }
  // The files that failed, in list order, each once (with setKeepGoing).
  const std::vector<CleanedFile>& failures() const { return failures_; }

  // Called after each file (its path's bytes) with what became of it.
  std::function<void(const QByteArray& path, const clean::CleanResult& result)> onFile;

 private:
  bool listsScannedFile(const QString& log) const;
  // Feeds the box's lines to the run; false when it stopped.
  bool addLines(CleanRun& run, const QStringList& lines, QString& entries);
  void take(const CleanedFile& file, QString& entries);

  WindowState& w_;
  CleanRequest request_;
  LastClean lastClean_;
  std::vector<CleanedFile> failures_;
  QByteArray lastRun_;
};
