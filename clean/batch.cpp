#include "clean/batch.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "clean/cleaning.h"

namespace clean {

struct Batch::File {
  std::optional<Options> options;  // its own, when given (restore)
  std::unique_ptr<Cleaning> c;
  bool alone = false;             // rewritten in place, by itself
  platform::FileIdentity folder;  // the folder it is in
};

// Closes the files a batch replaced. The last close of a replaced file is where
// the system frees it, and on a file system that discards freed blocks at once it
// waits for the disk there (a large share of a clean of small pages, see
// bench/RESULTS.md, "Flushing a batch"). On a thread of its own that wait
// overlaps the next files. Its queue is bounded, so descriptors stay bounded.
class Batch::Releaser {
 public:
  explicit Releaser(std::size_t queued) : queued_(queued), thread_([this] { run(); }) {}
  ~Releaser() {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void put(std::unique_ptr<File> file) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < queued_; });
    queue_.push_back(std::move(file));
    changed_.notify_all();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return ending_ || !queue_.empty(); });
      if (queue_.empty())
        return;
      std::unique_ptr<File> file = std::move(queue_.front());
      queue_.pop_front();
      changed_.notify_all();
      lock.unlock();
      file.reset();
      lock.lock();
    }
  }

  const std::size_t queued_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<File>> queue_;
  bool ending_ = false;
  std::thread thread_;
};

CleanResult Batch::Done::result() const {
  return kind == Kind::Cleaned || kind == Kind::CleanedPastFailure ? CleanResult::cleaned(placement)
                                                                   : CleanResult::failed(failure);
}

namespace {

// How many files a batch may hold with the descriptors this process may open:
// each file in it holds up to three, each replaced file waiting for its release
// two, and the rest of the program needs some.
std::size_t filesForDescriptors() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return Batch::kCapacity;
  const rlim_t spare = limit.rlim_cur > 64 ? limit.rlim_cur - 64 : 0;
  return std::size_t(spare / 7);
}

}  // namespace

Batch::Batch(QStringView signature, const Options& options, std::size_t capacity)
    : signature_(signature),
      o_(options),
      capacity_(std::max<std::size_t>(std::min(capacity, filesForDescriptors()), 1)) {
  if (o_.keeper)
    o_.keeper->holdSyncs(true);
}

Batch::~Batch() {
  files_.clear();
  releaser_.reset();
  if (o_.keeper)
    o_.keeper->holdSyncs(false);
}

bool Batch::full() const {
  return files_.size() >= capacity_ || (!files_.empty() && files_.back()->alone);
}

Batch::Add Batch::add(const QByteArray& path, std::optional<platform::FileIdentity> scannedAs,
                      int keeperFile, const Options* fileOptions) {
  if (full())
    return {Added::Later, {}};
  auto f = std::make_unique<File>();
  if (fileOptions)
    f->options = *fileOptions;
  f->c = std::make_unique<Cleaning>(path, signature_, fileOptions ? *f->options : o_, scannedAs,
                                    keeperFile);
  Cleaning& c = *f->c;
  if (const Stage opened = c.open(); !opened.ok())
    return {Added::Failed, opened.failure()};
  // The same file twice must see the first clean's result, as one file after
  // another would: the first is committed before the second is read.
  const platform::FileIdentity id = platform::identityOf(c.opened());
  const bool again = std::any_of(files_.begin(), files_.end(), [&](const auto& other) {
    return platform::identityOf(other->c->opened()) == id;
  });
  if (!files_.empty() && (again || c.inPlace()))
    return {Added::Later, {}};
  if (const Stage kept = c.keep(); !kept.ok())
    return {Added::Failed, kept.failure()};
  f->alone = c.inPlace();
  struct stat folder;
  if (::fstat(c.folder(), &folder) == 0)
    f->folder = platform::identityOf(folder);
  files_.push_back(std::move(f));
  return {};
}

namespace {

// Flushes every file system that holds one of `folders`. One syncfs writes out
// all the new files of a batch and flushes the disk's cache once; an fsync of
// each file flushes that cache once per file (measured: bench/RESULTS.md,
// "Flushing a batch").
int flushFileSystems(const std::vector<std::pair<int, dev_t>>& folders) {
  std::vector<dev_t> done;
  for (const auto& [fd, dev] : folders) {
    if (std::find(done.begin(), done.end(), dev) != done.end())
      continue;
    if (::syncfs(fd) != 0)
      return errno;
    done.push_back(dev);
  }
  return 0;
}

}  // namespace

void Batch::writeAll(std::size_t count, std::vector<std::optional<Replacement>>& written) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < count;) {
      if (!files_[i]->alone)
        written[i].emplace(files_[i]->c->writeTemp());
    }
  };
  const std::size_t threads =
      std::min<std::size_t>({std::max(2u, std::thread::hardware_concurrency()), 4, count});
  std::vector<std::thread> helpers;
  // Where no thread is to be had (a process limit), this one writes them all.
  try {
    for (std::size_t t = 1; t < threads; ++t)
      helpers.emplace_back(work);
  } catch (const std::system_error&) {
  }
  work();
  for (std::thread& t : helpers)
    t.join();
}

// Where a commit has got to: what became of each file, and the first failure.
struct Batch::Progress {
  explicit Progress(std::size_t files) : done(files), end(files) {}
  // The failure at file `i`, unless an earlier file failed already.
  void stopAt(std::size_t i, Failure why) {
    if (!stopped || i < end) {
      end = i;
      stopped = std::move(why);
    }
  }
  std::vector<Done> done;
  std::size_t end;                 // the files still to be cleaned end here
  std::optional<Failure> stopped;  // the failure at `end`
};

std::optional<std::size_t> Batch::commitAlone(std::size_t pos, Progress& run) {
  Cleaning& c = *files_[pos]->c;
  const CleanResult r = c.rewriteInPlace();
  if (!r.ok()) {
    run.stopAt(pos, r.failure());
    return std::nullopt;
  }
  run.done[pos].kind = Done::Kind::Cleaned;
  run.done[pos].placement = r.placement();
  run.done[pos].cleanedAs = c.cleanedAs();
  return pos + 1;
}

std::optional<std::size_t> Batch::commitStretch(
    std::size_t pos, const std::vector<std::optional<Replacement>>& written, Progress& run) {
  // The new files of the stretch up to the next file done alone, written...
  std::size_t stretch = pos;
  for (; stretch < run.end && !files_[stretch]->alone; ++stretch) {
    const Replacement& r = *written[stretch];
    if (r.kind() == Replacement::Kind::Failed)
      run.stopAt(stretch, r.failure());
    else if (r.kind() == Replacement::Kind::NeedsInPlace)
      files_[stretch]->alone = true;
    else
      continue;
    break;
  }
  // ...and flushed at once.
  std::vector<std::pair<int, dev_t>> folders;
  for (std::size_t i = pos; i < stretch; ++i)
    folders.emplace_back(files_[i]->c->folder(), dev_t(files_[i]->folder.device));
  if (const int e = flushFileSystems(folders)) {
    run.stopAt(pos, systemFailure(e));
    return std::nullopt;
  }
  for (std::size_t i = pos; i < stretch; ++i) {
    if (const Stage synced = files_[i]->c->syncTemp(true); !synced.ok()) {
      run.stopAt(i, synced.failure());
      stretch = i;
      break;
    }
  }
  renameStretch(pos, stretch, run);
  return std::min(stretch, run.end);
}

void Batch::renameStretch(std::size_t pos, std::size_t stretch, Progress& run) {
  // In list order, the renames of the files of one folder, then one flush of it.
  std::size_t g = pos;
  while (g < stretch && g < run.end) {
    std::size_t h = g;
    for (; h < stretch && files_[h]->folder == files_[g]->folder; ++h) {
      if (const Stage renamed = files_[h]->c->rename(); !renamed.ok()) {
        run.stopAt(h, renamed.failure());
        break;
      }
    }
    if (h == g)
      return;
    // The hook hears of the flush once for each file it stands for.
    std::size_t bad = h;
    Stage synced = files_[g]->c->syncFolder(false);
    if (!synced.ok())
      bad = g;
    for (std::size_t i = g + 1; synced.ok() && i < h; ++i) {
      synced = files_[i]->c->syncFolder(true);
      if (!synced.ok())
        bad = i;
    }
    for (std::size_t i = g; i < h; ++i) {
      run.done[i].kind = i < bad ? Done::Kind::Cleaned : Done::Kind::CleanedPastFailure;
      run.done[i].placement = Placement::Replaced;
      run.done[i].cleanedAs = files_[i]->c->cleanedAs();
    }
    if (bad < h) {
      Failure f = synced.failure();
      f.alsoReplaced = int(h - 1 - bad);
      run.stopAt(bad, f);
      return;
    }
    g = h;
  }
}

std::vector<Batch::Done> Batch::commit() {
  Progress run(files_.size());

  // What the keeper kept of every file, on disk before any new file is made.
  if (o_.keeper && !files_.empty()) {
    const Keeper::HeldSync held = o_.keeper->syncHeld();
    if (held.error != 0)
      run.stopAt(held.file > 0 ? std::min(std::size_t(held.file), run.end) : 0,
                 failure(Reason::BackupFailed, held.error));
  }

  // Every new file written at once, on several threads: reading, cleaning and
  // making files is most of a batch's time, and nothing in it depends on
  // another file of the batch. What came of each is then taken in list order,
  // so the first failure is the one reported, and the files after it are
  // discarded as if never written.
  std::vector<std::optional<Replacement>> written(files_.size());
  if (run.end > 0)
    writeAll(run.end, written);

  for (std::size_t pos = 0; pos < run.end;) {
    const std::optional<std::size_t> next =
        files_[pos]->alone ? commitAlone(pos, run) : commitStretch(pos, written, run);
    if (!next)
      break;
    pos = *next;
  }

  if (run.stopped && run.end < run.done.size()) {
    run.done[run.end].kind = Done::Kind::Failed;
    run.done[run.end].failure = *run.stopped;
  }
  // Whatever was prepared and not renamed goes now, unchanged; the replaced
  // files are let go of on the releaser's thread.
  for (std::size_t i = 0; i < files_.size(); ++i) {
    run.done[i].removed = files_[i]->c->removed();
    const Done& d = run.done[i];
    const bool replaced =
        (d.kind == Done::Kind::Cleaned || d.kind == Done::Kind::CleanedPastFailure) &&
        d.placement == Placement::Replaced;
    if (!replaced)
      continue;
    if (!releaser_)
      releaser_ = std::make_unique<Releaser>(2 * capacity_);
    releaser_->put(std::move(files_[i]));
  }
  files_.clear();
  return std::move(run.done);
}

}  // namespace clean
