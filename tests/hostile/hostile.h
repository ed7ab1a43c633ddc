// Helpers for the hostile-tree tests: a scan fixture that can mutate the tree at
// a chosen yield of the walk, forked children with a time limit (so that a scan
// that blocks on a FIFO or loops fails its test instead of hanging the suite),
// memory and stack high-water marks, and trees deeper than paths may be long.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "scanfixture.h"
#include "testsupport.h"

// Readable failure output for texts and lists of texts.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
  *os << '[' << l.join(QStringLiteral(", ")).toStdString() << ']';
}

namespace hostile {

inline const QByteArray kInfected =
    "<html><IFRAME SRC=http://x.example/ width=0 height=0></iframe></html>\r\n";
inline const QString kSignature = QStringLiteral("<iframe src=http://x.example/ width=0 height=0>");
// kInfected cleaned of kSignature.
inline const QByteArray kCleaned = "<html></iframe></html>\r\n";

// What a child process reports back: its exit status and what it wrote.
struct ChildResult {
  int exitCode = -1;  // -1 when it died or ran out of time
  bool timedOut = false;
  QByteArray out;
};

// Runs `fn` in a forked child that is killed after `seconds`. `fn` writes its
// findings to the descriptor it is given; with `unprivileged`, the child first
// drops to uid and gid 65534 when the tests run as root.
inline ChildResult runChild(const std::function<int(int out)>& fn, int seconds,
                            bool unprivileged = false) {
  ChildResult r;
  int fds[2];
  if (::pipe(fds) != 0)
    return r;
  const pid_t pid = ::fork();
  if (pid < 0)
    return r;
  if (pid == 0) {
    ::close(fds[0]);
    ::alarm(unsigned(seconds));
    if (unprivileged)
      dropRootInChild();
    const int code = fn(fds[1]);
    ::close(fds[1]);
    ::_exit(code);
  }
  ::close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0)
      r.out.append(buf, n);
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    r.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    r.timedOut = true;
  }
  return r;
}

inline void writeAll(int fd, const QByteArray& bytes) {
  qsizetype off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + off, std::size_t(bytes.size() - off));
    if (n <= 0)
      return;
    off += n;
  }
}

// A field of /proc/self/status in kB ("VmHWM", "VmRSS", "VmStk").
inline long statusKb(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f)
    return -1;
  char line[256];
  long value = -1;
  const std::size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
      value = std::strtol(line + len + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

// Starts a new peak: the resident high-water mark falls back to the current size.
inline bool resetPeakRss() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool ok = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return ok;
}

// A chain of `depth` directories named `name` below `top` (an existing directory),
// made through descriptors so that its paths may be longer than the system allows.
// Returns false on failure.
inline bool makeChain(const QByteArray& top, const char* name, int depth,
                      const QByteArray& leafFile = {}, const QByteArray& leafContent = {}) {
  int fd = ::open(top.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  for (int i = 0; i < depth; ++i) {
    if (::mkdirat(fd, name, 0755) != 0 && errno != EEXIST) {
      ::close(fd);
      return false;
    }
    const int next = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    if (next < 0)
      return false;
    fd = next;
  }
  bool ok = true;
  if (!leafFile.isEmpty()) {
    const int f =
        ::openat(fd, leafFile.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok = f >= 0 &&
         ::write(f, leafContent.constData(), std::size_t(leafContent.size())) == leafContent.size();
    if (f >= 0)
      ::close(f);
  }
  ::close(fd);
  return ok;
}

// Removes a tree of any depth below `top` (and `top` itself) through descriptors,
// holding one at a time.
inline void removeDeep(const QByteArray& top) {
  std::vector<std::string> names;  // the path from `top` down to the current directory
  int fd = ::open(top.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return;
  for (;;) {
    std::string subdir;
    DIR* d = ::fdopendir(::dup(fd));
    if (!d)
      break;
    std::vector<std::string> files;
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n == "." || n == "..")
        continue;
      struct stat st;
      if (::fstatat(fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        if (subdir.empty())
          subdir = n;
      } else {
        files.push_back(n);
      }
    }
    ::closedir(d);
    for (const std::string& f : files)
      ::unlinkat(fd, f.c_str(), 0);
    if (!subdir.empty()) {
      // If this fails, the open below fails and the folder is left for the system.
      (void)!::fchmodat(fd, subdir.c_str(), 0700, 0);
      const int next =
          ::openat(fd, subdir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0)
        break;
      ::close(fd);
      fd = next;
      names.push_back(subdir);
      continue;
    }
    if (names.empty())
      break;
    const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    if (parent < 0)
      return;
    fd = parent;
    ::unlinkat(fd, names.back().c_str(), AT_REMOVEDIR);
    names.pop_back();
  }
  ::close(fd);
  ::rmdir(top.constData());
}

// Watches directories for anything being opened in them (their entries, and the
// directories themselves), so tests can tell that a FIFO, a device or a file
// behind a link was never opened, not merely that nothing was logged.
class OpenWatch {
 public:
  OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~OpenWatch() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  bool watch(const QByteArray& dir) {
    const int wd = ::inotify_add_watch(fd_, dir.constData(), IN_OPEN | IN_ACCESS);
    if (wd < 0)
      return false;
    dirs_.resize(std::max<std::size_t>(dirs_.size(), std::size_t(wd) + 1));
    dirs_[std::size_t(wd)] = dir;
    return true;
  }
  // What was opened or read since the last call: "dir/name", or "dir" for a
  // watched directory itself.
  QStringList opened() {
    QStringList out;
    alignas(inotify_event) char buf[8192];
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0)
        break;
      for (char* p = buf; p < buf + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        QByteArray what = std::size_t(e->wd) < dirs_.size() ? dirs_[std::size_t(e->wd)] : "?";
        if (e->len > 0)
          what += '/' + QByteArray(e->name);
        const QString text = platform::decodePath(what);
        if (!out.contains(text))
          out.append(text);
        p += sizeof(inotify_event) + e->len;
      }
    }
    return out;
  }

 private:
  int fd_;
  std::vector<QByteArray> dirs_;
};

// A scan of a temporary tree with the default filter, on one or more threads.
class ScanFixture : public ::ScanFixture {
 public:
  explicit ScanFixture(int threads = 1)
      : ::ScanFixture(kSignature, QStringLiteral("*.ASP|*.HTM|*.PHP"), threads) {}
};

}  // namespace hostile
