// The clean command: rewrites every file that the results log lists with the
// signature removed, and turns the results log into the cleaning log.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/windowstate.h"
#include "clean/backupstore.h"
#include "clean/batch.h"
#include "clean/rewrite.h"

class Cleaner {
 public:
  explicit Cleaner(WindowState& state) : w_(state) {}
  ~Cleaner();
  Cleaner(const Cleaner&) = delete;
  Cleaner& operator=(const Cleaner&) = delete;

  // Clean: takes the signature from the signature box and runs Tervane(GJZ),
  // unless the results box lists a file that the last scan found with another
  // signature: then nothing changes and one message says so.
  void Command2_Click();
  // Whether `log` is one the window writes, not a list of paths: the no-match
  // or stopped message, or a log with a cleaned mark or a summary line. The
  // window does not clean it; the command line reports such lines as no paths.
  static bool isLog(const QString& log);

  // What the last Command2_Click did: whether a cleaning run ran, and how many
  // files it cleaned (changed).
  struct LastClean {
    bool ran = false;
    qsizetype cleaned = 0;
  };
  const LastClean& lastClean() const { return lastClean_; }
  // The cleaning run over the paths of the results log. Ends at the first file
  // that fails, with one message naming the file and the reason. Each file's
  // original is saved in the backup store before it is touched.
  void Tervane(const QString& GJZ);

  // How each file is read and rewritten (buffer size; failures injected by tests).
  clean::Options& options() { return options_; }
  // Whether originals are kept in the backup store (the window always keeps
  // them); without, only the journal of in-place rewrites is written there.
  void setKeepBackups(bool keep) { keepBackups_ = keep; }
  // How many files are cleaned together (tests; see clean/batch.h).
  void setBatchSize(std::size_t files) { batchSize_ = files; }
  // The backup run of the last clean; empty when none was made.
  const QByteArray& lastRun() const { return lastRun_; }
  // The command line cleans a long log in batches, each a run of Tervane: from
  // beginBatches to endBatches they make one backup run, so that one restore
  // undoes the whole clean.
  void beginBatches() { batched_ = true; }
  void endBatches();

  // Goes on past a file that fails, to the end of the list; the failures are
  // then in failures() rather than in a message (the command line's
  // --keep-going). The window stops at the first.
  void setKeepGoing(bool keepGoing) { keepGoing_ = keepGoing; }
  // A signature set's text (app/signatureset.h), removed instead of the
  // signature box's text when not empty.
  void setSignatureSet(const QString& setText) { signatureSet_ = setText; }
  struct Failed {
    QByteArray path;  // its bytes; empty for a line that names no file
    QString shown;    // as the log lists it
    clean::Failure why;
  };
  // The files that failed, in list order, each once.
  const std::vector<Failed>& failures() const { return failures_; }

  // Called after each file (its path's bytes) with what became of it (the command
  // line's report).
  std::function<void(const QByteArray& path, const clean::CleanResult& result)> onFile;

 private:
  QString signatureSet_;
  WindowState& w_;
  clean::Options options_;
  void finishRun(bool stopped);
  // The file the clean stopped at, and why.
  struct Stopped {
    QString shown;
    clean::Failure why;
  };
  std::optional<Stopped> cleanLines(const QStringList& paths, const QString& GJZ);

  bool listsScannedFile(const QString& log) const;

  LastClean lastClean_;
  bool keepBackups_ = true;
  bool keepGoing_ = false;
  std::vector<Failed> failures_;
  // The paths the current run has handled: nothing for a cleaned file, the
  // failure for one that failed.
  QHash<QByteArray, std::optional<clean::Failure>> handled_;
  std::size_t batchSize_ = clean::Batch::kCapacity;
  bool batched_ = false;
  std::unique_ptr<clean::BackupRun> run_;
  QByteArray lastRun_;
};
