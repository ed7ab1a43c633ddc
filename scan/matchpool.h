// Reads and matches files on several threads while the walk goes on, and hands
// the results back in the order the files were submitted.
#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "scan/filematch.h"

namespace scan {

class OrderedMatchPool {
 public:
  // Called on the submitting thread, in submission order, for every file that
  // matched: its path and the `times` it was submitted with.
  using OnMatch = std::function<void(const QString& path, qsizetype times)>;

  // `threads` in all read and match, the submitting thread included: threads - 1
  // helpers are started, and the submitting thread takes a file itself whenever
  // enough are waiting.
  OrderedMatchPool(const SignatureMatcher& matcher, int threads, OnMatch onMatch);
  ~OrderedMatchPool();

  OrderedMatchPool(const OrderedMatchPool&) = delete;
  OrderedMatchPool& operator=(const OrderedMatchPool&) = delete;

  // Queues one file; may first hand back results of earlier files.
  void submit(const QString& path, qsizetype times);
  // Waits for every queued file and hands back the remaining results.
  void finish();

 private:
  enum class State { Waiting, Running, Done };
  struct Job {
    QString path;
    QByteArray native;
    qsizetype times = 0;
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
  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable jobDone_;
  std::deque<std::unique_ptr<Job>> jobs_;  // in submission order
  std::size_t firstWaiting_ = 0;           // index into jobs_; all before it were taken
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace scan
