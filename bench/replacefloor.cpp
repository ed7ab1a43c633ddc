// What the disk work of a clean costs by itself: for each listed file, a new
// file beside it with the same content, the new files flushed 64 at a time,
// each renamed over its old file, each folder flushed once for its files; with
// --copies DIR, first a copy of each file in DIR, flushed the same way. No
// check, no decoding, no hashing: the floor under `tervane-cli clean` on this
// file system.
//
//   tervane-bench-replacefloor [--copies DIR] LIST
//
// LIST holds one path per line (a scan's log). Prints the seconds taken.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBatch = 64;

bool copyInto(int from, int dirfd, const std::string& name, std::vector<char>& buf) {
  const int to = ::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (to < 0)
    return false;
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(from, buf.data(), buf.size(), at);
    if (n <= 0)
      break;
    if (::write(to, buf.data(), std::size_t(n)) != n)
      break;
    at += n;
  }
  (void)::sync_file_range(to, 0, 0, SYNC_FILE_RANGE_WRITE);
  ::close(to);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string copies;
  int arg = 1;
  if (argc > 2 && std::strcmp(argv[1], "--copies") == 0) {
    copies = argv[2];
    arg = 3;
  }
  if (arg >= argc) {
    std::fprintf(stderr, "usage: %s [--copies DIR] LIST\n", argv[0]);
    return 2;
  }
  std::vector<std::string> paths;
  std::ifstream list(argv[arg]);
  for (std::string line; std::getline(list, line);) {
    if (!line.empty())
      paths.push_back(line);
  }
  int store = -1;
  if (!copies.empty()) {
    ::mkdir(copies.c_str(), 0700);
    store = ::open(copies.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  std::vector<char> buf(128 * 1024);
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t b = 0; b < paths.size(); b += kBatch) {
    const std::size_t e = std::min(paths.size(), b + kBatch);
    std::vector<int> dirs, olds;
    std::vector<std::string> names;
    for (std::size_t i = b; i < e; ++i) {
      const std::string& p = paths[i];
      const std::size_t slash = p.rfind('/');
      dirs.push_back(::open(p.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      names.push_back(p.substr(slash + 1));
      olds.push_back(::openat(dirs.back(), names.back().c_str(), O_RDONLY | O_CLOEXEC));
      if (store >= 0)
        copyInto(olds.back(), store, std::to_string(i), buf);
    }
    if (store >= 0)
      ::syncfs(store);
    for (std::size_t i = 0; i < names.size(); ++i)
      copyInto(olds[i], dirs[i], ".floor-" + names[i], buf);
    ::syncfs(dirs.front());
    for (std::size_t i = 0; i < names.size(); ++i) {
      ::renameat(dirs[i], (".floor-" + names[i]).c_str(), dirs[i], names[i].c_str());
      if (i + 1 == names.size() || paths[b + i + 1].rfind('/') != paths[b + i].rfind('/') ||
          paths[b + i + 1].compare(0, paths[b + i].rfind('/'), paths[b + i], 0,
                                   paths[b + i].rfind('/')) != 0)
        ::fsync(dirs[i]);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      ::close(olds[i]);
      ::close(dirs[i]);
    }
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.2f\n", s);
  return 0;
}
