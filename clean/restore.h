// Puts back the originals that a clean run saved in the backup store. Each file
// is written as the clean writes (a new file renamed over it, or in place with
// a journal for a file with several names), keeps its mode and owner, gets its
// modification time from before the clean back, and is only written when it
// still holds what the clean left there: a file edited or infected again since
// is reported, not overwritten, unless forced. A file that already holds its
// original is left alone, so restoring twice changes nothing the second time.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <vector>

#include "clean/journal.h"
#include "clean/rewrite.h"

namespace clean {

struct RestoreOptions {
  bool force = false;  // also overwrite files changed since the clean
  // Overwrites only these files changed since the clean (path -> the SHA-256
  // of the content the user was shown as changed), and each only while it
  // still holds that content: a file edited again since is left, as Edited.
  std::map<QByteArray, QByteArray> forceOnly;
  Fault fault;
  // Called before each file is looked at (its absolute path), so that a window
  // can show it and repaint.
  std::function<void(const QByteArray& path)> onFile;
};

struct RestoredFile {
  enum class Result {
    Restored,   // the original is back
    Unchanged,  // it already held its original
    Edited,     // it holds neither the original nor what the clean left; not written
    Missing,    // no file at the path
    Failed,     // see `reason`
  };
  QByteArray path;
  Result result = Result::Failed;
  QString reason;
  QByteArray seen;  // Edited: the SHA-256 of the content found
};

struct RestoreReport {
  int error = 0;                        // ENOENT: no such run (or no store); EBUSY: the
                                        // run's clean is still going; EALREADY: another
                                        // restore of it is going; otherwise errno
  QByteArray run;                       // the run restored
  std::vector<RecoveryNote> recovered;  // runs cut short that were dealt with first
  std::vector<RestoredFile> files;      // one per file, in list order; a file listed
                                        // more than once (also by another name) once
  std::vector<QByteArray> passedOver;   // newer clean runs still going, not taken for
                                        // the latest
};

// Restores the clean run named `run`, or the latest clean run that has ended
// when it is empty. A run whose clean is still going is refused (EBUSY). Each
// file gets back its content, owner, group, mode and modification time from
// before the clean, and only when the file at its path is the one the clean
// left there (see restore.cpp).
RestoreReport restoreRun(const QByteArray& run, const RestoreOptions& options = {});

// The run that restoreRun takes when it is given no name; empty when there is none.
QByteArray latestRestorableRun();

// The reason text for a result, in the words of the clean's messages.
QString resultText(const RestoredFile& file);

}  // namespace clean
