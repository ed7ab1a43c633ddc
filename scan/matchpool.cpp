#include "scan/matchpool.h"

#include "platform/pathcodec.h"

namespace scan {

OrderedMatchPool::OrderedMatchPool(const SignatureMatcher& matcher, int threads, OnMatch onMatch)
    : matcher_(matcher),
      onMatch_(std::move(onMatch)),
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

OrderedMatchPool::Batch* OrderedMatchPool::takeWaiting() {
  if (firstWaiting_ >= batches_.size())
    return nullptr;
  Batch* batch = batches_[firstWaiting_++].get();
  batch->state = State::Running;
  return batch;
}

void OrderedMatchPool::run(Batch& batch) {
  for (Job& job : batch.jobs) {
    job.matched = (batch.dir ? matcher_.matchFileAt(batch.dir->fd(), job.native, &job.identity)
                             : matcher_.matchFile(job.native, &job.identity)) == MatchResult::Match;
  }
  // The directory is closed when the batch is handed back, on the submitting
  // thread that made it: freeing another thread's memory costs a lock per block.
  std::lock_guard lock(mutex_);
  batch.state = State::Done;
  if (batches_.front().get() == &batch)
    batchDone_.notify_one();
}

void OrderedMatchPool::work() {
  for (;;) {
    Batch* batch = nullptr;
    {
      std::unique_lock lock(mutex_);
      workAvailable_.wait(lock, [this] { return stopping_ || firstWaiting_ < batches_.size(); });
      if (stopping_)
        return;
      batch = takeWaiting();
    }
    run(*batch);
  }
}

void OrderedMatchPool::publish() {
  if (!filling_)
    return;
  {
    std::lock_guard lock(mutex_);
    batches_.push_back(std::move(filling_));
  }
  if (!helpers_.empty())
    workAvailable_.notify_one();
}

void OrderedMatchPool::submit(const QString& path, qsizetype times,
                              const std::shared_ptr<const platform::OpenDirectory>& dir,
                              QByteArray name) {
  if (filling_ && (filling_->dir != dir || filling_->jobs.size() >= kBatchFiles))
    publish();
  if (!filling_) {
    filling_ = std::make_unique<Batch>();
    filling_->jobs.reserve(kBatchFiles);
    filling_->dir = dir;
  }
  Job& job = filling_->jobs.emplace_back();
  job.path = path;
  job.native = filling_->dir ? std::move(name) : platform::encodePath(path);
  job.times = times;
  ++filesQueued_;
  deliver(false);
}

void OrderedMatchPool::finish() {
  publish();
  deliver(true);
}

void OrderedMatchPool::deliver(bool all) {
  for (;;) {
    std::unique_ptr<Batch> done;
    Batch* mine = nullptr;
    {
      std::unique_lock lock(mutex_);
      if (batches_.empty() && !filling_)
        return;
      if (!batches_.empty() && batches_.front()->state == State::Done) {
        done = std::move(batches_.front());
        batches_.pop_front();
        --firstWaiting_;
        filesQueued_ -= done->jobs.size();
      } else if (!all && filesQueued_ < window_ && batches_.size() < kMaxOpenDirectories) {
        return;
      } else if ((mine = takeWaiting()) == nullptr) {
        if (filling_) {
          // The window is full of files that nobody may take yet.
          lock.unlock();
          publish();
          continue;
        }
        // Everything is taken; the oldest batch decides what comes next.
        batchDone_.wait(lock, [this] { return batches_.front()->state == State::Done; });
        continue;
      }
    }
    if (mine) {
      run(*mine);
    } else {
      for (const Job& job : done->jobs) {
        if (job.matched)
          onMatch_(job.path, job.times, job.identity);
      }
    }
  }
}

}  // namespace scan
