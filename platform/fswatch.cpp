#include "platform/fswatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/fs.h"
#include "platform/fswatchbackends.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "platform/watchtree.h"

using namespace Qt::StringLiterals;

namespace platform {

std::optional<FileIdentity> linkedFile(int dirFd, const char* name) {
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      st.st_nlink < 2)
    return std::nullopt;
  return identityOf(st);
}

void fileEvents(bool opened, bool written, bool closed, const QByteArray& path,
                std::vector<WatchEvent>& out) {
  if (opened)
    out.push_back(WatchEvent{WatchEvent::Kind::Opened, path});
  if (written)
    out.push_back(WatchEvent{WatchEvent::Kind::Written, path});
  if (closed)
    out.push_back(WatchEvent{WatchEvent::Kind::Closed, path});
}

QByteArray identityKey(const FileIdentity& id) {
  QByteArray key(reinterpret_cast<const char*>(&id.device), sizeof id.device);
  key.append(reinterpret_cast<const char*>(&id.inode), sizeof id.inode);
  return key;
}

TreeMounts::TreeMounts(const std::vector<QByteArray>& roots, const std::vector<UniqueFd>& rootFds)
    : roots_(roots),
      rootFds_(rootFds),
      // Opened before the first read, so that no change after it goes untold.
      mountinfo_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {
  update();
}

std::vector<QByteArray> TreeMounts::update() {
  QHash<QByteArray, FileIdentity> now;
  for (const Mount& m : readMounts()) {
    const QByteArray path = encodePath(m.mountPoint);
    if (rootOf(roots_, path) < 0 || std::find(roots_.begin(), roots_.end(), path) != roots_.end() ||
        now.contains(path))
      continue;
    // The folder seen there now: the topmost of the mounts stacked on it.
    const UniqueFd top = openUnderRoots(roots_, rootFds_, path);
    struct stat st;
    if (top && ::fstat(top.get(), &st) == 0)
      now.insert(path, identityOf(st));
  }
  std::vector<QByteArray> changed;
  for (auto it = now.cbegin(); it != now.cend(); ++it) {
    if (current_.value(it.key()) != it.value())
      changed.push_back(it.key());
  }
  for (auto it = current_.cbegin(); it != current_.cend(); ++it) {
    if (!now.contains(it.key()))
      changed.push_back(it.key());
  }
  current_ = std::move(now);
  return changed;
}

QByteArray canonicalFolder(const QByteArray& path, int* error) {
  char* real = ::realpath(path.constData(), nullptr);
  if (!real) {
    if (error)
      *error = errno;
    return {};
  }
  QByteArray out(real);
  std::free(real);
  struct stat st;
  if (::stat(out.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (error)
      *error = ENOTDIR;
    return {};
  }
  return out;
}

qsizetype countFolders(const std::vector<QByteArray>& roots) {
  qsizetype n = 0;
  for (const QByteArray& root : roots) {
    UniqueFd top(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top)
      continue;
    walkTree(
        std::move(top), root,
        [&](int, const QByteArray&) {
          ++n;
          return true;
        },
        nullptr);
  }
  return n;
}

qint64 inotifyWatchLimit() {
  UniqueFd fd(::open("/proc/sys/fs/inotify/max_user_watches", O_RDONLY | O_CLOEXEC));
  char buf[32];
  const ssize_t n = fd ? ::read(fd.get(), buf, sizeof buf - 1) : -1;
  if (n <= 0)
    return -1;
  buf[n] = '\0';
  bool ok = false;
  const qint64 limit = QByteArray(buf).trimmed().toLongLong(&ok);
  return ok ? limit : -1;
}

std::unique_ptr<FsWatch> FsWatch::open(const std::vector<QByteArray>& roots, bool allowFanotify,
                                       QString* why, QString* fanotifyRefused,
                                       std::optional<qint64> watchLimit) {
  auto openRoots = [&](std::vector<UniqueFd>& fds) {
    fds.clear();
    for (const QByteArray& root : roots) {
      UniqueFd fd(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!fd) {
        *why = lineOfBytes(root) + u": "_s + errorText(errno);
        return false;
      }
      fds.push_back(std::move(fd));
    }
    return true;
  };
  const qint64 limit = watchLimit ? *watchLimit : inotifyWatchLimit();
  std::vector<UniqueFd> rootFds;
  if (allowFanotify) {
    if (!openRoots(rootFds))
      return nullptr;
    QString refused;
    if (auto w = openFanotifyWatch(roots, std::move(rootFds), limit, &refused))
      return w;
    if (fanotifyRefused)
      *fanotifyRefused = refused;
  }
  if (!openRoots(rootFds))
    return nullptr;
  return openInotifyWatch(roots, std::move(rootFds), limit, why);
}

}  // namespace platform
