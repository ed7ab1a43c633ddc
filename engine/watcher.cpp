#include "engine/watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "clean/backupstore.h"
#include "clean/failures.h"
#include "engine/cleanrun.h"
#include "engine/messages.h"
#include "engine/scanner.h"
#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "platform/watchtree.h"
#include "scan/filetypes.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;
using platform::isUnder;

namespace {

// What a rescan hears of its scan: the files found; no user to tell the rest.
class RescanListener : public ScanListener {
 public:
  RescanListener(const std::atomic<bool>& stop, std::function<void(const ScanFound&)> onFound)
      : stop_(stop), onFound_(std::move(onFound)) {}
  void note(const QString&) override {}
  void refused(const QString&) override {}
  void found(const ScanFound& file) override { onFound_(file); }
  void unreadable(const QString&, int) override {}
  bool stopRequested() const override { return stop_.load(std::memory_order_relaxed); }

 private:
  const std::atomic<bool>& stop_;
  std::function<void(const ScanFound&)> onFound_;
};

void signal(int fd) {
  const uint64_t one = 1;
  // An eventfd's counter cannot overflow from this: nothing to do on failure.
  [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void drain(int fd) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
}

// Errors that say the file is no longer there to test, not that it was unread.
bool isGone(int error) {
  return error == 0 || error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENXIO ||
         error == EXDEV;
}

}  // namespace

// One scan of every tree on a thread of its own, with the scan's walk and match:
// the files it finds go to the watch's loop, which tests each again (a file
// cleaned or replaced meanwhile is not reported) and reports it.
class Watcher::Rescan {
 public:
  Rescan(const Settings& settings, const std::vector<QByteArray>& roots, int wakeFd, Cause cause)
      : cause_(cause) {
    thread_ = std::thread([this, settings, roots, wakeFd] {
      for (const QByteArray& root : roots) {
        if (stop_.load())
          break;
        RescanListener listener(stop_, [&](const ScanFound& f) {
          const std::lock_guard lock(mutex_);
          found_.emplace_back(platform::encodePath(f.path), f.identity);
          signal(wakeFd);
        });
        ScanRequest request;
        request.signature = settings.signature();
        request.location = platform::decodePath(root);
        request.filter = settings.filterText;
        request.threads = settings.scanThreads;
        request.encoding = settings.encoding;
        request.lineEnds = settings.lineEnds;
        Scanner scanner(listener);
        (void)scanner.scan(request);
      }
      done_.store(true);
      signal(wakeFd);
    });
  }
  ~Rescan() {
    stop_.store(true);
    thread_.join();
  }
  // The oldest finds, `most` at most; `left` tells whether more wait.
  std::vector<std::pair<QByteArray, platform::FileIdentity>> take(std::size_t most, bool& left) {
    const std::lock_guard lock(mutex_);
    const auto end = found_.begin() + std::ptrdiff_t(std::min(most, found_.size()));
    std::vector<std::pair<QByteArray, platform::FileIdentity>> out(
        std::make_move_iterator(found_.begin()), std::make_move_iterator(end));
    found_.erase(found_.begin(), end);
    left = !found_.empty();
    return out;
  }
  bool done() const { return done_.load(); }
  Cause cause() const { return cause_; }

 private:
  Cause cause_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::deque<std::pair<QByteArray, platform::FileIdentity>> found_;
  std::thread thread_;
};

Watcher::Watcher(Settings settings) : settings_(std::move(settings)) {}

Watcher::~Watcher() {
  rescan_.reset();
}

QString Watcher::start() {
  signature_ = settings_.signature();
  if (signature_.isEmpty())
    return u"the signature is empty"_s;
  fileTypes_ = scan::parseFileTypes(settings_.filterText);
  matcher_.emplace(signature_, settings_.encoding, settings_.lineEnds);
  // Refused up front, as the scan refuses it: an error for every file would
  // look like a watch that runs.
  if (const QString why = matcher_->error(); !why.isEmpty())
    return msg::kSetNotSearchable.toString() + why;
  if (settings_.folders.isEmpty())
    return u"no folder to watch"_s;
  for (const QString& folder : settings_.folders) {
    int error = 0;
    const QByteArray root = platform::canonicalFolder(platform::encodePath(folder), &error);
    if (root.isEmpty())
      return platform::lineOfPath(folder) + u": "_s + platform::errorText(error);
    // A tree inside another is watched with it.
    if (std::none_of(roots_.begin(), roots_.end(),
                     [&](const QByteArray& r) { return isUnder(root, r); })) {
      std::erase_if(roots_, [&](const QByteArray& r) { return isUnder(r, root); });
      roots_.push_back(root);
    }
  }
  for (const QByteArray& root : roots_) {
    platform::UniqueFd fd(::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
      return platform::lineOfBytes(root) + u": "_s + platform::errorText(errno);
    rootFds_.push_back(std::move(fd));
  }
  if (settings_.clean)
    learnKeptCopies();
  const QByteArray store = clean::backupStorePath();
  store_ = store.isEmpty() ? QByteArray() : platform::canonicalFolder(store);
  if (store_.isEmpty())
    store_ = store;

  stopFd_ = platform::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  wakeFd_ = platform::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopFd_ || !wakeFd_)
    return u"eventfd: "_s + platform::errorText(errno);
  QString why;
  watch_ = platform::FsWatch::open(roots_, settings_.allowFanotify, &why, &fanotifyRefused_,
                                   settings_.inotifyWatchLimit);
  if (!watch_)
    return why;
  return {};
}

void Watcher::requestStop() {
  stopping_.store(true);
  if (stopFd_)
    signal(stopFd_.get());
}

bool Watcher::inScope(const QByteArray& path) const {
  if (!store_.isEmpty() && isUnder(path, store_))
    return false;  // the originals of cleaned files
  return scan::countMatchingEntries(fileTypes_, platform::decodePath(path)) > 0;
}

void Watcher::notify(Notice::Kind kind, const QByteArray& path, int error, Cause cause) {
  if (onNotice)
    onNotice(Notice{kind, path, error, cause});
}

void Watcher::run() {
  // The watches are in place already, so nothing written during the scan is missed.
  if (settings_.initialScan && !stopping_.load())
    startScan(Cause::InitialScan);
  while (!stopping_.load()) {
    int timeout = -1;
    if (const auto wake = nextWake()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
      timeout = int(std::clamp<qint64>(left.count(), 0, 60000));
    }
    struct pollfd fds[4] = {{watch_->fd(), POLLIN, 0},
                            {stopFd_.get(), POLLIN, 0},
                            {wakeFd_.get(), POLLIN, 0},
                            {watch_->mountsFd(), POLLPRI, 0}};
    if (::poll(fds, 4, timeout) < 0 && errno != EINTR)
      break;
    if (stopping_.load())
      break;
    if (fds[3].revents & (POLLPRI | POLLERR)) {
      std::vector<platform::WatchEvent> events;
      watch_->mountsChanged(events);
      handleEvents(events, 0);
    }
    if (fds[0].revents & POLLIN) {
      std::vector<platform::WatchEvent> events;
      const int error = watch_->read(events);
      handleEvents(events, error);
    }
    if (fds[2].revents & POLLIN) {
      drain(wakeFd_.get());
      takeScanResults();
    }
    testDue();
    testHeldOpen();
    if (onIdle)
      onIdle();
  }
  rescan_.reset();
}

void Watcher::handleEvents(const std::vector<platform::WatchEvent>& events, int error) {
  bool overflow = false;
  const auto now = Clock::now();
  for (const platform::WatchEvent& e : events) {
    switch (e.kind) {
      case platform::WatchEvent::Kind::Overflow:
        overflow = true;
        break;
      case platform::WatchEvent::Kind::Unwatched:
        notify(Notice::Kind::Unwatched, e.path, e.error);
        break;
      case platform::WatchEvent::Kind::MountOnInotify:
        notify(Notice::Kind::MountOnInotify, e.path, e.error);
        break;
      case platform::WatchEvent::Kind::Written:
        if (inScope(e.path))
          queue(e.path, now, overflow);
        break;
      case platform::WatchEvent::Kind::Opened:
        if (auto it = open_.find(e.path); it != open_.end())
          ++it->opens;
        else if (open_.size() < kOpenKept && inScope(e.path))
          open_.insert(e.path, HeldOpen{1, now + settings_.settle * kSettleCap});
        break;
      case platform::WatchEvent::Kind::Closed:
        if (auto it = open_.find(e.path); it != open_.end() && --it->opens <= 0)
          open_.erase(it);
        break;
    }
  }
  if (error != 0)
    overflow = true;  // the events cannot be read: only a scan can tell
  if (overflow) {
    open_.clear();  // its opens and closes may be among what was lost
    notify(Notice::Kind::Overflow);
    // At once: what is lost may have been written anywhere. The files waiting
    // are still tested when they settle.
    startScan(Cause::Rescan);
  }
}

void Watcher::queue(const QByteArray& path, Clock::time_point now, bool& overflow) {
  const auto due = now + settings_.settle;
  if (auto it = waiting_.find(path); it != waiting_.end()) {
    it->due = due;
  } else if (std::size_t(waiting_.size()) >= settings_.maxWaiting ||
             dueOrder_.size() >= settings_.maxWaiting * 4) {
    overflow = true;
    return;
  } else {
    waiting_.insert(path, Waiting{due, now + settings_.settle * kSettleCap});
  }
  dueOrder_.emplace_back(due, path);
}

std::optional<Clock::time_point> Watcher::nextWake() const {
  std::optional<Clock::time_point> wake;
  if (!dueOrder_.empty())
    wake = dueOrder_.front().first;
  for (const HeldOpen& held : open_) {
    if (!wake || held.next < *wake)
      wake = held.next;
  }
  return wake;
}

void Watcher::testHeldOpen() {
  const auto now = Clock::now();
  std::vector<QByteArray> due;
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    if (it->next <= now) {
      due.push_back(it.key());
      it->next = now + settings_.settle * kSettleCap;
    }
  }
  for (const QByteArray& path : due) {
    if (stopping_.load())
      return;
    test(path, Cause::Written, std::nullopt, Clock::time_point::min());
  }
}

void Watcher::testDue() {
  const auto now = Clock::now();
  // As many as a scan's finds a pass, then the queue is read again: the rest
  // are still due, so the loop comes back at once.
  std::size_t tests = 0;
  while (!dueOrder_.empty() && dueOrder_.front().first <= now && tests < kFindsPerPass) {
    if (stopping_.load())
      return;
    const QByteArray path = std::move(dueOrder_.front().second);
    dueOrder_.pop_front();
    const auto it = waiting_.find(path);
    if (it == waiting_.end() || (it->due > now && it->latest > now))
      continue;  // tested already, or put off by a later event
    // Reported since its last event (a scan of the trees found it first):
    // told again only if it is another file now.
    const auto lastEvent = it->due - settings_.settle;
    waiting_.erase(it);
    test(path, Cause::Written, std::nullopt, lastEvent);
    ++tests;
  }
}

std::size_t Watcher::reportKey(const QByteArray& path) {
  return qHash(path, QHashSeed::globalSeed());
}

void Watcher::startScan(Cause cause) {
  if (rescan_) {
    if (!rescan_->done()) {
      nextScan_ = cause;  // events were lost during this scan: one more after it
      return;
    }
    // Over, but what it found is not handled yet: handled first, never dropped.
    nextScan_ = cause;
    takeScanResults();
    return;
  }
  notify(Notice::Kind::ScanStarted, {}, 0, cause);
  // The scan's own reads of the trees must not overflow the queue (and so
  // bring on another scan, and another): quiet until the last scan ends.
  watch_->setQuiet(true);
  rescan_ = std::make_unique<Rescan>(settings_, roots_, wakeFd_.get(), cause);
}

void Watcher::takeScanResults() {
  if (!rescan_)
    return;
  const bool over = rescan_->done();  // read before taking: nothing found is left behind
  const Cause cause = rescan_->cause();
  // A bounded share a pass: the loop reads the kernel's queue between them,
  // which would overflow while thousands of finds were tested at once.
  bool left = false;
  const auto found = rescan_->take(kFindsPerPass, left);
  if (left)
    signal(wakeFd_.get());
  const bool done = over && !left;
  for (const auto& [path, identity] : found) {
    if (stopping_.load())
      return;
    // Reported already as the very file the scan read: nothing new to test.
    if (const auto known = reported_.constFind(reportKey(path));
        known != reported_.constEnd() && known->identity == identity)
      continue;
    test(path, cause, identity);
  }
  if (!done)
    return;
  rescan_.reset();
  notify(Notice::Kind::ScanFinished, {}, 0, cause);
  if (nextScan_) {
    const Cause next = *nextScan_;
    nextScan_.reset();
    startScan(next);
  } else {
    watch_->setQuiet(false);
  }
}

void Watcher::test(const QByteArray& path, Cause cause,
                   std::optional<platform::FileIdentity> foundAs,
                   std::optional<Clock::time_point> newsSince) {
  const auto root = std::find_if(roots_.begin(), roots_.end(),
                                 [&](const QByteArray& r) { return isUnder(path, r); });
  if (root == roots_.end() || path == *root)
    return;
  const qsizetype slash = path.lastIndexOf('/');
  const QByteArray name = path.mid(slash + 1);
  const QByteArray rel = path.left(slash).mid(*root == "/" ? 1 : root->size() + 1);
  // Below the root no link is followed: neither on the way nor in the file's name.
  const platform::UniqueFd dir =
      platform::openFolderBelow(rootFds_[std::size_t(root - roots_.begin())].get(), rel);
  if (!dir) {
    if (!isGone(errno))
      notify(Notice::Kind::Unreadable, path, errno);
    return;
  }
  platform::FileIdentity identity;
  scan::ReadStats stats;
  const scan::MatchResult result = matcher_->matchFileAt(dir.get(), name, &identity, &stats);
  tested_.fetch_add(1);
  if (result == scan::MatchResult::Error && !isGone(stats.error))
    notify(Notice::Kind::Unreadable, path, stats.error);
  if (result != scan::MatchResult::Match) {
    if (result == scan::MatchResult::NoMatch)
      reported_.remove(reportKey(path));  // clean now: a later infection is news
    if (result == scan::MatchResult::NoMatch && stats.otherReading != text::Encoding::Auto &&
        onNotice)
      onNotice(Notice{Notice::Kind::OtherReading, path, 0, cause, stats.otherReading});
    return;
  }
  // The scan found it before this test: once is enough when that was the same file.
  const std::size_t key = reportKey(path);
  const Report last = reported_.value(key);
  const bool reportedAlready = last.identity == identity;
  if (reportedAlready &&
      ((newsSince && last.at >= *newsSince) || (foundAs && *foundAs != identity)))
    return;
  if (reported_.size() < settings_.reportsKept || reported_.contains(key))
    reported_.insert(key, Report{identity, Clock::now()});
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (onDetection)
    onDetection(Detection{path, identity, dir.get(), name, now, cause});
  if (settings_.clean)
    cleanFile(path, identity);
}
