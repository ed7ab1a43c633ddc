// Rewrites one file with the signature removed, so that no failure can leave it
// emptied, shortened or half written, and no link can redirect the write.
//
// The file is reached through its directory: a symbolic link in the last
// component is refused, never written through, and a missing file is never
// created. The directory is opened one folder at a time (platform/openpath.h):
// without the scan's identity of the file, a link on the way is followed only
// where nobody but root or the running user could have put it. A file the running user may not
// write (for root: one without any write bit) is refused, although replacing it through its
// directory would work.
//
// Two ways to put the new content in place:
// - Replace: the new content goes to a new file in the same directory, created
//   exclusively under an unpredictable name; it takes over the owner, group,
//   extended attributes (ACLs included) and mode of the old one, is flushed to
//   disk and renamed over it. Used whenever the new file can carry all of that.
// - In place: when the file has several names (hard links), or the new file could
//   not take over its owner, group or attributes (a user cleaning a file owned by
//   someone else), renaming would split or alter the file. A full copy of its
//   content is made and flushed first (by the keeper: in the backup store, with a
//   journal entry, so that the next run can roll back a rewrite a crash cut
//   short), then the new content is written over the file itself and the file is
//   cut to its new length. Should that fail, the copy is written back; only if
//   that fails too is the file left damaged, and the failure names the copy.
//
// A keeper (the backup store) hears of each file before any byte of it changes,
// and its refusal leaves the file as it was.
#pragma once

#include <QByteArray>
#include <QStringView>

#include <cstddef>
#include <functional>
#include <optional>
#include <utility>

#include "platform/fd.h"
#include "platform/fs.h"
#include "text/encoding.h"
#include "text/lineends.h"

struct timespec;

namespace clean {

// The steps at which a failure can be injected by tests.
enum class Step {
  Open,          // after the file was looked at by name, before it is opened
  ReadOriginal,  // each read of the file's content
  WriteTemp,     // each write to the new file
  SyncTemp,
  Replace,  // the rename over the old file
  SyncDir,
  WriteBackup,  // each write of the backup copy
  SyncBackup,
  WriteInPlace,  // each write over the file itself, and the cut to length
  SyncInPlace,
  Restore,     // copying the backup back after an in-place failure
  Quarantine,  // the removal of a quarantined file's name, once it is moved aside
};

class Steps;

// Keeps what is needed to undo a rewrite, or to finish or roll back one that a
// crash cut short. Each call gives 0 or the errno why it could not; then the
// file is left as it was. `file` says which of the keeper's files the call is
// about (the number it gave the file); -1: the one it heard of last.
class Keeper {
 public:
  virtual ~Keeper() = default;
  // The file is open (`fd`, read it with pread) and checked (`st`); nothing has
  // been written yet. `tempName` is the name the new file will get beside it.
  [[nodiscard]] virtual int before(int file, int fd, const struct stat& st,
                                   const QByteArray& tempName, const Steps& steps) = 0;
  // The file is about to be written in place: `copy` receives a descriptor of a
  // complete copy of its content, flushed to disk with its journal entry, and
  // `copyPath` that copy's path, for a message should the file end up damaged.
  [[nodiscard]] virtual int beforeInPlace(int file, int fd, const struct stat& st,
                                          const Steps& steps, platform::UniqueFd& copy,
                                          QByteArray& copyPath) = 0;

  // The file is about to be quarantined (taken out of its folder whole): its
  // copy and record, saying so, are flushed to disk before this returns,
  // whatever syncs are held, and a keeper that keeps no copies refuses.
  [[nodiscard]] virtual int beforeQuarantine(int file, int fd, const struct stat& st,
                                             const QByteArray& tempName, const Steps& steps) = 0;

  // For files cleaned together (clean/batch.h): while held, before() may leave
  // what it keeps unflushed, and syncHeld() flushes all of it at once. It says
  // at which of those files, counted in the order before() heard of them, a
  // failure is to be reported: {-1, 0} when none.
  struct HeldSync {
    int file = -1;
    int error = 0;
  };
  virtual void holdSyncs(bool hold) { (void)hold; }
  [[nodiscard]] virtual HeldSync syncHeld() { return {}; }
};

// Consulted before each step of a file's rewrite (`path`: the file's path as
// given); a non-zero errno makes the step fail with it.
using Fault = std::function<int(Step, const QByteArray& path)>;

struct Options {
  // Bytes read and cleaned at a time; memory use depends on this, not on the file.
  std::size_t chunkSize = 128 * 1024;
  // Tests only: failures injected at chosen steps.
  Fault fault;
  // Told of the file before it is written; none: nothing is kept beyond the run.
  Keeper* keeper = nullptr;
  // When set (restore), the new content is this descriptor's whole content, not
  // the file's content cleaned.
  int contentFrom = -1;
  // When set, the file's modification time afterwards.
  const struct timespec* mtime = nullptr;
  // When set (restore), the owner, group and mode (st_uid, st_gid, st_mode) the
  // file gets afterwards, instead of keeping the ones it has.
  const struct stat* ownership = nullptr;
  // How the content is read. With Auto (the scan's rule) the whole file is read
  // once before the removal to learn whether the rule reads it as UTF-8.
  text::Encoding encoding = text::Encoding::Auto;
  // Whether a line break of the signature matches any line break.
  text::LineEnds lineEnds = text::LineEnds::Any;
  // Tests only: the name for the new file beside the old one instead of a random
  // one, so that a test can take the name first.
  std::function<QByteArray()> tempName;
};

// Why a file could not be cleaned.
enum class Reason {
  EmptyPath,          // an empty line of the log
  NotAFilePath,       // ends in "/", names "." or "..", or holds a NUL
  NoFolder,           // the folder in the path does not exist
  NotFound,           // no file at the path
  SymbolicLink,       // the path names a symbolic link
  Folder,             // the path names a folder
  NotRegular,         // a device, pipe or socket
  NoReadPermission,   // the running user may not read the file
  ReadOnly,           // the running user may not write the file
  ReadOnlyMedium,     // the file system is mounted read-only
  FolderNotWritable,  // no new file can be made beside it
  Changed,            // the file was replaced or modified while it was being cleaned
  NotScannedFile,     // the path leads to another file than the one the scan found
  UntrustedLink,      // a link on the path lies where others could have put it; see `link`
  BackupFailed,       // its backup could not be saved; see `error`
  System,             // any other error; see `error`
};

// What became of the file.
enum class Outcome {
  Unchanged,         // the file holds what it held before
  ReplacedUnsynced,  // cleaned, but the change of name may not be on disk yet
  Damaged,           // partly rewritten; its former content is in `backup`
};

struct Failure {
  Reason reason = Reason::System;
  int error = 0;  // the errno behind the failure, when there is one
  Outcome outcome = Outcome::Unchanged;
  QByteArray backup;  // the copy's path, for Outcome::Damaged (empty: none kept)
  QByteArray link;    // the link not followed, for Reason::UntrustedLink
  // For Outcome::ReplacedUnsynced, when files were cleaned together: how many
  // files after this one in the list were replaced too, under the same unsure
  // flush of their folder.
  int alsoReplaced = 0;
};

// How a cleaned file got its new content.
enum class Placement {
  Replaced,     // a new file took the old one's name
  InPlace,      // the file itself was overwritten and cut to length
  Quarantined,  // the name was taken out of its folder; the original is in the store
};

// What became of one file: cleaned, and how, or the failure why not.
class [[nodiscard]] CleanResult {
 public:
  static CleanResult cleaned(Placement how) { return CleanResult(how); }
  static CleanResult failed(Failure why) { return CleanResult(std::move(why)); }

  bool ok() const { return !failure_; }
  // Only when ok().
  Placement placement() const { return placement_; }
  // Only when !ok().
  const Failure& failure() const { return *failure_; }

 private:
  explicit CleanResult(Placement how) : placement_(how) {}
  explicit CleanResult(Failure why) : failure_(std::move(why)) {}

  std::optional<Failure> failure_;
  Placement placement_ = Placement::Replaced;
};

// Cleans the file at `nativePath` (the path's bytes; a relative path counts from
// the current directory). With `scannedAs`, the path must still lead to that
// file (the one a scan read there): when a link, another file or another folder
// on the way has been swapped in, nothing is written. On success `cleanedAs`, if
// given, receives the identity of the file now at the path (a new one when the
// content was replaced).
CleanResult cleanFile(const QByteArray& nativePath, QStringView signature,
                      const Options& options = {},
                      const platform::FileIdentity* scannedAs = nullptr,
                      platform::FileIdentity* cleanedAs = nullptr);

}  // namespace clean
