// The fanotify source: the whole file systems that hold the trees are marked,
// and of their events those under the trees are kept, with those outside that
// name a file of the trees by another name.
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QHash>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/fswatchbackends.h"
#include "platform/pathline.h"
#include "platform/watchtree.h"

using namespace Qt::StringLiterals;

namespace platform {

namespace {

constexpr uint64_t kMask = FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE | FAN_OPEN | FAN_MODIFY |
                           FAN_MOVED_TO | FAN_CREATE | FAN_ONDIR;

QByteArray identityKey(const FileIdentity& id) {
  QByteArray key(reinterpret_cast<const char*>(&id.device), sizeof id.device);
  key.append(reinterpret_cast<const char*>(&id.inode), sizeof id.inode);
  return key;
}

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
    learnLinks();
  }

  Backend backend() const override { return Backend::Fanotify; }
  int fd() const override { return fd_.get(); }
  qsizetype watchedFolders() const override { return 0; }
  qsizetype filesWithOtherNames() const override { return linked_.size(); }

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
  // The files of the trees that have other names, by identity: found by a walk
  // that reads no content.
  void learnLinks() {
    linked_.clear();
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      UniqueFd top(::fcntl(rootFds_[i].get(), F_DUPFD_CLOEXEC, 0));
      walkTree(
          std::move(top), roots_[i], [](int, const QByteArray&) { return true; },
          [&](int dirFd, const char* name, const QByteArray& path) {
            if (const auto id = linkedFile(dirFd, name))
              linked_.insert(identityKey(*id), path);
          });
    }
  }

  // The file at `path` when it has other names: its identity and path kept.
  void maybeLinked(const QByteArray& path) {
    struct stat st;
    if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1)
      linked_.insert(identityKey(identityOf(st)), path);
  }

  static void fileEvent(uint64_t mask, const QByteArray& path, std::vector<WatchEvent>& out) {
    if (mask & FAN_OPEN)
      out.push_back(WatchEvent{WatchEvent::Kind::Opened, path});
    if (mask & (FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_CREATE | FAN_MODIFY))
      out.push_back(WatchEvent{WatchEvent::Kind::Written, path});
    if (mask & (FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE))
      out.push_back(WatchEvent{WatchEvent::Kind::Closed, path});
  }

  void handle(const struct fanotify_event_metadata& m, std::vector<WatchEvent>& out) {
    if (m.mask & FAN_Q_OVERFLOW) {
      // Renames may have been lost with the rest. The files with other names
      // are not walked again here: on a busy file system overflows come in
      // runs, and a walk for each kept the loop from anything else.
      folderPaths_.clear();
      out.push_back(WatchEvent{WatchEvent::Kind::Overflow, {}});
      return;
    }
    // Folders opened and closed: nothing to test. The watch's own reads are
    // not news either, and would fill the queue during a scan of the trees.
    if ((m.mask & FAN_ONDIR) && !(m.mask & (FAN_CREATE | FAN_MOVED_TO)))
      return;
    uint64_t mask = m.mask;
    if (m.pid == self_)
      mask &= ~uint64_t(FAN_OPEN | FAN_CLOSE_NOWRITE);
    if (!(mask & ~uint64_t(FAN_ONDIR)))
      return;
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
        folderAppeared(info->fsid, handle, name, out);
        return;
      }
      const QByteArray dirPath = folderPath(info->fsid, handle);
      if (dirPath.isEmpty())
        return;
      QByteArray path = joinedPath(dirPath, QByteArrayView(name));
      if (rootOf(roots_, path) < 0) {
        // The file systems are marked whole: keep the trees' only, and the
        // files of the trees written through a name outside them.
        if (linked_.isEmpty())
          return;
        struct stat st;
        if (::lstat(path.constData(), &st) != 0)
          return;
        path = linked_.value(identityKey(identityOf(st)));
        if (path.isEmpty())
          return;
      } else if (mask & (FAN_CREATE | FAN_MOVED_TO)) {
        maybeLinked(path);
      }
      fileEvent(mask, path, out);
      return;
    }
  }

  void folderAppeared(const __kernel_fsid_t& fsid, struct file_handle* handle, const char* name,
                      std::vector<WatchEvent>& out) {
    // A folder renamed anywhere on the file system may have carried folders
    // into the trees or out of them: the paths known are stale.
    folderPaths_.clear();
    UniqueFd dir = openFolderByHandle(fsid, handle);
    const QByteArray dirPath = dir ? pathOf(dir.get()) : QByteArray();
    const QByteArray path = joinedPath(dirPath, QByteArrayView(name));
    if (dirPath.isEmpty() || rootOf(roots_, path) < 0)
      return;
    UniqueFd sub(::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub)
      return;
    walkTree(
        std::move(sub), path, [](int, const QByteArray&) { return true; },
        [&](int dirFd, const char* file, const QByteArray& filePath) {
          if (const auto id = linkedFile(dirFd, file))
            linked_.insert(identityKey(*id), filePath);
          out.push_back(WatchEvent{WatchEvent::Kind::Written, filePath});
        });
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
  QHash<QByteArray, QByteArray> linked_;  // identity key → path in the trees
  const pid_t self_ = ::getpid();
};

}  // namespace

std::unique_ptr<FsWatch> openFanotifyWatch(const std::vector<QByteArray>& roots,
                                           std::vector<UniqueFd> rootFds, QString* why) {
  UniqueFd fd(::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                              O_RDONLY | O_CLOEXEC | O_LARGEFILE));
  if (!fd) {
    *why = u"fanotify_init: "_s + errorText(errno);
    return nullptr;
  }
  for (const QByteArray& root : roots) {
    if (::fanotify_mark(fd.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMask, AT_FDCWD,
                        root.constData()) != 0) {
      *why = u"fanotify_mark on "_s + lineOfBytes(root) + u": "_s + errorText(errno);
      return nullptr;
    }
  }
  return std::make_unique<FanotifyWatch>(std::move(fd), roots, std::move(rootFds));
}

}  // namespace platform
