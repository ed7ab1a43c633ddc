#include "platform/fanotifynames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/fswatchbackends.h"
#include "platform/watchtree.h"

namespace platform {

__kernel_fsid_t fsidOf(int fd) {
  struct statfs s {};
  ::fstatfs(fd, &s);
  __kernel_fsid_t id{};
  static_assert(sizeof id == sizeof s.f_fsid);
  std::memcpy(&id, &s.f_fsid, sizeof id);
  return id;
}

std::optional<FileIdentity> identityOfFd(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return std::nullopt;
  return identityOf(st);
}

namespace {

bool sameFsid(const __kernel_fsid_t& a, const __kernel_fsid_t& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The path the kernel gives the open folder `fd`; empty when it has none that
// fits in PATH_MAX, or the folder is gone.
QByteArray kernelPath(int fd) {
  const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
  QByteArray target(PATH_MAX, Qt::Uninitialized);
  const ssize_t n = ::readlink(proc.constData(), target.data(), std::size_t(target.size()));
  if (n <= 0 || n >= target.size())
    return {};
  target.truncate(n);
  if (!target.startsWith('/') || target.endsWith(" (deleted)"))
    return {};
  return target;
}

// The name in the folder `parent` of its subfolder `child` (open as
// `childFd`), empty when none: the last part of the kernel's path for it when
// that names it, else found in the listing.
QByteArray nameIn(int parent, int childFd, const FileIdentity& child) {
  const QByteArray path = kernelPath(childFd);
  if (const qsizetype slash = path.lastIndexOf('/'); slash >= 0 && slash + 1 < path.size()) {
    const QByteArray name = path.mid(slash + 1);
    struct stat st;
    if (::fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        identityOf(st) == child)
      return name;
  }
  const int listFd = ::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (!d) {
    if (listFd >= 0)
      ::close(listFd);
    return {};
  }
  QByteArray found;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_ino != child.inode || (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN))
      continue;
    struct stat st;
    if (::fstatat(parent, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && identityOf(st) == child) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace

FolderNames::FolderNames(const std::vector<QByteArray>& roots, const std::vector<UniqueFd>& rootFds,
                         const std::vector<__kernel_fsid_t>& rootFsids,
                         const QHash<QByteArray, MountView>& mounts)
    : roots_(roots), rootFds_(rootFds), rootFsids_(rootFsids), mounts_(mounts) {}

void FolderNames::forget() {
  folderPaths_.clear();
  knownFolders_.clear();
}

void FolderNames::resetAnchors() {
  anchors_.clear();
  for (std::size_t i = 0; i < roots_.size(); ++i) {
    if (const auto id = identityOfFd(rootFds_[i].get()))
      anchors_.insert(identityKey(*id), roots_[i]);
  }
  for (auto it = mounts_.cbegin(); it != mounts_.cend(); ++it) {
    if (!it->error)
      anchors_.insert(identityKey(it->top), it.key());
  }
}

QByteArray FolderNames::folderPath(const __kernel_fsid_t& fsid, struct file_handle* handle,
                                   UniqueFd* opened) {
  QByteArray key(reinterpret_cast<const char*>(&fsid), sizeof fsid);
  key.append(reinterpret_cast<const char*>(&handle->handle_type), sizeof handle->handle_type);
  key.append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
  if (const auto known = folderPaths_.constFind(key); known != folderPaths_.constEnd())
    return known.value();
  UniqueFd dir = openFolderByHandle(fsid, handle);
  if (!dir)
    return {};  // a folder deleted: its handle is not used again
  const QByteArray path = treePathOf(dir.get(), fsid);
  if (folderPaths_.size() >= kFolderPathsKept)
    folderPaths_.clear();
  folderPaths_.insert(key, path);
  if (opened)
    *opened = std::move(dir);
  return path;
}

// The folder's path in the trees, found by going up through ".." to a
// folder whose path is known (a root, a mount's top, a folder named before)
// and naming each step on the way back: a bind mount's folder is named by
// its place in the trees, not by its place in its own file system, and no
// path of any length goes to a system call. Empty when it lies outside.
QByteArray FolderNames::treePathOf(int dirFd, const __kernel_fsid_t& fsid) {
  std::optional<FileIdentity> id = identityOfFd(dirFd);
  // Most often the kernel's path is the one in the trees: taken when it leads
  // there, through no link, to this very folder.
  const QByteArray seen = kernelPath(dirFd);
  if (id && rootOf(roots_, seen) >= 0) {
    const UniqueFd there = openUnderRoots(roots_, rootFds_, seen);
    if (there && identityOfFd(there.get()) == id)
      return seen;
  }
  // Outside, on a file system that shows in the trees in one place only: the
  // kernel's path, through that place's mount, says so already. Most events
  // of a busy file system are such, and the walk up would cost each of them.
  if (!seen.isEmpty() && !mountedAgain(fsid))
    return {};
  std::vector<FileIdentity> chain;  // the folder and its parents, below `base`
  QByteArray base;
  UniqueFd at(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  while (id) {
    const QByteArray key = identityKey(*id);
    if (const auto a = anchors_.constFind(key); a != anchors_.constEnd()) {
      base = a.value();
      break;
    }
    if (const auto k = knownFolders_.constFind(key); k != knownFolders_.constEnd()) {
      base = k.value();
      break;
    }
    UniqueFd up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const auto upId = up ? identityOfFd(up.get()) : std::nullopt;
    if (!upId || *upId == *id || chain.size() >= kDepthLimit)
      return {};  // the top of its file system, reached from outside the trees
    chain.push_back(*id);
    at = std::move(up);
    id = upId;
  }
  if (!id)
    return {};
  std::vector<QByteArray> names;
  at = UniqueFd(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
  for (const FileIdentity& step : chain) {
    UniqueFd up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    QByteArray name = up ? nameIn(up.get(), at.get(), step) : QByteArray();
    if (name.isEmpty())
      return {};  // renamed meanwhile: its next event names it again
    names.push_back(std::move(name));
    at = std::move(up);
  }
  QByteArray path = base;
  for (auto it = names.rbegin(); it != names.rend(); ++it)
    path = joinedPath(path, *it);
  if (knownFolders_.size() >= kFolderPathsKept)
    knownFolders_.clear();
  if (const auto first = identityOfFd(dirFd))
    knownFolders_.insert(identityKey(*first), path);
  return path;
}

// Whether the file system shows in the trees in more than one place: at the
// roots and through a mount below them (a bind mount of a folder of its
// own), or through several such mounts.
bool FolderNames::mountedAgain(const __kernel_fsid_t& fsid) const {
  qsizetype places = std::any_of(rootFsids_.begin(), rootFsids_.end(),
                                 [&](const __kernel_fsid_t& r) { return sameFsid(r, fsid); });
  for (const MountView& v : mounts_)
    places += !v.error && sameFsid(v.fsid, fsid);
  return places > 1;
}

UniqueFd FolderNames::openFolderByHandle(const __kernel_fsid_t& fsid,
                                         struct file_handle* handle) const {
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  for (std::size_t i = 0; i < rootFsids_.size(); ++i) {
    if (sameFsid(rootFsids_[i], fsid)) {
      if (UniqueFd dir(::open_by_handle_at(rootFds_[i].get(), handle, kFlags)); dir)
        return dir;
    }
  }
  for (auto it = mounts_.cbegin(); it != mounts_.cend(); ++it) {
    if (it->error || !sameFsid(it->fsid, fsid))
      continue;
    // Opened for the moment only, so that it can still be unmounted.
    const UniqueFd mount = openUnderRoots(roots_, rootFds_, it.key());
    if (UniqueFd dir(mount ? ::open_by_handle_at(mount.get(), handle, kFlags) : -1); dir)
      return dir;
  }
  return UniqueFd();
}

}  // namespace platform
