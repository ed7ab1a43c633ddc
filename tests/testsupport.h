// Temporary file trees for tests. Everything lives under one QTemporaryDir that
// is removed when the tree goes out of scope; names are raw bytes, so trees can
// hold names that are not UTF-8.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/pathcodec.h"

// Cleans keep backups under $XDG_DATA_HOME: every test program (and every
// tervane-cli it starts) gets a data folder of its own, removed at its end, so
// that no test ever writes into the user's. It lies in memory where it can, as
// every backup is flushed to disk.
class PrivateDataHome {
 public:
  PrivateDataHome()
      : dir_(QDir(QStringLiteral("/dev/shm")).exists() && ::access("/dev/shm", W_OK) == 0
                 ? QStringLiteral("/dev/shm/tervane-data-XXXXXX")
                 : QDir::tempPath() + QStringLiteral("/tervane-data-XXXXXX")) {
    if (!dir_.isValid())
      throw std::runtime_error("no temporary data folder");
    ::setenv("XDG_DATA_HOME", QDir(dir_.path()).canonicalPath().toUtf8().constData(), 1);
  }
  QByteArray path() const { return QDir(dir_.path()).canonicalPath().toUtf8(); }

 private:
  QTemporaryDir dir_;
};
inline const PrivateDataHome privateDataHome;

// In a forked child: when the tests run as root, drops to uid and gid 65534, so
// that permission bits bind the child as they bind a user. Ends the child with
// status 99 when that fails.
// How many descriptors this process has open now.
inline int openDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d))
      ++n;
    ::closedir(d);
  }
  return n - 2;  // "." and ".."
}

inline void dropRootInChild() {
  if (::geteuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    ::_exit(99);
  }
}

// Runs `fn` in a forked child without root (see dropRootInChild).
// Returns fn's result, or -1 when the child could not run or died.
inline int runUnprivileged(const std::function<int()>& fn) {
  const pid_t pid = ::fork();
  if (pid < 0)
    return -1;
  if (pid == 0) {
    dropRootInChild();
    ::_exit(fn());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

class TempTree {
 public:
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  // Removes the tree by its bytes: names that are not UTF-8 defeat QDir.
  ~TempTree() {
    ::nftw(
        root_.constData(),
        [](const char* p, const struct stat*, int type, struct FTW*) {
          if (type == FTW_DP) {
            ::chmod(p, 0700);
            ::rmdir(p);
          } else {
            ::unlink(p);
          }
          return 0;
        },
        64, FTW_DEPTH | FTW_PHYS);
  }
  TempTree() {
    if (!dir_.isValid())
      throw std::runtime_error("no temporary directory");
    root_ = QDir(dir_.path()).canonicalPath().toUtf8();
    // Readable by an unprivileged child (see runUnprivileged).
    ::chmod(root_.constData(), 0755);
  }

  // The tree's root as raw bytes and as the text the scan uses, without "/".
  const QByteArray& rootBytes() const { return root_; }
  QString root() const { return platform::decodePath(root_); }
  // `rel` joined to the root, as text.
  QString path(const QByteArray& rel) const { return platform::decodePath(abs(rel)); }
  QByteArray abs(const QByteArray& rel) const { return root_ + '/' + rel; }

  void mkdir(const QByteArray& rel) const {
    if (::mkdir(abs(rel).constData(), 0755) != 0 && errno != EEXIST)
      fail("mkdir", rel);
  }
  // Writes a file, creating its parent directories.
  void write(const QByteArray& rel, const QByteArray& content) const {
    const qsizetype slash = rel.lastIndexOf('/');
    if (slash > 0)
      mkdirs(rel.left(slash));
    const int fd = ::open(abs(rel).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
      fail("open", rel);
    qsizetype off = 0;
    while (off < content.size()) {
      const ssize_t n = ::write(fd, content.constData() + off, size_t(content.size() - off));
      if (n <= 0)
        fail("write", rel);
      off += n;
    }
    ::close(fd);
  }
  QByteArray read(const QByteArray& rel) const {
    QByteArray out;
    const int fd = ::open(abs(rel).constData(), O_RDONLY);
    if (fd < 0)
      fail("open", rel);
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
      out.append(buf, n);
    ::close(fd);
    return out;
  }
  void mkdirs(const QByteArray& rel) const {
    QByteArray sofar;
    for (const QByteArray& part : rel.split('/')) {
      if (part.isEmpty())
        continue;
      sofar += sofar.isEmpty() ? part : '/' + part;
      mkdir(sofar);
    }
  }
  void symlink(const QByteArray& target, const QByteArray& rel) const {
    if (::symlink(target.constData(), abs(rel).constData()) != 0)
      fail("symlink", rel);
  }
  void fifo(const QByteArray& rel) const {
    if (::mkfifo(abs(rel).constData(), 0644) != 0)
      fail("mkfifo", rel);
  }
  void chmod(const QByteArray& rel, mode_t mode) const {
    if (::chmod(abs(rel).constData(), mode) != 0)
      fail("chmod", rel);
  }

 private:
  [[noreturn]] static void fail(const char* what, const QByteArray& rel) {
    throw std::runtime_error(std::string(what) + " failed: " + rel.toStdString());
  }
  QTemporaryDir dir_;
  QByteArray root_;
};
