// Reads and matches files on several threads while the walk goes on, and hands
// the results back in the order the files were submitted.
#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
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

class OrderedMatchPool {
 public:
  // Called on the submitting thread, in submission order, for every file that
  // matched: its path, the `times` it was submitted with and the identity of the
  // file that was read.
  using OnMatch = std::function<void(const QString& path, qsizetype times,
                                     const platform::FileIdentity& identity)>;

  // `threads` in all read and match, the submitting thread included: threads - 1
  // helpers are started, and the submitting thread takes a file itself whenever
  // enough are waiting.
  OrderedMatchPool(const SignatureMatcher& matcher, int threads, OnMatch onMatch);
  ~OrderedMatchPool();

  OrderedMatchPool(const OrderedMatchPool&) = delete;
  OrderedMatchPool& operator=(const OrderedMatchPool&) = delete;

  // Queues one file; may first hand back results of earlier files. With `dir`,
  // the file is `name` in that open directory (kept open until the file is read);
  // without it, the file is read by its path.
  void submit(const QString& path, qsizetype times,
              std::shared_ptr<const platform::OpenDirectory> dir = nullptr, QByteArray name = {});
  // Waits for every queued file and hands back the remaining results.
  void finish();

 private:
  enum class State { Waiting, Running, Done };
  struct Job {
    QString path;
    QByteArray native;  // the path's bytes, or the bare name in `dir`
    std::shared_ptr<const platform::OpenDirectory> dir;
    std::uint64_t dirRun = 0;  // files of one directory, queued one after the other
    qsizetype times = 0;
    platform::FileIdentity identity;
    State state = State::Waiting;
    bool matched = false;
  };

  void work();
  // With the lock held: the oldest waiting job, or null.
  Job* takeWaiting();
  void run(Job& job);
  // Hands back the finished jobs at the front; with `all`, waits for every job.
  void deliver(bool all);

  const SignatureMatcher& matcher_;
  OnMatch onMatch_;
  std::size_t window_;
  // Each directory that waiting files are read from stays open until they have
  // been read: a descriptor each. A few hundred keep the threads busy; a tree of
  // one file per folder must not run the process out of descriptors.
  static constexpr std::size_t kMaxOpenDirectories = 256;
  std::shared_ptr<const platform::OpenDirectory> lastDir_;
  std::uint64_t lastDirRun_ = 0;
  std::size_t dirRunsWaiting_ = 0;  // directories among the files not yet taken
  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable jobDone_;
  std::deque<std::unique_ptr<Job>> jobs_;  // in submission order
  std::size_t firstWaiting_ = 0;           // index into jobs_; all before it were taken
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace scan
