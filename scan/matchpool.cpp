#include "scan/matchpool.h"

#include "platform/pathcodec.h"

namespace scan {

OrderedMatchPool::OrderedMatchPool(const SignatureMatcher& matcher, int threads, OnMatch onMatch)
    : matcher_(matcher),
      onMatch_(std::move(onMatch)),
      // Enough files in flight that the other threads stay busy while one reads a
      // file of several megabytes (small files take microseconds each), few enough
      // that memory stays small (a few hundred bytes per file).
      window_(std::size_t(std::max(threads, 1)) * 512) {
  for (int i = 1; i < threads; ++i)
    helpers_.emplace_back([this] { work(); });
}

OrderedMatchPool::~OrderedMatchPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  workAvailable_.notify_all();
  for (std::thread& t : helpers_)
    t.join();
}

OrderedMatchPool::Job* OrderedMatchPool::takeWaiting() {
  if (firstWaiting_ >= jobs_.size())
    return nullptr;
  Job* job = jobs_[firstWaiting_++].get();
  job->state = State::Running;
  if (job->dirRun != 0 &&
      (firstWaiting_ == jobs_.size() || jobs_[firstWaiting_]->dirRun != job->dirRun))
    --dirRunsWaiting_;
  return job;
}

void OrderedMatchPool::run(Job& job) {
  platform::FileIdentity identity;
  const bool matched = (job.dir ? matcher_.matchFileAt(job.dir->fd(), job.native, &identity)
                                : matcher_.matchFile(job.native, &identity)) == MatchResult::Match;
  // The directory is closed as soon as its last queued file has been read.
  job.dir.reset();
  std::lock_guard lock(mutex_);
  job.matched = matched;
  job.identity = identity;
  job.state = State::Done;
  if (!jobs_.empty() && jobs_.front().get() == &job)
    jobDone_.notify_one();
}

void OrderedMatchPool::work() {
  for (;;) {
    Job* job = nullptr;
    {
      std::unique_lock lock(mutex_);
      workAvailable_.wait(lock, [this] { return stopping_ || firstWaiting_ < jobs_.size(); });
      if (stopping_)
        return;
      job = takeWaiting();
    }
    run(*job);
  }
}

void OrderedMatchPool::submit(const QString& path, qsizetype times,
                              std::shared_ptr<const platform::OpenDirectory> dir, QByteArray name) {
  auto job = std::make_unique<Job>();
  job->path = path;
  job->native = dir ? std::move(name) : platform::encodePath(path);
  if (dir) {
    if (dir != lastDir_) {
      lastDir_ = dir;
      ++lastDirRun_;
    }
    job->dirRun = lastDirRun_;
  }
  job->dir = std::move(dir);
  job->times = times;
  {
    std::lock_guard lock(mutex_);
    if (job->dirRun != 0 && (firstWaiting_ == jobs_.size() || jobs_.back()->dirRun != job->dirRun))
      ++dirRunsWaiting_;
    jobs_.push_back(std::move(job));
  }
  if (!helpers_.empty())
    workAvailable_.notify_one();
  deliver(false);
}

void OrderedMatchPool::finish() {
  deliver(true);
}

void OrderedMatchPool::deliver(bool all) {
  for (;;) {
    std::unique_ptr<Job> done;
    Job* mine = nullptr;
    {
      std::unique_lock lock(mutex_);
      if (jobs_.empty())
        return;
      if (jobs_.front()->state == State::Done) {
        done = std::move(jobs_.front());
        jobs_.pop_front();
        --firstWaiting_;
      } else if (!all && jobs_.size() < window_ && dirRunsWaiting_ <= kMaxOpenDirectories) {
        return;
      } else if ((mine = takeWaiting()) == nullptr) {
        // Everything is taken; the oldest file decides what comes next.
        jobDone_.wait(lock, [this] { return jobs_.front()->state == State::Done; });
        continue;
      }
    }
    if (mine) {
      run(*mine);
    } else if (done->matched) {
      onMatch_(done->path, done->times, done->identity);
    }
  }
}

}  // namespace scan
