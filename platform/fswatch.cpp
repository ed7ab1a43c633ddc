#include "platform/fswatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/fswatchbackends.h"
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
  std::vector<UniqueFd> rootFds;
  if (allowFanotify) {
    if (!openRoots(rootFds))
      return nullptr;
    QString refused;
    if (auto w = openFanotifyWatch(roots, std::move(rootFds), &refused))
      return w;
    if (fanotifyRefused)
      *fanotifyRefused = refused;
  }
  if (!openRoots(rootFds))
    return nullptr;
  return openInotifyWatch(roots, std::move(rootFds), watchLimit ? *watchLimit : inotifyWatchLimit(),
                          why);
}

}  // namespace platform
