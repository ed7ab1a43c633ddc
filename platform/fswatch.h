// The kernel's news of files written into folder trees: fanotify where the
// process may use it (root with CAP_SYS_ADMIN), marking the whole file systems
// that hold the trees and keeping only what lies under them; inotify otherwise,
// one watch per folder, with watches added for folders as they appear.
//
// Either way a file is reported when it is written (each write, and its close
// after writing) or moved into a tree, and the files of a folder that appears
// (created, or moved in whole) are reported as well: they may have been written
// before the folder was watched. Opens and closes are told too, so that a file
// held open (written through a mapping) can be tested while it is. A file of
// the trees that has another name outside them (a hard link) is reported
// under its name in the trees whichever name writes it: such files are found
// by a walk at start and kept as their names appear in the trees. After an
// overflow what the source knows is made again from a fresh walk (inotify: the
// watches, with new and renamed folders) before the overflow is told. No
// symbolic link is followed below a tree's root.
//
// Other file systems mounted below the trees are watched as well, from the
// start and as they are mounted (the files of one that appears are reported, as
// a new folder's are). With fanotify each is marked whole and its events are
// named through the trees' own mounts (a bind mount's file by its path in the
// trees, at any depth); one fanotify cannot mark is watched with inotify, and
// told.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace platform {

struct WatchEvent {
  enum class Kind {
    Written,    // `path` was written, closed after writing, moved in, or found in a new folder
    Opened,     // `path` was opened
    Closed,     // `path` was closed
    Overflow,   // the kernel's queue overflowed: events were lost
    Unwatched,  // the folder `path` appeared but could not be watched (`error`)
    // The mount at `path` cannot be marked by fanotify (`error`): its tree is
    // watched with inotify instead.
    MountOnInotify,
  };
  Kind kind = Kind::Written;
  QByteArray path;  // absolute
  int error = 0;
};

class FsWatch {
 public:
  enum class Backend { Fanotify, Inotify };

  virtual ~FsWatch() = default;
  FsWatch() = default;
  FsWatch(const FsWatch&) = delete;
  FsWatch& operator=(const FsWatch&) = delete;

  // Watches the trees `roots` (absolute paths without links: see
  // canonicalFolder). With `allowFanotify`, fanotify is tried first. Nothing,
  // with `why` set, when the trees cannot be watched; `fanotifyRefused` tells
  // why fanotify was not used, when it was tried. `watchLimit`: the inotify
  // watches the trees may take (nothing: fs.inotify.max_user_watches).
  // A mount below the trees that fanotify refused, and why (an errno).
  struct RefusedMount {
    QByteArray path;
    int error = 0;
  };

  static std::unique_ptr<FsWatch> open(const std::vector<QByteArray>& roots, bool allowFanotify,
                                       QString* why, QString* fanotifyRefused = nullptr,
                                       std::optional<qint64> watchLimit = std::nullopt);

  virtual Backend backend() const = 0;
  // A descriptor that poll() reports readable when events wait.
  virtual int fd() const = 0;
  // Appends the events waiting, without blocking, and at most a bounded batch
  // of them: poll() tells when more wait. 0, or an errno.
  virtual int read(std::vector<WatchEvent>& out) = 0;
  // /proc/self/mountinfo, which poll() reports with POLLPRI when the mounts
  // change: then mountsChanged() watches what was mounted below the trees.
  virtual int mountsFd() const = 0;
  virtual void mountsChanged(std::vector<WatchEvent>& out) = 0;
  // The mounts below the trees watched with inotify as fanotify refused them.
  virtual std::vector<RefusedMount> mountsOnInotify() const { return {}; }
  // While quiet, opens and closes that write nothing are not asked for: the
  // watch's own reads of whole trees (a walk, a scan after an overflow) would
  // fill the kernel's queue with them, and each overflow bring on another scan.
  // A file opened while quiet is not known to be held open.
  virtual void setQuiet(bool quiet) = 0;
  // Folders watched one by one (inotify); 0 with fanotify.
  virtual qsizetype watchedFolders() const = 0;
  // Files of the trees known to have other names as well.
  virtual qsizetype filesWithOtherNames() const = 0;
};

// The folder `path` as an absolute path through no link and no "." or ".."
// part; nothing when it is not a folder that can be reached.
QByteArray canonicalFolder(const QByteArray& path, int* error = nullptr);

// How many folders the trees hold, roots included, counted without following
// links (inotify needs one watch each).
qsizetype countFolders(const std::vector<QByteArray>& roots);

// The most inotify watches one user may hold (fs.inotify.max_user_watches); -1
// when unknown.
qint64 inotifyWatchLimit();

}  // namespace platform
