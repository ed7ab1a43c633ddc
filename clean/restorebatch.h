// The restore's writes: the originals put back as the clean writes, a batch
// at a time (clean/batch.h), each file's outcome to the restore's journal and,
// for a failure, to the report. Used by clean/restore.cpp only.
#pragma once

#include <sys/stat.h>

#include <QByteArray>

#include <cstddef>
#include <deque>

#include "clean/backupstore.h"
#include "clean/batch.h"
#include "clean/restore.h"
#include "clean/rewrite.h"
#include "platform/fd.h"
#include "platform/fs.h"

namespace clean {

// A file whose original is to be written back, with what its rewrite needs
// until its batch is committed.
struct OriginalWrite {
  std::size_t index = 0;  // in the report
  QByteArray path;
  platform::UniqueFd copy;
  platform::FileIdentity readAs;  // the file checked: the one to be written
  struct timespec mtime {};
  struct stat ownership {};
  Options options;
  int journalFile = -1;
};

// Writes the originals back as the clean writes, a batch at a time, so that a
// restore shares its flushes as the clean did. What becomes of each file goes
// to the journal and, for a failure, to the report.
class Rewriter {
 public:
  Rewriter(BackupRun& journal, const Fault& fault, RestoreReport& report, bool& stopped);

  void add(OriginalWrite write);
  // Writes whatever is still waiting.
  void finish();

 private:
  void failedAt(const OriginalWrite& w, const Failure& why);
  void commit();
  // Adds the waiting files to the batch, committing it whenever it takes no more.
  void drain();

  BackupRun& journal_;
  RestoreReport& report_;
  bool& stopped_;
  Options shared_;
  Batch batch_;
  std::deque<OriginalWrite> queued_;  // in the batch, in its order (the batch holds their options)
  std::deque<OriginalWrite> todo_;    // to be added, in list order
};

}  // namespace clean
