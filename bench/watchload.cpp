// Writes files into a watched tree at a steady rate, half of them infected, and
// notes when each infected file was closed, for bench/watch.sh.
//
//   tervane-bench-watchload DIR RATE SECONDS SIGNATURE LOG
//
// Files go to DIR/d00 ... DIR/d99 (made first), named n<number>.php; LOG gets
// one line per infected file: its path, a tab, and the CLOCK_REALTIME of its
// close in nanoseconds. Prints the files written and the rate reached.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

long long nowNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

bool writeAll(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n <= 0)
      return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s DIR RATE SECONDS SIGNATURE LOG\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const long rate = std::atol(argv[2]);
  const long seconds = std::atol(argv[3]);
  const std::string signature = argv[4];
  FILE* log = std::fopen(argv[5], "w");
  if (rate <= 0 || seconds <= 0 || !log) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  for (int d = 0; d < 100; ++d) {
    char name[16];
    std::snprintf(name, sizeof name, "/d%02d", d);
    mkdir((dir + name).c_str(), 0755);
  }
  const std::string page = "<html><head><title>page</title></head><body>\n" +
                           std::string(2000, 'x') + "\n</body></html>\n";
  const std::string bad = "<html><head><title>page</title></head><body>\n" + signature +
                          std::string(2000, 'x') + "\n</body></html>\n";
  const long total = rate * seconds;
  const long long start = nowNs(CLOCK_MONOTONIC);
  long written = 0;
  for (long i = 0; i < total; ++i) {
    // The i-th file is due at start + i / rate: a steady stream, caught up when late.
    const long long due = start + i * 1000000000LL / rate;
    long long now = nowNs(CLOCK_MONOTONIC);
    if (due > now) {
      const long long wait = due - now;
      timespec t{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
      nanosleep(&t, nullptr);
    }
    char name[64];
    std::snprintf(name, sizeof name, "/d%02ld/n%ld.php", i % 100, i);
    const std::string path = dir + name;
    const bool infected = i % 2 == 0;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !writeAll(fd, infected ? bad : page)) {
      std::perror(path.c_str());
      return 1;
    }
    close(fd);
    if (infected)
      std::fprintf(log, "%s\t%lld\n", path.c_str(), nowNs(CLOCK_REALTIME));
    ++written;
  }
  const double elapsed = static_cast<double>(nowNs(CLOCK_MONOTONIC) - start) / 1e9;
  std::fclose(log);
  std::printf("%ld %.1f\n", written, static_cast<double>(written) / elapsed);
  return 0;
}
