// The two sources of the watch's events, behind FsWatch (see fswatch.h), and
// what they share.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include "platform/fd.h"
#include "platform/fileidentity.h"
#include "platform/fswatch.h"

namespace platform {

// The identity of the entry `name` below `dirFd` when it is a regular file that
// has another name as well (a hard link); nothing otherwise.
std::optional<FileIdentity> linkedFile(int dirFd, const char* name);

// The events a file's event stands for: opened, written, closed (in that order).
void fileEvents(bool opened, bool written, bool closed, const QByteArray& path,
                std::vector<WatchEvent>& out);

// The identity key of a file, for hashes.
QByteArray identityKey(const FileIdentity& id);

// The mounts whose mount points lie below the trees (not at a root), each with
// the identity of the folder seen there. Holds no descriptor of theirs: a mount
// the watch held open could not be unmounted.
class TreeMounts {
 public:
  // `roots` and `rootFds` outlive it.
  TreeMounts(const std::vector<QByteArray>& roots, const std::vector<UniqueFd>& rootFds);
  int fd() const { return mountinfo_.get(); }
  // Reads the mounts again: the mount points that appeared, went, or hold
  // another folder since the last time.
  std::vector<QByteArray> update();
  const QHash<QByteArray, FileIdentity>& current() const { return current_; }

 private:
  const std::vector<QByteArray>& roots_;
  const std::vector<UniqueFd>& rootFds_;
  UniqueFd mountinfo_;
  QHash<QByteArray, FileIdentity> current_;
};

// The folder tree `roots` must already be open as `rootFds`. Nothing, with
// `why`, when the backend cannot watch them.
std::unique_ptr<FsWatch> openInotifyWatch(const std::vector<QByteArray>& roots,
                                          std::vector<UniqueFd> rootFds, qint64 watchLimit,
                                          QString* why);
// `watchLimit`: for the mounts fanotify refuses, watched with inotify.
std::unique_ptr<FsWatch> openFanotifyWatch(const std::vector<QByteArray>& roots,
                                           std::vector<UniqueFd> rootFds, qint64 watchLimit,
                                           QString* why);

}  // namespace platform
