// Rewrites one file with the signature removed, so that no failure can leave it
// emptied, shortened or half written, and no link can redirect the write.
//
// The file is reached through its directory: a symbolic link in the last
// component is refused, never written through, and a missing file is never
// created. A file the running user may not write (for root: one without any
// write bit) is refused, although replacing it through its directory would work.
//
// Two ways to put the new content in place:
// - Replace: the new content goes to a new file in the same directory, created
//   exclusively under an unpredictable name; it takes over the owner, group,
//   extended attributes (ACLs included) and mode of the old one, is flushed to
//   disk and renamed over it. Used whenever the new file can carry all of that.
// - In place: when the file has several names (hard links), or the new file could
//   not take over its owner, group or attributes (a user cleaning a file owned by
//   someone else), renaming would split or alter the file. Its content is copied to
//   a backup beside it and flushed, then the cleaned content is written over the
//   file itself and the file is cut to its new length. Should that fail, the
//   backup is copied back; only if that fails too is the backup left behind, and
//   the failure names it.
#pragma once

#include <QByteArray>
#include <QStringView>

#include <cstddef>
#include <functional>
#include <optional>

#include "platform/fs.h"
#include "text/encoding.h"

namespace clean {

// The steps at which a failure can be injected by tests.
enum class Step {
  ReadOriginal,  // each read of the file's content
  WriteTemp,     // each write to the new file
  SyncTemp,
  Replace,  // the rename over the old file
  SyncDir,
  WriteBackup,  // each write of the backup copy
  SyncBackup,
  WriteInPlace,  // each write over the file itself, and the cut to length
  SyncInPlace,
  Restore,  // copying the backup back after an in-place failure
};

struct Options {
  // Bytes read and cleaned at a time; memory use depends on this, not on the file.
  std::size_t chunkSize = 128 * 1024;
  // Consulted before each step; a non-zero errno makes the step fail with it.
  std::function<int(Step)> fault;
  // How the content is read. With Auto (the scan's rule) the whole file is read
  // once before the removal to learn whether it is valid UTF-8.
  text::Encoding encoding = text::Encoding::Auto;
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
  QByteArray backup;  // the backup's path, for Outcome::Damaged
};

// Cleans the file at `nativePath` (the path's bytes; a relative path counts from
// the current directory). Nothing on success. With `scannedAs`, the path must
// still lead to that file (the one a scan read there): when a link, another file
// or another folder on the way has been swapped in, nothing is written. On
// success `cleanedAs`, if given, receives the identity of the file now at the
// path (a new one when the content was replaced).
std::optional<Failure> cleanFile(const QByteArray& nativePath, QStringView gjz,
                                 const Options& options = {},
                                 const platform::FileIdentity* scannedAs = nullptr,
                                 platform::FileIdentity* cleanedAs = nullptr);

}  // namespace clean
