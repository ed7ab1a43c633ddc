#include "clirun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <chrono>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace clirun {

namespace {

QByteArray slurp(const QByteArray& path) {
  QByteArray data;
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
  char buf[65536];
  ssize_t n;
  while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
    data.append(buf, n);
  if (fd >= 0)
    ::close(fd);
  return data;
}

}  // namespace

Result run(std::vector<QByteArray> args, const QByteArray& input, Tty tty, int limitSeconds) {
  QTemporaryDir io;
  const QByteArray in = io.filePath(u"in"_s).toUtf8();
  const QByteArray out = io.filePath(u"out"_s).toUtf8();
  const QByteArray err = io.filePath(u"err"_s).toUtf8();
  const int infd = ::open(in.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (infd < 0 || ::write(infd, input.constData(), std::size_t(input.size())) != input.size())
    throw std::runtime_error("cannot write the input");
  ::close(infd);
  int master = -1;
  QByteArray slave;
  if (tty != Tty::None) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
      throw std::runtime_error("no pseudo-terminal");
    slave = ::ptsname(master);
  }
  QByteArray exe = TERVANE_CLI;
  std::vector<char*> argv{exe.data()};
  for (QByteArray& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int i = ::open(in.constData(), O_RDONLY);
    const int t = tty != Tty::None ? ::open(slave.constData(), O_RDWR | O_NOCTTY) : -1;
    const int o = tty == Tty::OutAndErr ? t : ::open(out.constData(), O_WRONLY | O_CREAT, 0600);
    const int e = tty != Tty::None ? t : ::open(err.constData(), O_WRONLY | O_CREAT, 0600);
    if (i < 0 || o < 0 || e < 0 || ::dup2(i, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
      ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Result r;
  int status = 0;
  rusage usage{};
  for (;;) {
    // Drain the terminal while the program runs, so that it never blocks on it.
    if (master >= 0) {
      pollfd p{master, POLLIN, 0};
      char buf[4096];
      if (::poll(&p, 1, 50) > 0) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) {
          r.terminal.append(buf, n);
          continue;
        }
      }
    } else {
      ::usleep(5000);
    }
    if (::wait4(pid, &status, WNOHANG, &usage) == pid)
      break;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(limitSeconds)) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      break;
    }
  }
  if (master >= 0)
    ::close(master);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.maxRssKb = usage.ru_maxrss;
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

}  // namespace clirun
