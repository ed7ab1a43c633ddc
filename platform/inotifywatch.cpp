// The inotify source: one watch per folder of the trees, and one on each file
// of the trees that has a name elsewhere as well, since a folder's watch hears
// only what is done through the names in it.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QHash>
#include <QSet>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/fswatchbackends.h"
#include "platform/pathline.h"
#include "platform/watchtree.h"

using namespace Qt::StringLiterals;

namespace platform {

namespace {

QString watchLimitMessage(qsizetype needed, qint64 limit) {
  return u"the trees hold %1 folders and inotify needs a watch for each, but one user may hold "
         u"%2 (fs.inotify.max_user_watches, shared by all the user's programs): raise it, "
         u"for example with sysctl -w fs.inotify.max_user_watches=%3 (and a file in "
         u"/etc/sysctl.d to keep it)"_s.arg(needed)
             .arg(limit >= 0 ? QString::number(limit) : u"fewer"_s)
             .arg(qMax<qint64>(needed * 2, 524288));
}

class InotifyWatch final : public FsWatch {
 public:
  InotifyWatch(UniqueFd fd, std::vector<QByteArray> roots, std::vector<UniqueFd> rootFds)
      : fd_(std::move(fd)), roots_(std::move(roots)), rootFds_(std::move(rootFds)) {}

  Backend backend() const override { return Backend::Inotify; }
  int fd() const override { return fd_.get(); }
  qsizetype watchedFolders() const override { return folders_.size(); }
  qsizetype filesWithOtherNames() const override { return files_.size(); }

  // Watches every folder of the trees, and the files with other names. 0, or
  // the errno of the folder's watch that failed (`where` its folder).
  int watchAll(QByteArray* where, QSet<int>* seen = nullptr) {
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      UniqueFd top(::fcntl(rootFds_[i].get(), F_DUPFD_CLOEXEC, 0));
      int failed = 0;
      walkTree(
          std::move(top), roots_[i],
          [&](int dirFd, const QByteArray& path) {
            const int wd = addWatch(folders_, dirFd, path, folderMask());
            if (wd < 0) {
              failed = -wd;
              *where = path;
              return seen != nullptr;  // a rebuild goes on with the rest
            }
            if (seen)
              seen->insert(wd);
            return true;
          },
          [&](int dirFd, const char* name, const QByteArray& path) {
            const int wd = watchIfLinked(dirFd, name, path);
            if (seen && wd >= 0)
              seen->insert(wd);
          });
      if (failed && !seen)
        return failed;
    }
    return 0;
  }

  int read(std::vector<WatchEvent>& out) override {
    alignas(struct inotify_event) char buf[64 * 1024];
    // A bounded batch: while writers keep the queue full, the caller still
    // gets to its stop and its tests between batches.
    bool overflowed = false;
    int error = 0;
    for (int batch = 0; batch < kBatches; ++batch) {
      const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        error = errno == EAGAIN ? 0 : errno;
        break;
      }
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
        at += ssize_t(sizeof(struct inotify_event) + e->len);
        if (!(e->mask & IN_Q_OVERFLOW))
          handle(*e, out);
        else if (!std::exchange(overflowed, true))
          rebuild(out);  // once a batch: a walk of a large tree takes seconds
      }
    }
    if (overflowed)
      out.push_back(WatchEvent{WatchEvent::Kind::Overflow, {}});
    return error;
  }

  void setQuiet(bool quiet) override {
    if (quiet == quiet_)
      return;
    quiet_ = quiet;
    std::vector<int> all;
    for (const Paths* paths : {&folders_, &files_})
      all.insert(all.end(), paths->keyBegin(), paths->keyEnd());
    remask(all);
  }

  int mountsFd() const override { return mounts_.fd(); }
  // A mount below the trees, made or gone: the folders seen at its mount point
  // are walked and watched, as a folder that appears is.
  void mountsChanged(std::vector<WatchEvent>& out) override {
    for (const QByteArray& path : mounts_.update())
      appeared(path, out);
  }

 private:
  static constexpr int kBatches = 16;
  static constexpr uint32_t kFileMask =
      IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_OPEN | IN_MODIFY | IN_DONT_FOLLOW;
  static constexpr uint32_t kFolderMask =
      kFileMask | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_ONLYDIR | IN_EXCL_UNLINK;
  // What a quiet watch leaves out (see setQuiet).
  static constexpr uint32_t kReadsOnly = IN_OPEN | IN_CLOSE_NOWRITE;
  using Paths = QHash<int, QByteArray>;

  uint32_t folderMask() const { return quiet_ ? kFolderMask & ~kReadsOnly : kFolderMask; }
  uint32_t fileMask() const { return quiet_ ? kFileMask & ~kReadsOnly : kFileMask; }

  // Gives the watches `wds` the masks of now. By path, which opens nothing and
  // so makes no event of its own; a path that has come to lead elsewhere is
  // left to the events that tell of the move.
  void remask(const std::vector<int>& wds) {
    for (const int wd : wds) {
      const bool isFolder = folders_.contains(wd);
      const QByteArray path = isFolder ? folders_.value(wd) : files_.value(wd);
      if (path.isEmpty())
        continue;
      const uint32_t mask = isFolder ? folderMask() : fileMask();
      int now = ::inotify_add_watch(fd_.get(), path.constData(), mask);
      if (now < 0 && errno == ENAMETOOLONG) {
        // Deeper than a path can name: through the folders, one at a time.
        const UniqueFd fd = isFolder ? openUnderRoots(roots_, rootFds_, path) : UniqueFd();
        if (fd) {
          const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd.get());
          now = ::inotify_add_watch(fd_.get(), proc.constData(), mask & ~IN_DONT_FOLLOW);
        }
      }
      // Another inode now: a watch the trees did not ask for is taken off.
      if (now >= 0 && now != wd && !folders_.contains(now) && !files_.contains(now))
        ::inotify_rm_watch(fd_.get(), now);
    }
  }

  // The watch's descriptor, or -errno.
  int addWatch(Paths& paths, int fd, const QByteArray& path, uint32_t mask) {
    // Through the descriptor: what is watched is what was opened, through no
    // link, whatever its path has come to lead to, and at any depth.
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    int wd = ::inotify_add_watch(fd_.get(), proc.constData(), mask & ~IN_DONT_FOLLOW);
    if (wd < 0 && errno == ENOENT)  // no /proc
      wd = ::inotify_add_watch(fd_.get(), path.constData(), mask);
    if (wd < 0)
      return -errno;
    // Watched again (moved within the trees, or a rebuild): the path changes.
    paths.insert(wd, path);
    return wd;
  }

  int watchIfLinked(int dirFd, const char* name, const QByteArray& path) {
    if (!linkedFile(dirFd, name))
      return -1;
    const UniqueFd file(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return file ? addWatch(files_, file.get(), path, fileMask()) : -1;
  }

  void removeWatch(int wd) {
    ::inotify_rm_watch(fd_.get(), wd);
    folders_.remove(wd);
    files_.remove(wd);
  }

  void forgetTree(const QByteArray& path) {
    std::vector<int> gone;
    for (const Paths* paths : {&folders_, &files_}) {
      for (auto it = paths->cbegin(); it != paths->cend(); ++it) {
        if (isUnder(it.value(), path))
          gone.push_back(it.key());
      }
    }
    for (const int wd : gone)
      removeWatch(wd);
  }

  // After an overflow the watches are made again from a fresh walk: folders
  // made or moved in meanwhile are watched, those renamed get their new paths,
  // and the watches of what is gone are dropped.
  void rebuild(std::vector<WatchEvent>& out) {
    // The walk's own opens would fill the queue again. Each folder is watched
    // anew, quietly, before anything below it is opened; the scan that follows
    // the overflow ends the quiet (see setQuiet).
    quiet_ = true;
    QSet<int> seen;
    QByteArray where;
    watchAll(&where, &seen);
    if (!where.isEmpty())
      out.push_back(WatchEvent{WatchEvent::Kind::Unwatched, where, ENOSPC});
    std::vector<int> gone;
    for (const Paths* paths : {&folders_, &files_}) {
      for (auto it = paths->cbegin(); it != paths->cend(); ++it) {
        if (!seen.contains(it.key()))
          gone.push_back(it.key());
      }
    }
    for (const int wd : gone)
      removeWatch(wd);
  }

  void appeared(const QByteArray& path, std::vector<WatchEvent>& out) {
    UniqueFd dir = openUnderRoots(roots_, rootFds_, path);
    if (!dir) {
      if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR && errno != EXDEV)
        out.push_back(WatchEvent{WatchEvent::Kind::Unwatched, path, errno});
      return;
    }
    // Walked quietly, as a tree moved in may be large, then given the masks of now.
    const bool quiet = std::exchange(quiet_, true);
    std::vector<int> added;
    walkTree(
        std::move(dir), path,
        [&](int dirFd, const QByteArray& p) {
          if (const int wd = addWatch(folders_, dirFd, p, folderMask()); wd < 0)
            out.push_back(WatchEvent{WatchEvent::Kind::Unwatched, p, -wd});
          else
            added.push_back(wd);
          return true;
        },
        [&](int dirFd, const char* name, const QByteArray& file) {
          if (const int wd = watchIfLinked(dirFd, name, file); wd >= 0)
            added.push_back(wd);
          out.push_back(WatchEvent{WatchEvent::Kind::Written, file});
        });
    quiet_ = quiet;
    if (!quiet_)
      remask(added);
  }

  // A new name in the trees may be a second name of a file outside them.
  void named(const QByteArray& dir, const char* name, const QByteArray& path) {
    const UniqueFd dirFd = openUnderRoots(roots_, rootFds_, dir);
    if (dirFd)
      watchIfLinked(dirFd.get(), name, path);
  }

  void handle(const struct inotify_event& e, std::vector<WatchEvent>& out) {
    if (e.mask & IN_IGNORED) {
      folders_.remove(e.wd);
      files_.remove(e.wd);
      return;
    }
    if (e.len == 0) {
      // A file watched for its other names: whichever name was used.
      if (const auto file = files_.constFind(e.wd); file != files_.constEnd())
        fileEvent(e.mask, file.value(), out);
      return;
    }
    const auto dir = folders_.constFind(e.wd);
    if (dir == folders_.constEnd())
      return;
    const QByteArray path =
        joinedPath(dir.value(), QByteArrayView(static_cast<const char*>(e.name)));
    if (e.mask & IN_ISDIR) {
      if (e.mask & IN_MOVED_FROM)
        forgetTree(path);
      else if (e.mask & (IN_CREATE | IN_MOVED_TO))
        appeared(path, out);
      return;
    }
    if (e.mask & (IN_CREATE | IN_MOVED_TO))
      named(dir.value(), e.name, path);
    fileEvent(e.mask, path, out);
  }

  static void fileEvent(uint32_t mask, const QByteArray& path, std::vector<WatchEvent>& out) {
    fileEvents(mask & IN_OPEN, mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY),
               mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE), path, out);
  }

  UniqueFd fd_;
  std::vector<QByteArray> roots_;
  std::vector<UniqueFd> rootFds_;
  bool quiet_ = false;
  Paths folders_;  // the folders' watches
  Paths files_;    // the watches of files with other names
  TreeMounts mounts_{roots_, rootFds_};
};

}  // namespace

std::unique_ptr<FsWatch> openInotifyWatch(const std::vector<QByteArray>& roots,
                                          std::vector<UniqueFd> rootFds, qint64 limit,
                                          QString* why) {
  // Counted first: watches added up to the limit and then refused would leave
  // the trees half watched and the user with a message too late.
  const qsizetype needed = countFolders(roots);
  if (limit >= 0 && needed > limit) {
    *why = watchLimitMessage(needed, limit);
    return nullptr;
  }
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) {
    *why = u"inotify_init1: "_s + errorText(errno) +
           (errno == EMFILE ? u" (fs.inotify.max_user_instances)"_s : QString());
    return nullptr;
  }
  auto w = std::make_unique<InotifyWatch>(std::move(fd), roots, std::move(rootFds));
  QByteArray where;
  // The walk's opens of a large tree would overflow the queue before the first read.
  w->setQuiet(true);
  if (const int e = w->watchAll(&where)) {
    // The user's other programs hold watches as well.
    *why = e == ENOSPC ? watchLimitMessage(needed, limit)
                       : lineOfBytes(where) + u": inotify_add_watch: "_s + errorText(e);
    return nullptr;
  }
  w->setQuiet(false);
  return w;
}

}  // namespace platform
