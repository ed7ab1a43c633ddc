// The clean, with no window: a list of paths (their bytes, with the identity of
// the file the scan read at each when there was a scan) in, one result per
// listed file out, in list order. The run keeps each original in one backup run
// and cleans the files a batch at a time (clean/batch.h); the window's Clean,
// tervane-cli clean and the watch all go through it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "clean/backupstore.h"
#include "clean/batch.h"
#include "clean/rewrite.h"
#include "platform/fs.h"
#include "text/encoding.h"
#include "text/lineends.h"

struct CleanedFile;

struct CleanRequest {
  // What to remove: the signature as the signature rule gives it (trimmed, lower
  // case: text::signatureFrom), or a signature set's text (text/signatureset.h).
  QString signature;
  // Whether originals are kept in the backup store; without, only the journal of
  // in-place rewrites is written there.
  bool keepBackups = true;
  // Goes on past a file that fails, to the end of the list; otherwise the run
  // stops at the first failure and the files after it are not touched.
  bool keepGoing = false;
  // When set, asked at each failure (after its result is reported) whether the
  // run goes on past it, instead of keepGoing: a user who decides file by file.
  std::function<bool(const CleanedFile&)> goOnAfter;
  text::Encoding encoding = text::Encoding::Auto;
  text::LineEnds lineEnds = text::LineEnds::Any;
  // Every file that holds the signature (or any member of a set) is quarantined
  // rather than rewritten; without, only those that hold a member whose action
  // is quarantine. Quarantine needs the backups.
  bool quarantine = false;
  // How many files are cleaned together (tests; see clean/batch.h).
  std::size_t batchSize = clean::Batch::kCapacity;
  // Buffer size, failures injected by tests. Its encoding, line ends and keeper
  // are the run's.
  clean::Options options;
};

// One listed file.
struct FileToClean {
  QByteArray path;
  // The file the scan read at the path: the clean refuses whatever else is found
  // there (a link or another file swapped in since). None: taken as it stands.
  std::optional<platform::FileIdentity> scannedAs;
};

// What became of one listed file.
struct CleanedFile {
  enum class Outcome {
    Cleaned,             // rewritten without the signature (`occurrences` may be 0)
    CleanedPastFailure,  // replaced under the unsure flush of a file that failed
    Failed,              // see `failure`; the file is as it was unless it says otherwise
  };
  QByteArray path;  // empty for a line that names no file
  QString line;     // as a log lists it: the path's one line, or the line itself
  bool notAPath = false;
  Outcome outcome = Outcome::Cleaned;
  // Occurrences the clean removed: 0 for a file listed again, which is one file,
  // cleaned at its first listing.
  qint64 occurrences = 0;
  bool listedAgain = false;   // the same path was listed before in this run
  clean::Failure failure;     // when Failed
  platform::FileIdentity as;  // the file now at the path, when cleaned (not listed again)
  // Taken out of the site whole (its original is in the backups) rather than
  // rewritten, for the member named (empty for one signature).
  bool quarantined = false;
  QString quarantinedFor;
  // Names the quarantined file still has elsewhere (hard links), which stay.
  qint64 otherNames = 0;

  bool ok() const { return outcome != Outcome::Failed; }
  clean::CleanResult result() const {
    return ok() ? clean::CleanResult::cleaned({}) : clean::CleanResult::failed(failure);
  }
};

// One clean run over a list given a path at a time, so that a list of any length
// is cleaned in bounded memory. Results come through `onResult` as their batch
// is done, in list order, each listed file once (a file the run did not reach
// before it stopped has none).
class CleanRun {
 public:
  using OnResult = std::function<void(const CleanedFile&)>;
  // Finishes or rolls back a run cut short before (see recoveryNote), then
  // starts the backup run.
  CleanRun(const CleanRequest& request, OnResult onResult);
  // A run not finished is closed as stopped.
  ~CleanRun();
  CleanRun(const CleanRun&) = delete;
  CleanRun& operator=(const CleanRun&) = delete;

  // What finishing or rolling back an earlier run cut short did; empty for nothing.
  const QString& recoveryNote() const { return recoveryNote_; }

  // The next file of the list; false once the run has stopped.
  bool add(const FileToClean& file);
  // The next line of the list names no file (a log line that is no path): it
  // fails as such, in its turn.
  bool addNotAPath(const QString& line);
  // Cleans what is still pending and closes the backup run; false when the run
  // stopped at a failure. `cutShort`: the list ended early (it could not be
  // read to its end), and the backup run says it stopped.
  bool finish(bool cutShort = false);

  // The failure the run stopped at, when it did.
  const std::optional<CleanedFile>& stoppedAt() const { return stopped_; }
  // The files the run went on past, in list order, each once.
  const std::vector<CleanedFile>& failures() const { return failures_; }
  // The backup run's name once it is closed; empty when none was made.
  const QByteArray& backupRun() const { return backupName_; }

 private:
  struct Pending {
    QByteArray path;
    QString line;
    std::optional<platform::FileIdentity> scannedAs;
    int file = -1;  // its number in the backup run
    int slot = -1;  // its place in the batch; -1: the path was listed before
  };

  bool addPending(Pending p);
  // Quarantines the file when it holds what is to be quarantined; `taken`:
  // whether it did or failed trying. False when the run stops.
  bool quarantineIfHeld(Pending& p, bool& taken);
  bool placeInBatch(Pending& p);
  bool listedBefore(const QByteArray& path) const;
  // Cleans the batch; false when a file failed and the run stops.
  bool commit();
  void takeListedAgain(const Pending& p);
  bool takeDone(const Pending& p, const clean::Batch::Done& done);
  // Adds what a failure left untouched, ahead of the next file.
  bool drainAgain();
  void failedAt(const Pending& p, const clean::Failure& why);
  // Whether the run goes on past `failed`; when not, it is the one stopped at.
  bool goesOnAfter(const CleanedFile& failed);
  void report(const CleanedFile& result);
  void close(bool stopped);
  bool stop();

  OnResult onResult_;
  bool keepGoing_;
  std::function<bool(const CleanedFile&)> goOnAfter_;
  QString signature_;
  bool quarantineAll_;
  bool mayQuarantine_;
  clean::Options options_;
  std::unique_ptr<clean::BackupRun> backup_;
  std::unique_ptr<clean::Batch> batch_;
  QString recoveryNote_;
  std::vector<Pending> pending_;
  std::deque<Pending> again_;
  // The paths handled so far: nothing for a cleaned file, the failure for one that failed.
  QHash<QByteArray, std::optional<clean::Failure>> handled_;
  std::optional<CleanedFile> stopped_;
  std::vector<CleanedFile> failures_;
  QByteArray backupName_;
};

// A whole list at once: its results in list order.
std::vector<CleanedFile> cleanFiles(const CleanRequest& request,
                                    const std::vector<FileToClean>& files);
