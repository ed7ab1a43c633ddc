// The fanotify source: the whole file systems that hold the trees, and those
// mounted below them, are marked; of their events those under the trees are
// kept, named through the trees' own mounts, with those outside that name a
// file of the trees by another name. A mount fanotify refuses is watched with
// inotify, beside.
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QHash>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/fanotifynames.h"
#include "platform/fswatchbackends.h"
#include "platform/pathline.h"
#include "platform/watchtree.h"

using namespace Qt::StringLiterals;

namespace platform {

namespace {

constexpr uint64_t kMask = FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE | FAN_OPEN | FAN_MODIFY |
                           FAN_MOVED_TO | FAN_CREATE | FAN_ONDIR;
// What a quiet watch leaves out (see setQuiet).
constexpr uint64_t kReadsOnly = FAN_OPEN | FAN_CLOSE_NOWRITE;

class FanotifyWatch final : public FsWatch {
 public:
  FanotifyWatch(UniqueFd fd, std::vector<QByteArray> roots, std::vector<UniqueFd> rootFds,
                qint64 watchLimit)
      : fd_(std::move(fd)),
        roots_(std::move(roots)),
        rootFds_(std::move(rootFds)),
        watchLimit_(watchLimit) {}

  // Marks the roots' file systems and those mounted below them. False, with
  // `why`, when a root's own cannot be marked.
  bool start(QString* why) {
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    pendingFd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!epoll_ || !pendingFd_ || !addToEpoll(fd_.get()) || !addToEpoll(pendingFd_.get())) {
      *why = u"epoll: "_s + errorText(errno);
      return false;
    }
    // The walk that learns the files with other names opens every folder.
    quiet_ = true;
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      if (::fanotify_mark(fd_.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask(), rootFds_[i].get(),
                          nullptr) != 0) {
        *why = u"fanotify_mark on "_s + lineOfBytes(roots_[i]) + u": "_s + errorText(errno);
        return false;
      }
      rootFsids_.push_back(fsidOf(rootFds_[i].get()));
    }
    // The refusals are told with the start (mountsOnInotify); what cannot be
    // watched at all, at the first read.
    std::vector<WatchEvent> told;
    for (auto it = mounts_.current().cbegin(); it != mounts_.current().cend(); ++it)
      addMount(it.key(), told);
    names_.resetAnchors();
    rewatchRefused(pending_);
    if (!pending_.empty()) {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(pendingFd_.get(), &one, sizeof one);
    }
    learnLinks();
    setQuiet(false);
    return true;
  }

  void setQuiet(bool quiet) override {
    if (quiet == quiet_)
      return;
    quiet_ = quiet;
    const unsigned int how = (quiet ? FAN_MARK_REMOVE : FAN_MARK_ADD) | FAN_MARK_FILESYSTEM;
    for (const UniqueFd& root : rootFds_)
      ::fanotify_mark(fd_.get(), how, kReadsOnly, root.get(), nullptr);
    for (auto it = mountViews_.cbegin(); it != mountViews_.cend(); ++it) {
      if (it->error)
        continue;
      const UniqueFd top = openUnderRoots(roots_, rootFds_, it.key());
      const auto id = top ? identityOfFd(top.get()) : std::nullopt;
      if (id && *id == it->top)  // still the mount that was marked
        ::fanotify_mark(fd_.get(), how, kReadsOnly, top.get(), nullptr);
    }
    if (inotify_)
      inotify_->setQuiet(quiet);
  }

  Backend backend() const override { return Backend::Fanotify; }
  int fd() const override { return epoll_.get(); }
  qsizetype watchedFolders() const override { return inotify_ ? inotify_->watchedFolders() : 0; }
  qsizetype filesWithOtherNames() const override {
    return linked_.size() + (inotify_ ? inotify_->filesWithOtherNames() : 0);
  }
  int mountsFd() const override { return mounts_.fd(); }
  std::vector<RefusedMount> mountsOnInotify() const override {
    std::vector<RefusedMount> out;
    for (auto it = mountViews_.cbegin(); it != mountViews_.cend(); ++it) {
      if (it->error)
        out.push_back(RefusedMount{it.key(), it->error});
    }
    std::sort(out.begin(), out.end(),
              [](const RefusedMount& a, const RefusedMount& b) { return a.path < b.path; });
    return out;
  }

  int read(std::vector<WatchEvent>& out) override {
    int error = readMarked(out);
    if (inotify_) {
      if (const int e = inotify_->read(out); e && !error)
        error = e;
    }
    if (!pending_.empty()) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(pendingFd_.get(), &count, sizeof count);
      std::move(pending_.begin(), pending_.end(), std::back_inserter(out));
      pending_.clear();
    }
    return error;
  }

  void mountsChanged(std::vector<WatchEvent>& out) override {
    const std::vector<QByteArray> changed = mounts_.update();
    if (changed.empty())
      return;
    forgetPaths();
    bool refusedChanged = false;
    for (const QByteArray& path : changed) {
      if (const auto gone = mountViews_.constFind(path); gone != mountViews_.constEnd()) {
        refusedChanged |= gone->error != 0;
        mountViews_.erase(gone);
      }
      // Mounted, or uncovered by an unmount: what is seen there now may have
      // been written before it was watched.
      if (mounts_.current().contains(path))
        refusedChanged |= addMount(path, out) != 0;
    }
    names_.resetAnchors();
    if (refusedChanged)
      rewatchRefused(out);
    for (const QByteArray& path : changed)
      reportTree(path, out);
  }

 private:
  bool addToEpoll(int fd) {
    struct epoll_event e {};
    e.events = EPOLLIN;
    e.data.fd = fd;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &e) == 0;
  }

  // Marks the file system mounted at `path`; the errno of a refusal, or 0. A
  // refusal new since the start is told.
  int addMount(const QByteArray& path, std::vector<WatchEvent>& out) {
    const UniqueFd top = openUnderRoots(roots_, rootFds_, path);
    const auto id = top ? identityOfFd(top.get()) : std::nullopt;
    if (!id)
      return 0;  // gone again
    MountView view{fsidOf(top.get()), *id, 0};
    if (::fanotify_mark(fd_.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask(), top.get(),
                        nullptr) != 0) {
      view.error = errno;
      out.push_back(WatchEvent{WatchEvent::Kind::MountOnInotify, path, view.error});
    }
    mountViews_.insert(path, view);
    return view.error;
  }

  // The mounts fanotify refused, watched with inotify: made again when they change.
  void rewatchRefused(std::vector<WatchEvent>& out) {
    inotify_.reset();
    std::vector<QByteArray> paths;
    std::vector<UniqueFd> fds;
    for (const RefusedMount& m : mountsOnInotify()) {
      if (std::any_of(paths.begin(), paths.end(),
                      [&](const QByteArray& p) { return isUnder(m.path, p); }))
        continue;  // watched with the mount it lies in
      if (UniqueFd fd = openUnderRoots(roots_, rootFds_, m.path)) {
        paths.push_back(m.path);
        fds.push_back(std::move(fd));
      }
    }
    if (paths.empty())
      return;
    QString why;
    errno = 0;
    inotify_ = openInotifyWatch(paths, std::move(fds), watchLimit_, &why);
    const int error = errno;
    if (inotify_ && !addToEpoll(inotify_->fd()))
      inotify_.reset();
    if (inotify_ && quiet_)
      inotify_->setQuiet(true);
    if (!inotify_) {
      for (const QByteArray& p : paths)
        out.push_back(WatchEvent{WatchEvent::Kind::Unwatched, p, error ? error : ENOSPC});
    }
  }

  int readMarked(std::vector<WatchEvent>& out) {
    char buf[64 * 1024];
    // A bounded batch: while writers keep the queue full, the caller still
    // gets to its stop and its tests between batches.
    for (int batch = 0; batch < kBatches; ++batch) {
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
    return 0;
  }

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

  static void fileEvent(uint64_t mask, const QByteArray& path, std::vector<WatchEvent>& out) {
    fileEvents(mask & FAN_OPEN, mask & (FAN_CLOSE_WRITE | FAN_MOVED_TO | FAN_CREATE | FAN_MODIFY),
               mask & (FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE), path, out);
  }

  void handle(const struct fanotify_event_metadata& m, std::vector<WatchEvent>& out) {
    if (m.mask & FAN_Q_OVERFLOW) {
      // Renames may have been lost with the rest. The files with other names
      // are not walked again here: on a busy file system overflows come in
      // runs, and a walk for each kept the loop from anything else.
      forgetPaths();
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
      // The folder, where naming it had to open it: opened once an event.
      UniqueFd opened;
      const QByteArray dirPath = names_.folderPath(info->fsid, handle, &opened);
      const auto folder = [&] {
        return opened ? std::move(opened) : names_.openFolderByHandle(info->fsid, handle);
      };
      QByteArray path;
      if (dirPath.isEmpty()) {
        // Outside the trees: only a file of theirs written through another name.
        if (linked_.isEmpty())
          return;
        const UniqueFd dir = folder();
        struct stat st;
        if (!dir || ::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
          return;
        path = linked_.value(identityKey(identityOf(st)));
        if (path.isEmpty())
          return;
      } else {
        path = joinedPath(dirPath, QByteArrayView(name));
        if (mask & (FAN_CREATE | FAN_MOVED_TO)) {
          // A new name in the trees may be a second name of a file outside them.
          if (const UniqueFd dir = folder()) {
            if (const auto id = linkedFile(dir.get(), name))
              linked_.insert(identityKey(*id), path);
          }
        }
      }
      fileEvent(mask, path, out);
      return;
    }
  }

  void folderAppeared(const __kernel_fsid_t& fsid, struct file_handle* handle, const char* name,
                      std::vector<WatchEvent>& out) {
    // A folder renamed anywhere on the file system may have carried folders
    // into the trees or out of them: the paths known are stale.
    forgetPaths();
    const UniqueFd dir = names_.openFolderByHandle(fsid, handle);
    const QByteArray dirPath = dir ? names_.treePathOf(dir.get(), fsid) : QByteArray();
    if (dirPath.isEmpty())
      return;
    UniqueFd sub(::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub)
      reportTree(std::move(sub), joinedPath(dirPath, QByteArrayView(name)), out);
  }

  // Every file of the folder tree at `path` in the trees, as written: it may
  // have been before its folder was seen.
  void reportTree(const QByteArray& path, std::vector<WatchEvent>& out) {
    if (UniqueFd top = openUnderRoots(roots_, rootFds_, path))
      reportTree(std::move(top), path, out);
  }
  void reportTree(UniqueFd top, const QByteArray& path, std::vector<WatchEvent>& out) {
    walkTree(
        std::move(top), path, [](int, const QByteArray&) { return true; },
        [&](int dirFd, const char* file, const QByteArray& filePath) {
          if (const auto id = linkedFile(dirFd, file))
            linked_.insert(identityKey(*id), filePath);
          out.push_back(WatchEvent{WatchEvent::Kind::Written, filePath});
        });
  }

  void forgetPaths() { names_.forget(); }
  uint64_t mask() const { return quiet_ ? kMask & ~kReadsOnly : kMask; }

  UniqueFd fd_;
  std::vector<QByteArray> roots_;
  std::vector<UniqueFd> rootFds_;
  qint64 watchLimit_;
  std::vector<__kernel_fsid_t> rootFsids_;
  UniqueFd epoll_;      // the marks' events, and those of the inotify watch beside
  UniqueFd pendingFd_;  // eventfd: `pending_` holds events
  std::vector<WatchEvent> pending_;
  TreeMounts mounts_{roots_, rootFds_};
  QHash<QByteArray, MountView> mountViews_;  // by mount point
  FolderNames names_{roots_, rootFds_, rootFsids_, mountViews_};
  std::unique_ptr<FsWatch> inotify_;  // the mounts fanotify refused
  // One event at a time, aligned for its header and records (see read()).
  std::vector<std::uint64_t> eventWords_ = std::vector<std::uint64_t>(64 * 1024 / 8);
  static constexpr int kBatches = 16;
  QHash<QByteArray, QByteArray> linked_;  // identity key → path in the trees
  const pid_t self_ = ::getpid();
  bool quiet_ = false;
};

}  // namespace

std::unique_ptr<FsWatch> openFanotifyWatch(const std::vector<QByteArray>& roots,
                                           std::vector<UniqueFd> rootFds, qint64 watchLimit,
                                           QString* why) {
  UniqueFd fd(::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                              O_RDONLY | O_CLOEXEC | O_LARGEFILE));
  if (!fd) {
    *why = u"fanotify_init: "_s + errorText(errno);
    return nullptr;
  }
  auto w = std::make_unique<FanotifyWatch>(std::move(fd), roots, std::move(rootFds), watchLimit);
  if (!w->start(why))
    return nullptr;
  return w;
}

}  // namespace platform
