// The read limit: walks a tree the way the scan does (depth first, no hidden
// entries, no links, types from the listing) and reads every in-scope file
// through a 128 KiB buffer, doing nothing else. A scan cannot be faster than
// this on one thread.
//
// Usage: tervane-bench-readlimit [--all] DIR
// In scope: the full path holds ".asp", ".php" or ".js" (the default filter);
// with --all, every file (used to warm the page cache).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool all = false;
std::size_t filesRead = 0;
std::size_t bytesRead = 0;
std::vector<char> buffer(128 * 1024);

bool inScope(const std::string& path) {
  return all || path.find(".asp") != std::string::npos || path.find(".php") != std::string::npos ||
         path.find(".js") != std::string::npos;
}

void readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0)
    return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::size_t left = std::size_t(st.st_size);
    while (left > 0) {
      const ssize_t n = ::read(fd, buffer.data(), std::min(left, buffer.size()));
      if (n <= 0)
        break;
      left -= std::size_t(n);
      bytesRead += std::size_t(n);
    }
    ++filesRead;
  }
  ::close(fd);
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
      readFile(path);
  }
  ::closedir(d);
  for (const std::string& s : subdirs)
    walk(s);
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "--all") == 0) {
    all = true;
    ++i;
  }
  if (i + 1 != argc) {
    std::fprintf(stderr, "usage: tervane-bench-readlimit [--all] DIR\n");
    return 2;
  }
  walk(argv[i]);
  std::fprintf(stderr, "%zu files, %zu bytes read\n", filesRead, bytesRead);
  return 0;
}
