#include "scan/matchpool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/pathcodec.h"

namespace scan {

bool isDescriptorShortage(int error) {
  return error == EMFILE || error == ENFILE;
}

MatchResult matchPatiently(const SignatureMatcher& matcher, int dirFd, const QByteArray& name,
                           platform::FileIdentity* identity, ReadStats* stats,
                           std::chrono::milliseconds patience) {
  ReadStats local;
  ReadStats& out = stats ? *stats : local;
  auto wait = std::chrono::milliseconds(1);
  std::chrono::milliseconds waited{0};
  for (;;) {
    const MatchResult r = matcher.matchFileAt(dirFd, name, identity, &out);
    if (r != MatchResult::Error || !isDescriptorShortage(out.error) || waited >= patience)
      return r;
    std::this_thread::sleep_for(wait);
    waited += wait;
    wait = std::min(wait * 2, std::chrono::milliseconds(50));
  }
}

namespace {

// Descriptors the pool may hold besides one per thread: the process's limit less
// what is open already and a margin.
long descriptorRoom(int threads) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
    return 1024;
  long inUse = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d))
      ++inUse;
    ::closedir(d);
  }
  return long(std::min<rlim_t>(lim.rlim_cur, 1 << 20)) - inUse - threads - 16;
}

}  // namespace

OrderedMatchPool::OrderedMatchPool(const SignatureMatcher& matcher, int threads, OnResult onResult)
    : matcher_(matcher),
      onResult_(std::move(onResult)),
      window_(std::size_t(std::max(threads, 1)) * 512),
      maxOpenDirectories_(
          std::size_t(std::clamp(descriptorRoom(threads + kPrefetchThreads) / 2, 1L, 256L))),
      maxHeld_(std::size_t(
          std::clamp(descriptorRoom(threads + kPrefetchThreads) / 4, 0L, long(kHeldFiles)))) {
  // Where no thread is to be had (a process limit), fewer threads read: the
  // submitting thread reads whatever no helper takes.
  try {
    for (int i = 1; i < threads; ++i)
      helpers_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
  }
}

OrderedMatchPool::~OrderedMatchPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  workAvailable_.notify_all();
  aheadAvailable_.notify_all();
  for (std::thread& t : helpers_)
    t.join();
  for (std::thread& t : prefetchers_)
    t.join();
}

OrderedMatchPool::Batch* OrderedMatchPool::takeWaiting() {
  if (firstWaiting_ >= batches_.size())
    return nullptr;
  Batch* batch = batches_[firstWaiting_++].get();
  batch->state = State::Running;
  if (cold_)
    aheadAvailable_.notify_all();  // the prefetch threads may go further
  return batch;
}

bool OrderedMatchPool::takeAhead(Ahead& ahead) {
  if (!cold_ || cancelled_.load(std::memory_order_relaxed) || firstWaiting_ >= batches_.size())
    return false;
  // Files the matchers have taken are being read already.
  if (aheadBatch_ < firstWaiting_) {
    aheadBatch_ = firstWaiting_;
    aheadJob_ = 0;
  }
  while (aheadBatch_ < batches_.size() && aheadJob_ >= batches_[aheadBatch_]->jobs.size()) {
    ++aheadBatch_;
    aheadJob_ = 0;
  }
  if (aheadBatch_ >= batches_.size())
    return false;
  Batch& batch = *batches_[aheadBatch_];
  if (batch.firstSeq + aheadJob_ - batches_[firstWaiting_]->firstSeq >= kAheadFiles)
    return false;
  ahead.dir = batch.dir;
  ahead.batch = &batch;
  ahead.job = aheadJob_;
  ahead.seq = batch.firstSeq + aheadJob_;
  ahead.name = batch.jobs[aheadJob_++].native;
  return true;
}

void OrderedMatchPool::handOver(const Ahead& ahead, platform::UniqueFd& fd,
                                const platform::FileIdentity& id) {
  // Batches are handed back in order, so the file's is still queued while its
  // number is not below the first queued one.
  if (!fd || held_.load(std::memory_order_relaxed) >= maxHeld_ || batches_.empty() ||
      ahead.seq < batches_.front()->firstSeq || ahead.batch->state != State::Waiting)
    return;
  Job& job = ahead.batch->jobs[ahead.job];
  job.handed = std::move(fd);
  job.handedId = id;
  ++ahead.batch->held;
  held_.fetch_add(1, std::memory_order_relaxed);
  if (onHandedOver_)
    onHandedOver_(ahead.dir ? ahead.dir->fd() : AT_FDCWD, ahead.name);
}

void OrderedMatchPool::onHandedOver(OnHandedOver hook) {
  std::lock_guard lock(mutex_);
  onHandedOver_ = std::move(hook);
}

void OrderedMatchPool::readAheadAlways() {
  std::lock_guard lock(mutex_);
  always_ = true;
  noteCold(1);
}

void OrderedMatchPool::noteCold(std::size_t waited) {
  if (waited == 0)
    return;
  warmRun_ = 0;
  if (cold_)
    return;
  cold_ = true;
  if (prefetchers_.empty()) {
    // Hints only: without threads for them, the reads wait as on a hot cache.
    try {
      for (int i = 0; i < kPrefetchThreads; ++i)
        prefetchers_.emplace_back([this] { prefetch(); });
    } catch (const std::system_error&) {
    }
  }
  aheadAvailable_.notify_all();
}

namespace {

enum class Probe { Warm, Cold, Unknown };

// Asks the kernel to start reading the file `name` below `dirFd`; false when it
// was in memory already. Opened like the matcher opens it, so nothing blocks on
// a FIFO or follows a link; anything but a regular file is left alone. A
// regular file's descriptor is left in `fd`, its identity in `id`.
Probe hint(int dirFd, const QByteArray& name, off_t bytes, bool probe, platform::UniqueFd& fd,
           platform::FileIdentity& id) {
  fd.reset(
      ::openat(dirFd, name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  // A shortage of descriptors costs only the hint: the matcher waits it out.
  if (!fd)
    return Probe::Unknown;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    fd.reset();
    return Probe::Unknown;
  }
  id = platform::identityOf(st);
  if (st.st_size == 0)
    return Probe::Unknown;
  if (probe) {
    char one;
    iovec v{&one, 1};
    if (::preadv2(fd.get(), &v, 1, 0, RWF_NOWAIT) >= 0)
      return Probe::Warm;
  }
  ::posix_fadvise(fd.get(), 0, std::min<off_t>(st.st_size, bytes), POSIX_FADV_WILLNEED);
  return probe ? Probe::Cold : Probe::Unknown;
}

}  // namespace

void OrderedMatchPool::prefetch() {
  Ahead ahead;
  bool have = false;
  Probe probe = Probe::Unknown;
  platform::UniqueFd fd;
  platform::FileIdentity id;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (have) {
        if (probe == Probe::Cold) {
          warmRun_ = 0;
        } else if (probe == Probe::Warm && (warmRun_ += kProbeEvery) >= kWarmFiles && !always_) {
          cold_ = false;
        }
        handOver(ahead, fd, id);
      }
      ahead.dir.reset();
      if (fd) {
        // Not handed over: closed without the lock.
        lock.unlock();
        fd.reset();
        lock.lock();
      }
      aheadAvailable_.wait(lock, [&] { return stopping_ || takeAhead(ahead); });
      if (stopping_)
        return;
    }
    have = true;
    probe = hint(ahead.dir ? ahead.dir->fd() : AT_FDCWD, ahead.name, kHintBytes,
                 ahead.seq % kProbeEvery == 0, fd, id);
  }
}

void OrderedMatchPool::run(Batch& batch) {
  std::size_t waited = 0;
  for (Job& job : batch.jobs) {
    if (cancelled_.load(std::memory_order_relaxed))
      continue;
    const int dirFd = batch.dir ? batch.dir->fd() : AT_FDCWD;
    std::optional<MatchResult> handed;
    if (job.handed) {
      handed = matcher_.matchIfStillAt(dirFd, job.native, std::move(job.handed), job.handedId,
                                       &job.identity, &job.stats);
      --batch.held;
      held_.fetch_sub(1, std::memory_order_relaxed);
    }
    job.result = handed ? *handed
                        : matchPatiently(matcher_, dirFd, job.native, &job.identity, &job.stats,
                                         std::chrono::seconds(10));
    waited += job.stats.waited ? 1 : 0;
  }
  // The directory is closed when the batch is handed back, on the submitting
  // thread that made it: freeing another thread's memory costs a lock per block.
  std::lock_guard lock(mutex_);
  noteCold(waited);
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
    if (cold_)
      aheadAvailable_.notify_all();
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
    filling_->firstSeq = nextSeq_;
  }
  Job& job = filling_->jobs.emplace_back();
  job.path = path;
  job.native = filling_->dir ? std::move(name) : platform::encodePath(path);
  job.times = times;
  ++filesQueued_;
  ++nextSeq_;
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
        if (aheadBatch_ > 0)
          --aheadBatch_;
        else
          aheadJob_ = 0;
        filesQueued_ -= done->jobs.size();
        held_.fetch_sub(done->held, std::memory_order_relaxed);
      } else if (!all && filesQueued_ < window_ && batches_.size() < maxOpenDirectories_) {
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
      const int dirFd = done->dir ? done->dir->fd() : AT_FDCWD;
      for (const Job& job : done->jobs) {
        onResult_(FileOutcome{job.path, job.times, job.result, job.identity, job.stats, dirFd,
                              job.native, done->dir});
      }
    }
  }
}

}  // namespace scan
