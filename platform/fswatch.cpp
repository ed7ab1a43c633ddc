#include "platform/fswatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QHash>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include "platform/fd.h"
#include "platform/fs.h"
#include "platform/pathline.h"

using namespace Qt::StringLiterals;

namespace platform {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isUnder(const QByteArray& path, const QByteArray& root) {
  if (root == "/")
    return path.startsWith('/');
  return path == root || (path.startsWith(root) && path.at(root.size()) == '/');
}

QByteArray joined(const QByteArray& dir, QByteArrayView name) {
  QByteArray out = dir;
  if (!out.endsWith('/'))
    out += '/';
  out += name;
  return out;
}

// Walks the tree of the open folder `top` (at `path`) depth first, through no
// link: `onFolder` for each folder (its descriptor and path; false stops the
// walk), `onFile` for every other entry that is not a folder nor a link.
// Returns false when onFolder stopped it.
bool walkTree(UniqueFd top, const QByteArray& path,
              const std::function<bool(int fd, const QByteArray& path)>& onFolder,
              const std::function<void(const QByteArray& path)>& onFile) {
  // A folder still to visit: its parent, held open, and its name there. Opened
  // only when the walk reaches it, so that the descriptors held are those of the
  // folders on the way down, however wide the tree.
  struct Pending {
    std::shared_ptr<UniqueFd> parent;
    QByteArray name;
    QByteArray path;
  };
  auto first = std::make_shared<UniqueFd>(std::move(top));
  std::vector<Pending> stack;
  stack.push_back(Pending{nullptr, {}, path});
  while (!stack.empty()) {
    Pending next = std::move(stack.back());
    stack.pop_back();
    auto dir = next.parent ? std::make_shared<UniqueFd>(
                                 ::openat(next.parent->get(), next.name.constData(), kDirFlags))
                           : first;
    next.parent.reset();
    if (!dir->ok())
      continue;  // gone, or swapped for a link
    if (!onFolder(dir->get(), next.path))
      return false;
    const int listFd = ::openat(dir->get(), ".", kDirFlags);
    DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!d) {
      if (listFd >= 0)
        ::close(listFd);
      continue;
    }
    std::vector<QByteArray> subfolders;
    while (const dirent* e = ::readdir(d)) {
      const QByteArrayView name(e->d_name);
      if (name == "." || name == "..")
        continue;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(dir->get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
          continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
      }
      if (type == DT_DIR)
        subfolders.emplace_back(name.toByteArray());
      else if (type != DT_LNK && onFile)
        onFile(joined(next.path, name));
    }
    ::closedir(d);
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
      stack.push_back(Pending{dir, *it, joined(next.path, *it)});
  }
  return true;
}

// The root among `roots` that holds `path` (the longest), or -1.
qsizetype rootOf(const std::vector<QByteArray>& roots, const QByteArray& path) {
  qsizetype best = -1;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (isUnder(path, roots[i]) && (best < 0 || roots[i].size() > roots[std::size_t(best)].size()))
      best = qsizetype(i);
  }
  return best;
}

// Opens the folder `path` below the root of `roots` that holds it, through no link.
UniqueFd openWatchedFolder(const std::vector<QByteArray>& roots,
                           const std::vector<UniqueFd>& rootFds, const QByteArray& path) {
  const qsizetype r = rootOf(roots, path);
  if (r < 0) {
    errno = ENOENT;
    return UniqueFd();
  }
  const QByteArray& root = roots[std::size_t(r)];
  QByteArray rel = path.mid(root == "/" ? 1 : root.size() + 1);
  return openFolderBelow(rootFds[std::size_t(r)].get(), rel);
}

QString watchLimitMessage(qsizetype needed, qint64 limit) {
  return u"the trees hold %1 folders and inotify needs a watch for each, but one user may hold "
         u"%2 (fs.inotify.max_user_watches, shared by all the user's programs): raise it, "
         u"for example with sysctl -w fs.inotify.max_user_watches=%3 (and a file in "
         u"/etc/sysctl.d to keep it)"_s.arg(needed)
             .arg(limit >= 0 ? QString::number(limit) : u"fewer"_s)
             .arg(qMax<qint64>(needed * 2, 524288));
}

// ---------------------------------------------------------------------------

class InotifyWatch final : public FsWatch {
 public:
  InotifyWatch(UniqueFd fd, std::vector<QByteArray> roots, std::vector<UniqueFd> rootFds)
      : fd_(std::move(fd)), roots_(std::move(roots)), rootFds_(std::move(rootFds)) {}

  Backend backend() const override { return Backend::Inotify; }
  int fd() const override { return fd_.get(); }
  qsizetype watchedFolders() const override { return paths_.size(); }

  // Watches every folder of the trees. 0, or the errno of the watch that failed
  // (`where` its folder).
  int watchAll(QByteArray* where) {
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      UniqueFd top(::fcntl(rootFds_[i].get(), F_DUPFD_CLOEXEC, 0));
      int failed = 0;
      walkTree(
          std::move(top), roots_[i],
          [&](int dirFd, const QByteArray& path) {
            if (const int e = addWatch(dirFd, path)) {
              failed = e;
              *where = path;
              return false;
            }
            return true;
          },
          nullptr);
      if (failed)
        return failed;
    }
    return 0;
  }

  int read(std::vector<WatchEvent>& out) override {
    alignas(struct inotify_event) char buf[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return errno == EAGAIN ? 0 : errno;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
        at += ssize_t(sizeof(struct inotify_event) + e->len);
        handle(*e, out);
      }
    }
  }

 private:
  static constexpr uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                    IN_ONLYDIR | IN_EXCL_UNLINK | IN_DONT_FOLLOW;

  int addWatch(int dirFd, const QByteArray& path) {
    // Through the descriptor: the folder watched is the one opened, through no
    // link, whatever its path has come to lead to, and at any depth.
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(dirFd);
    int wd = ::inotify_add_watch(fd_.get(), proc.constData(), kMask & ~IN_DONT_FOLLOW);
    if (wd < 0 && errno == ENOENT)  // no /proc
      wd = ::inotify_add_watch(fd_.get(), path.constData(), kMask);
    if (wd < 0)
      return errno;
    // A folder watched again (moved within the trees) keeps its watch: its path changes.
    if (const auto old = paths_.constFind(wd); old != paths_.constEnd())
      wds_.remove(old.value());
    paths_.insert(wd, path);
    wds_.insert(path, wd);
    return 0;
  }

  void forgetTree(const QByteArray& path) {
    std::vector<int> gone;
    for (auto it = wds_.cbegin(); it != wds_.cend(); ++it) {
      if (isUnder(it.key(), path))
        gone.push_back(it.value());
    }
    for (const int wd : gone) {
      ::inotify_rm_watch(fd_.get(), wd);
      wds_.remove(paths_.value(wd));
      paths_.remove(wd);
    }
  }

  void appeared(const QByteArray& path, std::vector<WatchEvent>& out) {
    UniqueFd dir = openWatchedFolder(roots_, rootFds_, path);
    if (!dir) {
      if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR && errno != EXDEV)
        out.push_back(WatchEvent{WatchEvent::Kind::Unwatched, path, errno});
      return;
    }
    walkTree(
        std::move(dir), path,
        [&](int dirFd, const QByteArray& p) {
          if (const int e = addWatch(dirFd, p))
            out.push_back(WatchEvent{WatchEvent::Kind::Unwatched, p, e});
          return true;
        },
        [&](const QByteArray& file) {
          out.push_back(WatchEvent{WatchEvent::Kind::Written, file});
        });
  }

  void handle(const struct inotify_event& e, std::vector<WatchEvent>& out) {
    if (e.mask & IN_Q_OVERFLOW) {
      out.push_back(WatchEvent{WatchEvent::Kind::Overflow, {}});
      return;
    }
    if (e.mask & IN_IGNORED) {
      if (const auto p = paths_.constFind(e.wd); p != paths_.constEnd()) {
        wds_.remove(p.value());
        paths_.remove(e.wd);
      }
      return;
    }
    const auto dir = paths_.constFind(e.wd);
    if (dir == paths_.constEnd() || e.len == 0)
      return;
    const QByteArray path = joined(dir.value(), QByteArrayView(static_cast<const char*>(e.name)));
    if (e.mask & IN_ISDIR) {
      if (e.mask & IN_MOVED_FROM)
        forgetTree(path);
      else if (e.mask & (IN_CREATE | IN_MOVED_TO))
        appeared(path, out);
      return;
    }
    if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE))
      out.push_back(WatchEvent{WatchEvent::Kind::Written, path});
  }

  UniqueFd fd_;
  std::vector<QByteArray> roots_;
  std::vector<UniqueFd> rootFds_;
  QHash<int, QByteArray> paths_;
  QHash<QByteArray, int> wds_;
};

// ---------------------------------------------------------------------------

class FanotifyWatch final : public FsWatch {
 public:
  FanotifyWatch(UniqueFd fd, std::vector<QByteArray> roots, std::vector<UniqueFd> rootFds)
      : fd_(std::move(fd)), roots_(std::move(roots)), rootFds_(std::move(rootFds)) {
    for (const UniqueFd& r : rootFds_) {
      struct statfs s {};
      ::fstatfs(r.get(), &s);
      __kernel_fsid_t id{};
      static_assert(sizeof id == sizeof s.f_fsid);
      std::memcpy(&id, &s.f_fsid, sizeof id);
      fsids_.push_back(id);
    }
  }

  Backend backend() const override { return Backend::Fanotify; }
  int fd() const override { return fd_.get(); }
  qsizetype watchedFolders() const override { return 0; }

  int read(std::vector<WatchEvent>& out) override {
    char buf[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return errno == EAGAIN ? 0 : errno;
      // An event that reports a name is as long as the name makes it, so the
      // next one may start anywhere: each is copied where its header is
      // aligned before it is read.
      const std::size_t len = std::size_t(n);
      for (std::size_t at = 0; at + sizeof(struct fanotify_event_metadata) <= len;) {
        struct fanotify_event_metadata head;
        std::memcpy(&head, buf + at, sizeof head);
        if (head.event_len < sizeof head || head.event_len > len - at)
          break;
        if (head.vers != FANOTIFY_METADATA_VERSION)
          return EPROTO;
        if (head.fd >= 0)
          ::close(head.fd);
        std::memcpy(eventWords_.data(), buf + at, head.event_len);
        handle(*reinterpret_cast<const struct fanotify_event_metadata*>(eventWords_.data()), out);
        at += head.event_len;
      }
    }
  }

 private:
  void handle(const struct fanotify_event_metadata& m, std::vector<WatchEvent>& out) {
    if (m.mask & FAN_Q_OVERFLOW) {
      folderPaths_.clear();  // renames may have been lost with the rest
      out.push_back(WatchEvent{WatchEvent::Kind::Overflow, {}});
      return;
    }
    const char* base = reinterpret_cast<const char*>(&m);
    for (uint32_t at = m.metadata_len;
         at + sizeof(struct fanotify_event_info_header) <= m.event_len;) {
      const auto* info = reinterpret_cast<const struct fanotify_event_info_fid*>(base + at);
      if (info->hdr.len == 0)
        break;
      at += info->hdr.len;
      if (info->hdr.info_type != FAN_EVENT_INFO_TYPE_DFID_NAME)
        continue;
      auto* handle =
          reinterpret_cast<struct file_handle*>(const_cast<unsigned char*>(info->handle));
      const char* name = reinterpret_cast<const char*>(handle->f_handle + handle->handle_bytes);
      if (m.mask & FAN_ONDIR) {
        // A folder renamed anywhere on the file system may have carried
        // folders into the trees or out of them: the paths known are stale.
        folderPaths_.clear();
        UniqueFd dir = openFolderByHandle(info->fsid, handle);
        const QByteArray dirPath = dir ? pathOf(dir.get()) : QByteArray();
        const QByteArray path = joined(dirPath, QByteArrayView(name));
        if (dirPath.isEmpty() || rootOf(roots_, path) < 0)
          return;
        UniqueFd sub(::openat(dir.get(), name, kDirFlags));
        if (sub) {
          walkTree(
              std::move(sub), path, [](int, const QByteArray&) { return true; },
              [&](const QByteArray& file) {
                out.push_back(WatchEvent{WatchEvent::Kind::Written, file});
              });
        }
        return;
      }
      const QByteArray dirPath = folderPath(info->fsid, handle);
      const QByteArray path = joined(dirPath, QByteArrayView(name));
      if (dirPath.isEmpty() || rootOf(roots_, path) < 0)
        return;  // the file systems are marked whole: keep the trees' only
      out.push_back(WatchEvent{WatchEvent::Kind::Written, path});
      return;
    }
  }

  // The path of the folder a handle names, empty when it is gone. Remembered:
  // on a busy file system most events come from the same few folders, most of
  // them outside the trees.
  QByteArray folderPath(const __kernel_fsid_t& fsid, struct file_handle* handle) {
    QByteArray key(reinterpret_cast<const char*>(&fsid), sizeof fsid);
    key.append(reinterpret_cast<const char*>(&handle->handle_type), sizeof handle->handle_type);
    key.append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
    if (const auto known = folderPaths_.constFind(key); known != folderPaths_.constEnd())
      return known.value();
    UniqueFd dir = openFolderByHandle(fsid, handle);
    QByteArray path = dir ? pathOf(dir.get()) : QByteArray();
    if (path.isEmpty())
      return path;  // a folder deleted: its handle is not used again
    if (folderPaths_.size() >= kFolderPathsKept)
      folderPaths_.clear();
    folderPaths_.insert(key, path);
    return path;
  }

  UniqueFd openFolderByHandle(const __kernel_fsid_t& fsid, struct file_handle* handle) const {
    for (std::size_t i = 0; i < fsids_.size(); ++i) {
      if (std::memcmp(&fsids_[i], &fsid, sizeof fsid) != 0)
        continue;
      UniqueFd dir(
          ::open_by_handle_at(rootFds_[i].get(), handle, O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (dir)
        return dir;
    }
    return UniqueFd();
  }

  static QByteArray pathOf(int fd) {
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    QByteArray target(PATH_MAX, Qt::Uninitialized);
    const ssize_t n = ::readlink(proc.constData(), target.data(), std::size_t(target.size()));
    if (n <= 0 || n >= target.size())
      return {};
    target.truncate(n);
    // A folder removed meanwhile: nothing of it lies in the trees any more.
    if (!target.startsWith('/') || target.endsWith(" (deleted)"))
      return {};
    return target;
  }

  UniqueFd fd_;
  std::vector<QByteArray> roots_;
  std::vector<UniqueFd> rootFds_;
  std::vector<__kernel_fsid_t> fsids_;
  // One event at a time, aligned for its header and records (see read()).
  std::vector<std::uint64_t> eventWords_ = std::vector<std::uint64_t>(64 * 1024 / 8);
  static constexpr qsizetype kFolderPathsKept = 16384;
  QHash<QByteArray, QByteArray> folderPaths_;
};

std::unique_ptr<FsWatch> openFanotify(const std::vector<QByteArray>& roots,
                                      std::vector<UniqueFd> rootFds, QString* why) {
  UniqueFd fd(::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                              O_RDONLY | O_CLOEXEC | O_LARGEFILE));
  if (!fd) {
    *why = u"fanotify_init: "_s + errorText(errno);
    return nullptr;
  }
  for (const QByteArray& root : roots) {
    if (::fanotify_mark(fd.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM,
                        FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_CREATE | FAN_ONDIR, AT_FDCWD,
                        root.constData()) != 0) {
      *why = u"fanotify_mark on "_s + lineOfBytes(root) + u": "_s + errorText(errno);
      return nullptr;
    }
  }
  return std::make_unique<FanotifyWatch>(std::move(fd), roots, std::move(rootFds));
}

}  // namespace

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
    if (auto w = openFanotify(roots, std::move(rootFds), &refused))
      return w;
    if (fanotifyRefused)
      *fanotifyRefused = refused;
  }
  if (!openRoots(rootFds))
    return nullptr;
  // Counted first: watches added up to the limit and then refused would leave
  // the trees half watched and the user with a message too late.
  const qsizetype needed = countFolders(roots);
  const qint64 limit = watchLimit ? *watchLimit : inotifyWatchLimit();
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
  if (const int e = w->watchAll(&where)) {
    // The user's other programs hold watches as well.
    *why = e == ENOSPC ? watchLimitMessage(needed, limit)
                       : lineOfBytes(where) + u": inotify_add_watch: "_s + errorText(e);
    return nullptr;
  }
  return w;
}

}  // namespace platform
