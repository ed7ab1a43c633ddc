// Reads and matches files on several threads while the walk goes on, and hands
// the results back in the order the files were submitted.
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "scan/filematch.h"

namespace scan {

// matcher.matchFileAt, waiting out a shortage of descriptors (EMFILE, ENFILE) for
// up to `patience`: other threads give theirs back as they finish their files,
// and a file passed over for want of a descriptor would be an infection missed.
MatchResult matchPatiently(const SignatureMatcher& matcher, int dirFd, const QByteArray& name,
                           platform::FileIdentity* identity, ReadStats* stats,
                           std::chrono::milliseconds patience);

// Whether an errno is a shortage of descriptors, which passes.
bool isDescriptorShortage(int error);

// How one submitted file fared.
struct FileOutcome {
  const QString& path;
  qsizetype times;
  MatchResult result;
  platform::FileIdentity identity;  // of the file read
  ReadStats stats;
  // Where the file can be opened again while the callback runs: `native` below
  // the directory `dirFd` (AT_FDCWD for a file submitted by path).
  int dirFd;
  const QByteArray& native;
  // That directory (null for a file submitted by path): a copy keeps it open.
  const std::shared_ptr<const platform::OpenDirectory>& dir;
};

class OrderedMatchPool {
 public:
  // Called on the submitting thread, in submission order, for every file.
  using OnResult = std::function<void(const FileOutcome&)>;

  // `threads` in all read and match, the submitting thread included: threads - 1
  // helpers are started, and the submitting thread takes files itself whenever
  // enough are waiting.
  OrderedMatchPool(const SignatureMatcher& matcher, int threads, OnResult onResult);
  ~OrderedMatchPool();

  OrderedMatchPool(const OrderedMatchPool&) = delete;
  OrderedMatchPool& operator=(const OrderedMatchPool&) = delete;

  // Queues one file; may first hand back results of earlier files. With `dir`,
  // the file is `name` in that open directory (kept open until the file is read);
  // without it, the file is read by its path.
  void submit(const QString& path, qsizetype times,
              const std::shared_ptr<const platform::OpenDirectory>& dir = nullptr,
              QByteArray name = {});
  // Waits for every queued file and hands back the remaining results.
  void finish();

  // The files queued and not yet read are handed back unread (NoMatch), still in
  // order: their results are no longer wanted.
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }

  // Reads ahead from now on, whether or not reads wait (for tests: a cold cache
  // cannot be made on every file system).
  void readAheadAlways();

  // For tests: called with the pool's lock held right after a prefetch thread
  // handed its descriptor to a queued file, with the file's directory (AT_FDCWD
  // for a file submitted by path) and name; no matcher has taken the file yet.
  using OnHandedOver = std::function<void(int dirFd, const QByteArray& name)>;
  void onHandedOver(OnHandedOver hook);

 private:
  // Files are handed to the threads in batches of consecutive files of one
  // directory: a lock and a wake-up per file would cost as much as reading a
  // small file.
  static constexpr std::size_t kBatchFiles = 32;

 public:
  // Reading ahead on a cold cache. A matcher reads one file at a time, so with
  // a cold cache the disk has one read in flight per matcher and sits mostly
  // idle; CPU threads do not help there, reads in flight do, and on a hot cache
  // they only cost. So the matchers first ask for what is in memory
  // (ReadStats::waited); only once a read had to wait do these threads start,
  // open the queued files ahead of the matchers in order, and ask the kernel to
  // start reading them (posix_fadvise WILLNEED). They never read or match, so
  // what is found and its order cannot change. They stop hinting once a long
  // run of files turns out to be in memory already.
  //
  // On a cold cache the scan's limit on few cores is the CPU the system calls
  // cost, so each file gets as few as can be: the prefetch thread keeps the
  // descriptor it opened and hands it to the file's job (kHeldFiles at most), and
  // the matcher reads it once a stat of the name shows it is still the same file
  // (SignatureMatcher::matchIfStillAt), instead of opening the name again; and
  // only every kProbeEvery-th file is probed for being in memory already, the
  // others hinted at once. The opens wait for the disk, the hints hardly do, so
  // a few threads keep the disk busy and cost fewer wake-ups than many. The
  // measurements behind these choices are in bench/RESULTS.md ("Reading ahead
  // on a cold cache").
  static constexpr int kPrefetchThreads = 4;
  // How far ahead of the matchers, in files, and how much of each file is asked
  // for: the page cache holds at most about this many bytes for files not yet read.
  static constexpr std::uint64_t kAheadFiles = 256;
  static constexpr off_t kHintBytes = 1 << 20;
  // Descriptors handed to queued files at most: enough for every file within
  // kAheadFiles (fewer when the process may open few).
  static constexpr std::size_t kHeldFiles = 256;
  // One file in this many is probed (preadv2 RWF_NOWAIT) before its hint.
  static constexpr std::uint64_t kProbeEvery = 8;
  static constexpr std::size_t kWarmFiles = 1024;

 private:
  enum class State { Waiting, Running, Done };
  struct Job {
    QString path;
    QByteArray native;  // the path's bytes, or the bare name in `dir`
    qsizetype times = 0;
    platform::FileIdentity identity;
    MatchResult result = MatchResult::NoMatch;
    ReadStats stats;
    // The descriptor a prefetch thread opened on the file, and that file's
    // identity, while the file's batch waits for a matcher.
    platform::UniqueFd handed;
    platform::FileIdentity handedId;
  };
  struct Batch {
    std::uint64_t firstSeq = 0;  // the submission number of its first file
    std::vector<Job> jobs;
    std::shared_ptr<const platform::OpenDirectory> dir;  // shared by all its files
    State state = State::Waiting;
    std::size_t held = 0;  // descriptors handed to its files and not yet used
  };
  // A file a prefetch thread works on.
  struct Ahead {
    std::shared_ptr<const platform::OpenDirectory> dir;
    QByteArray name;
    Batch* batch = nullptr;  // valid while the lock is held and seq is not handed back
    std::size_t job = 0;
    std::uint64_t seq = 0;
  };

  void work();
  // Makes the batch being filled visible to the threads.
  void publish();
  // With the lock held: the oldest waiting batch, or null.
  Batch* takeWaiting();
  void run(Batch& batch);
  // Hands back the finished batches at the front; with `all`, waits for every one.
  void deliver(bool all);
  // A prefetch thread's loop.
  void prefetch();
  // With the lock held: the next file for a prefetch thread, or false.
  bool takeAhead(Ahead& ahead);
  // With the lock held: gives `fd`, open on the file `ahead`, to its job if no
  // matcher has taken the file's batch yet and few enough are held.
  void handOver(const Ahead& ahead, platform::UniqueFd& fd, const platform::FileIdentity& id);
  // With the lock held: a batch run by a matcher had `waited` files that were not
  // in memory.
  void noteCold(std::size_t waited);

  const SignatureMatcher& matcher_;
  OnResult onResult_;
  // Files in flight: enough that the other threads stay busy while one reads a
  // file of several megabytes (small files take microseconds each), few enough
  // that memory stays small (a few hundred bytes per file).
  std::size_t window_;
  // Each directory that queued files are read from stays open until they have
  // been handed back: a descriptor per batch. A few hundred keep the threads busy; a tree of
  // one file per folder must not run the process out of descriptors, so fewer
  // when the process may open few (leaving one per thread for its file).
  std::size_t maxOpenDirectories_;
  // Descriptors handed to queued files: at most this many at once.
  std::size_t maxHeld_;
  std::atomic<std::size_t> held_{0};
  OnHandedOver onHandedOver_;

  std::unique_ptr<Batch> filling_;  // the submitting thread's own, not yet published
  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable batchDone_;
  std::deque<std::unique_ptr<Batch>> batches_;  // in submission order
  std::size_t firstWaiting_ = 0;                // index into batches_; all before it were taken
  std::size_t filesQueued_ = 0;                 // in batches_ and filling_
  bool stopping_ = false;
  std::atomic<bool> cancelled_{false};
  std::vector<std::thread> helpers_;

  std::uint64_t nextSeq_ = 0;   // submission number of the next file
  bool cold_ = false;           // prefetch threads are hinting
  bool always_ = false;         // and never stop
  std::size_t warmRun_ = 0;     // files found in memory in a row while cold
  std::size_t aheadBatch_ = 0;  // the prefetch cursor: index into batches_
  std::size_t aheadJob_ = 0;    // and file in that batch
  std::condition_variable aheadAvailable_;
  std::vector<std::thread> prefetchers_;
};

}  // namespace scan
