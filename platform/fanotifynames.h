// How the fanotify source names the folder of an event: by its path in the
// trees, through the trees' own mounts (a bind mount's folder by its place
// there), of any length; empty for a folder outside them.
#pragma once

#include <fcntl.h>
#include <linux/types.h>

#include <QByteArray>
#include <QHash>

#include <optional>
#include <vector>

#include "platform/fd.h"
#include "platform/fileidentity.h"

namespace platform {

__kernel_fsid_t fsidOf(int fd);
std::optional<FileIdentity> identityOfFd(int fd);

// A mount below the trees: its file system's id, the identity of its top
// folder, and the errno of its refused mark (then inotify watches it).
struct MountView {
  __kernel_fsid_t fsid{};
  FileIdentity top;
  int error = 0;
};

class FolderNames {
 public:
  // All four are the watch's own, and live as long as this.
  FolderNames(const std::vector<QByteArray>& roots, const std::vector<UniqueFd>& rootFds,
              const std::vector<__kernel_fsid_t>& rootFsids,
              const QHash<QByteArray, MountView>& mounts);

  // The path in the trees of the folder a handle names; empty when it lies
  // outside them or is gone. Remembered either way: on a busy file system most
  // events come from the same few folders, most of them outside the trees.
  // Where it had to open the folder, the descriptor is left in `opened`.
  QByteArray folderPath(const __kernel_fsid_t& fsid, struct file_handle* handle,
                        UniqueFd* opened = nullptr);
  // The path in the trees of the open folder `dirFd`; empty when outside.
  QByteArray treePathOf(int dirFd, const __kernel_fsid_t& fsid);
  // The folder a handle names, opened on a mount of its file system that the
  // trees hold.
  UniqueFd openFolderByHandle(const __kernel_fsid_t& fsid, struct file_handle* handle) const;
  // The folders where a marked file system shows in the trees, by identity:
  // the roots and the tops of the mounts below them. Made again when mounts change.
  void resetAnchors();
  // Folders renamed or mounts changed: the paths known are stale.
  void forget();

 private:
  bool mountedAgain(const __kernel_fsid_t& fsid) const;

  const std::vector<QByteArray>& roots_;
  const std::vector<UniqueFd>& rootFds_;
  const std::vector<__kernel_fsid_t>& rootFsids_;
  const QHash<QByteArray, MountView>& mounts_;  // by mount point
  QHash<QByteArray, QByteArray> anchors_;       // identity key → path in the trees
  static constexpr qsizetype kFolderPathsKept = 16384;
  static constexpr std::size_t kDepthLimit = 1 << 16;
  QHash<QByteArray, QByteArray> folderPaths_;   // handle → path in the trees, or empty
  QHash<QByteArray, QByteArray> knownFolders_;  // identity key → path in the trees
};

}  // namespace platform
