// The read limit: walks a tree the way the scan does (depth first, no hidden
// entries, no links, types from the listing) and reads every in-scope file
// through a 128 KiB buffer, doing nothing else. A scan cannot be faster than
// this on one thread.
//
// Usage: tervane-bench-readlimit [--all | --evict | --walk] [--threads N | --uring N] DIR
// In scope: the full path holds ".asp", ".php" or ".js" in lower case (the
// default filter).
// --all: every file (used to warm the page cache).
// --threads N: the plain parallel reader: the walk hands the files to N threads
//   that read them (what reads in flight can give on a cold cache).
// --uring N: one thread reads the walk's files through io_uring, N files in
//   flight, each opened, read and closed by the ring: the reads in flight of
//   --threads with a handful of system calls for many files.
// --evict: reads nothing, drops every file of the tree from the page cache
//   (posix_fadvise DONTNEED): a cold cache for files without root. Folders and
//   inodes stay cached.
// --walk: reads no file, only lists the folders: the walk's own time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Where liburing-dev is installed (bench/run.sh installs it).
#ifdef TERVANE_BENCH_URING
#include <liburing.h>
#endif

namespace {

bool all = false;
bool evict = false;
bool walkOnly = false;
int threads = 0;  // 0: read on the walking thread
int uringDepth = 0;
std::atomic<std::size_t> filesRead{0};
std::atomic<std::size_t> bytesRead{0};

std::mutex queueLock;
std::condition_variable queueChanged;
std::deque<std::string> queue;
bool walkDone = false;
constexpr std::size_t kQueueMax = 4096;

bool inScope(const std::string& spelled) {
  if (all || evict)
    return true;
  std::string path = spelled;
  for (char& c : path)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return path.find(".asp") != std::string::npos || path.find(".php") != std::string::npos ||
         path.find(".js") != std::string::npos;
}

void readFile(const std::string& path) {
  thread_local std::vector<char> buffer(128 * 1024);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0)
    return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (evict) {
      ::fdatasync(fd);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    } else {
      std::size_t left = std::size_t(st.st_size);
      while (left > 0) {
        const ssize_t n = ::read(fd, buffer.data(), std::min(left, buffer.size()));
        if (n <= 0)
          break;
        left -= std::size_t(n);
        bytesRead += std::size_t(n);
      }
    }
    ++filesRead;
  }
  ::close(fd);
}

void handOver(std::string path) {
  if (walkOnly) {
    ++filesRead;
    return;
  }
  if (threads == 0) {
    readFile(path);
    return;
  }
  std::unique_lock lock(queueLock);
  queueChanged.wait(lock, [] { return queue.size() < kQueueMax; });
  queue.push_back(std::move(path));
  queueChanged.notify_all();
}

void reader() {
  for (;;) {
    std::string path;
    {
      std::unique_lock lock(queueLock);
      queueChanged.wait(lock, [] { return walkDone || !queue.empty(); });
      if (queue.empty())
        return;
      path = std::move(queue.front());
      queue.pop_front();
      queueChanged.notify_all();
    }
    readFile(path);
  }
}

#ifdef TERVANE_BENCH_URING
// The next path for the ring; waits for one only when nothing is in flight.
bool nextPath(std::string& path, bool wait) {
  std::unique_lock lock(queueLock);
  if (wait)
    queueChanged.wait(lock, [] { return walkDone || !queue.empty(); });
  if (queue.empty())
    return false;
  path = std::move(queue.front());
  queue.pop_front();
  queueChanged.notify_all();
  return true;
}

void uringReader() {
  constexpr unsigned kChunk = 128 * 1024;
  struct Slot {
    std::string path;
    int fd = -1;
    std::uint64_t offset = 0;
    enum { Free, Opening, Reading, Closing } stage = Free;
    std::vector<char> buffer = std::vector<char>(kChunk);
  };
  io_uring ring;
  if (io_uring_queue_init(unsigned(uringDepth) * 2, &ring, 0) < 0) {
    std::fprintf(stderr, "io_uring_queue_init failed\n");
    std::exit(2);
  }
  std::vector<Slot> slots(static_cast<std::size_t>(uringDepth));
  std::vector<std::size_t> free;
  for (std::size_t k = 0; k < slots.size(); ++k)
    free.push_back(slots.size() - 1 - k);
  std::size_t inFlight = 0;
  for (;;) {
    while (!free.empty()) {
      Slot& s = slots[free.back()];
      if (!nextPath(s.path, inFlight == 0))
        break;
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      io_uring_prep_openat(sqe, AT_FDCWD, s.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
      io_uring_sqe_set_data64(sqe, free.back());
      s.stage = Slot::Opening;
      s.offset = 0;
      free.pop_back();
      ++inFlight;
    }
    if (inFlight == 0)
      break;
    io_uring_submit_and_wait(&ring, 1);
    io_uring_cqe* cqe = nullptr;
    unsigned seen = 0;
    unsigned head = 0;
    io_uring_for_each_cqe(&ring, head, cqe) {
      ++seen;
      const std::size_t k = std::size_t(io_uring_cqe_get_data64(cqe));
      Slot& s = slots[k];
      const int res = cqe->res;
      bool close = false;
      if (s.stage == Slot::Opening) {
        if (res < 0) {
          s.stage = Slot::Free;
        } else {
          s.fd = res;
          s.stage = Slot::Reading;
        }
      } else if (s.stage == Slot::Reading) {
        if (res > 0) {
          bytesRead += std::size_t(res);
          s.offset += std::uint64_t(res);
        }
        close = res < int(kChunk);
        if (close)
          ++filesRead;
      } else {
        s.stage = Slot::Free;
      }
      if (s.stage == Slot::Free) {
        free.push_back(k);
        --inFlight;
        continue;
      }
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      if (close) {
        io_uring_prep_close(sqe, s.fd);
        s.stage = Slot::Closing;
      } else {
        io_uring_prep_read(sqe, s.fd, s.buffer.data(), kChunk, s.offset);
      }
      io_uring_sqe_set_data64(sqe, k);
    }
    io_uring_cq_advance(&ring, seen);
  }
  io_uring_queue_exit(&ring);
}
#endif

void walk(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d)
    return;
  std::vector<std::string> subdirs;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    const std::string path = dir + "/" + e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0)
        continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR)
      subdirs.push_back(path);
    else if (type == DT_REG && inScope(path))
      handOver(path);
  }
  ::closedir(d);
  for (const std::string& s : subdirs)
    walk(s);
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--all") == 0) {
      all = true;
    } else if (std::strcmp(argv[i], "--evict") == 0) {
      evict = true;
    } else if (std::strcmp(argv[i], "--walk") == 0) {
      walkOnly = true;
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--uring") == 0 && i + 1 < argc) {
      uringDepth = std::atoi(argv[++i]);
    } else {
      break;
    }
  }
  if (i + 1 != argc || threads < 0 || uringDepth < 0 || (threads > 0 && uringDepth > 0)) {
    std::fprintf(stderr,
                 "usage: tervane-bench-readlimit [--all | --evict | --walk] "
                 "[--threads N | --uring N] DIR\n");
    return 2;
  }
  std::vector<std::thread> readers;
  for (int t = 0; t < threads; ++t)
    readers.emplace_back(reader);
  if (uringDepth > 0) {
#ifdef TERVANE_BENCH_URING
    threads = 1;  // the walk hands its files over
    readers.emplace_back(uringReader);
#else
    std::fprintf(stderr, "built without liburing\n");
    return 2;
#endif
  }
  walk(argv[i]);
  {
    std::lock_guard lock(queueLock);
    walkDone = true;
  }
  queueChanged.notify_all();
  for (std::thread& t : readers)
    t.join();
  std::fprintf(stderr, "%zu files, %zu bytes %s\n", filesRead.load(), bytesRead.load(),
               evict ? "evicted (files)" : "read");
  return 0;
}
