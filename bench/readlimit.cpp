// The read limit: walks a tree the way the scan does (depth first, no hidden
// entries, no links, types from the listing) and reads every in-scope file
// through a 128 KiB buffer, doing nothing else. A scan cannot be faster than
// this on one thread.
//
// Usage: tervane-bench-readlimit [--all | --evict | --walk] [--threads N] DIR
// In scope: the full path holds ".asp", ".php" or ".js" in lower case (the
// default filter).
// --all: every file (used to warm the page cache).
// --threads N: the plain parallel reader: the walk hands the files to N threads
//   that read them (what reads in flight can give on a cold cache).
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

namespace {

bool all = false;
bool evict = false;
bool walkOnly = false;
int threads = 0;  // 0: read on the walking thread
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
    } else {
      break;
    }
  }
  if (i + 1 != argc || threads < 0) {
    std::fprintf(stderr,
                 "usage: tervane-bench-readlimit [--all | --evict | --walk] [--threads N] DIR\n");
    return 2;
  }
  std::vector<std::thread> readers;
  for (int t = 0; t < threads; ++t)
    readers.emplace_back(reader);
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
