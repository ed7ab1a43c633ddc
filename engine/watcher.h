// The watch: tests every file in scope that is written or moved into the watched
// trees as soon as it settles, reports the infected ones and, when asked, cleans
// them at once through the clean's own path (with a backup). When the kernel's
// queue overflows, the trees are scanned again in the background, so that a file
// written meanwhile is still found. Assumes no window: the caller reports.
#pragma once

#include <time.h>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fd.h"
#include "platform/fileidentity.h"
#include "platform/fswatch.h"
#include "scan/filematch.h"
#include "text/encoding.h"
#include "text/lineends.h"
#include "text/textops.h"

class Watcher {
 public:
  struct Settings {
    QStringList folders;
    // What the window's boxes would hold: the signature box's text (trimmed and
    // lower-cased as the scan does) and the filter box's.
    QString signatureText;
    // A signature set's text (engine/signaturesetfile.h), used instead when not empty.
    QString signatureSet;
    // What the scan and the clean take: the set's text, else the signature box's.
    QString signature() const {
      return signatureSet.isEmpty() ? text::signatureFrom(signatureText) : signatureSet;
    }
    QString filterText;
    text::Encoding encoding = text::Encoding::Auto;
    text::LineEnds lineEnds = text::LineEnds::Any;
    bool clean = false;
    bool initialScan = false;
    bool allowFanotify = true;
    // A file is tested once no event has come for it for this long, or once it
    // has waited kSettleCap times as long, whichever comes first.
    std::chrono::milliseconds settle{200};
    // Threads that read files during a scan of the trees.
    int scanThreads = 1;
    // More files than this waiting to settle count as an overflow: memory stays
    // bounded and a scan of the trees finds them.
    std::size_t maxWaiting = 100000;
    // The files reported that are remembered, so that a scan of the trees does
    // not report them again (a few dozen bytes each).
    qsizetype reportsKept = 1000000;
    // The inotify watches the trees may take (nothing: fs.inotify.max_user_watches).
    std::optional<qint64> inotifyWatchLimit;
    // What the backup store's file system keeps free: a clean that would leave
    // less (as a share of its size, or in bytes) is not made; the file is still
    // reported.
    double storeMinFreeShare = 0.10;
    qint64 storeMinFreeBytes = qint64(1) << 30;
  };
  static constexpr int kSettleCap = 10;

  // Why a file was tested.
  enum class Cause { Written, Rescan, InitialScan };

  struct Detection {
    const QByteArray& path;
    platform::FileIdentity identity;
    // The file that was read, open while the call lasts: `name` below `dirFd`.
    int dirFd;
    const QByteArray& name;
    struct timespec time;  // when the test ended (CLOCK_REALTIME)
    Cause cause;
  };
  struct CleanOutcome {
    const QByteArray& path;
    bool cleaned = false;
    QString message;  // why it failed: lines separated by CR LF, names shown as lines
    QByteArray run;   // the backup run that restores it
    // The run kept no copy of its own: an earlier run holds the same original.
    bool copyShared = false;
    // How often the watch has cleaned this path, this time included, and when first.
    int timesCleaned = 0;
    struct timespec firstCleaned {};
    // Taken out of the site whole (a member that quarantines), for the member
    // named, rather than rewritten; `otherNames`: its hard links, which stay.
    bool quarantined = false;
    QString quarantinedFor{};
    qint64 otherNames = 0;
  };
  struct Notice {
    enum class Kind {
      Overflow,      // events were lost; a scan of the trees follows
      ScanStarted,   // a scan of the trees began (after an overflow, or at start)
      ScanFinished,  // it ended
      Unwatched,     // a folder that appeared could not be watched (`path`, `error`)
      // A mount below the trees that fanotify cannot mark (`path`, `error`):
      // watched with inotify.
      MountOnInotify,
      Unreadable,  // a file in scope could not be read (`path`, `error`)
      StoreFull,   // the store's file system is at its limit (`path`): no more cleans
      StoreFreed,  // it has room again: cleans go on
      // A file in scope holds the signature only in the reading not taken
      // (`path`, `reading`): told, never cleaned, as the scan tells it.
      OtherReading,
    };
    Kind kind;
    QByteArray path;
    int error = 0;
    Cause cause = Cause::Rescan;                    // of ScanStarted and ScanFinished
    text::Encoding reading = text::Encoding::Auto;  // of OtherReading: the one that holds it
  };

  explicit Watcher(Settings settings);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Sets the watches up. Empty when the trees are watched; the reason otherwise.
  QString start();
  // Watches until requestStop; a file being cleaned is finished first.
  void run();
  // Safe from a signal handler and from any thread.
  void requestStop();

  platform::FsWatch::Backend backend() const { return watch_->backend(); }
  // Why fanotify was not used, when it was tried and refused.
  const QString& fanotifyRefused() const { return fanotifyRefused_; }
  qsizetype watchedFolders() const { return watch_->watchedFolders(); }
  // The mounts below the trees that fanotify refused at the start, watched with inotify.
  std::vector<platform::FsWatch::RefusedMount> mountsOnInotify() const {
    return watch_->mountsOnInotify();
  }
  // Files of the trees known to have names outside them as well.
  qsizetype filesWithOtherNames() const { return watch_->filesWithOtherNames(); }
  // The trees watched, as absolute paths through no link.
  const std::vector<QByteArray>& roots() const { return roots_; }
  // Files tested so far (read and matched), whatever the cause.
  qint64 filesTested() const { return tested_.load(); }

  // Called on the thread that runs run().
  std::function<void(const Detection&)> onDetection;
  std::function<void(const CleanOutcome&)> onClean;
  std::function<void(const Notice&)> onNotice;
  // After each pass of the loop: tests wait on it to know the events were handled.
  std::function<void()> onIdle;

 private:
  struct Waiting {
    std::chrono::steady_clock::time_point due;
    std::chrono::steady_clock::time_point latest;
  };
  // A file held open: tested again every settle cap while it is, since writes
  // through a mapping make no event. Opens and closes are counted.
  struct HeldOpen {
    int opens = 0;
    std::chrono::steady_clock::time_point next;
  };
  // What the watch's cleans of one path have been.
  struct Cleans {
    int count = 0;
    struct timespec first {};
    QByteArray run;     // the run that holds its last original
    QByteArray sha256;  // that original's
  };
  void handleEvents(const std::vector<platform::WatchEvent>& events, int error);
  void queue(const QByteArray& path, std::chrono::steady_clock::time_point now, bool& overflow);
  void testDue();
  void testHeldOpen();
  std::optional<std::chrono::steady_clock::time_point> nextWake() const;
  // `newsSince`: the file is not reported again when it is the one reported
  // last, at that time or later (a report read what was written before it).
  void test(const QByteArray& path, Cause cause,
            std::optional<platform::FileIdentity> foundAs = std::nullopt,
            std::optional<std::chrono::steady_clock::time_point> newsSince = std::nullopt);
  void cleanFile(const QByteArray& path, const platform::FileIdentity& identity);
  bool storeHasRoom(qint64 bytes);
  void shareCopy(Cleans& cleans, CleanOutcome& outcome);
  // The last original kept of each path by the store's newest runs of one
  // file (kRunsLearned at most), so that a restarted watch shares them too.
  void learnKeptCopies();
  static constexpr std::size_t kRunsLearned = 1000;
  bool inScope(const QByteArray& path) const;
  void startScan(Cause cause);
  void takeScanResults();
  void notify(Notice::Kind kind, const QByteArray& path = {}, int error = 0,
              Cause cause = Cause::Rescan);

  Settings settings_;
  QString signature_;
  QStringList fileTypes_;
  std::optional<scan::SignatureMatcher> matcher_;
  std::vector<QByteArray> roots_;
  std::vector<platform::UniqueFd> rootFds_;
  QByteArray store_;  // the backup store: never tested
  std::unique_ptr<platform::FsWatch> watch_;
  QString fanotifyRefused_;
  platform::UniqueFd stopFd_;  // eventfd: a stop was asked for
  platform::UniqueFd wakeFd_;  // eventfd: the background scan has news
  std::atomic<bool> stopping_{false};
  std::atomic<qint64> tested_{0};
  QHash<QByteArray, Waiting> waiting_;
  // Every time a file became due, in order (the settle time is the same for
  // all): the loop wakes for the first, and passes over those a later event
  // put off, which come again further on.
  std::deque<std::pair<std::chrono::steady_clock::time_point, QByteArray>> dueOrder_;

  // The background scan of the trees: its thread, what it found, and whether
  // another must follow it (an overflow during it).
  class Rescan;
  std::unique_ptr<Rescan> rescan_;
  // Files tested from the scan's finds, or as they settle, between two reads
  // of the kernel's queue.
  static constexpr std::size_t kFindsPerPass = 1024;
  std::optional<Cause> nextScan_;
  // The files reported, with the identity each had, until they test clean: a
  // scan of the trees does not report the same file again. Keyed by a hash of
  // the path, so a file costs a few dozen bytes whatever its path's length; two
  // paths of one hash at worst report a file twice. Past Settings::reportsKept
  // new reports are not remembered: only those are told again by the next
  // scan, never all that came before.
  static std::size_t reportKey(const QByteArray& path);
  struct Report {
    platform::FileIdentity identity;
    // When it was read for the report: an event the loop had before then is
    // in what was reported.
    std::chrono::steady_clock::time_point at;
  };
  QHash<std::size_t, Report> reported_;
  QHash<QByteArray, HeldOpen> open_;
  static constexpr qsizetype kOpenKept = 4096;
  // Forgotten all at once past kCleansKept: a path cleaned after that counts anew.
  QHash<QByteArray, Cleans> cleans_;
  static constexpr qsizetype kCleansKept = 100000;
  bool storeFull_ = false;
};
