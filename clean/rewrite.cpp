#include "clean/rewrite.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "clean/remover.h"
#include "platform/fd.h"
#include "text/utf8.h"

namespace clean {
namespace {

Failure failure(Reason reason, int error = 0) {
  Failure f;
  f.reason = reason;
  f.error = error;
  return f;
}

// A system error, told by its own reason where there is a plainer one.
Failure systemFailure(int error) {
  switch (error) {
    case EROFS:
      return failure(Reason::ReadOnlyMedium, error);
    default:
      return failure(Reason::System, error);
  }
}

class Steps {
 public:
  explicit Steps(const Options& o) : o_(o) {}
  // The injected errno for this step, or 0.
  int injected(Step s) const { return o_.fault ? o_.fault(s) : 0; }

 private:
  const Options& o_;
};

// Each call below returns 0 or the errno it failed with.

int writeAll(const Steps& steps, Step step, int fd, const uint8_t* p, std::size_t n,
             off_t* at = nullptr) {
  while (n > 0) {
    if (const int e = steps.injected(step))
      return e;
    const ssize_t w = at ? ::pwrite(fd, p, n, *at) : ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    if (w == 0)
      return ENOSPC;
    p += w;
    n -= std::size_t(w);
    if (at)
      *at += w;
  }
  return 0;
}

// Reads up to `n` bytes at `at` (or at the current position when `at` is null).
ssize_t readSome(const Steps& steps, Step step, int fd, uint8_t* p, std::size_t n, off_t* at,
                 int& error) {
  for (;;) {
    if (const int e = steps.injected(step)) {
      error = e;
      return -1;
    }
    const ssize_t r = at ? ::pread(fd, p, n, *at) : ::read(fd, p, n);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0) {
      error = errno;
      return -1;
    }
    if (at)
      *at += r;
    return r;
  }
}

int syncFile(const Steps& steps, Step step, int fd) {
  if (const int e = steps.injected(step))
    return e;
  return ::fsync(fd) == 0 ? 0 : errno;
}

// The encoding `from` is read in: with the rule's choice, whether its whole
// content is valid UTF-8 decides, before anything is removed.
int encodingOf(const Steps& steps, const Options& o, int from, Step readStep,
               std::vector<uint8_t>& buf, text::Encoding& encoding) {
  encoding = o.encoding;
  if (encoding != text::Encoding::Auto)
    return 0;
  utf8::Validator validator;
  off_t readAt = 0;
  for (;;) {
    int error = 0;
    const ssize_t n = readSome(steps, readStep, from, buf.data(), buf.size(), &readAt, error);
    if (n < 0)
      return error;
    validator.feed(buf.data(), std::size_t(n));
    if (n == 0 || !validator.ok())
      break;
  }
  encoding = text::resolveEncoding(encoding, validator.finish());
  return 0;
}

// Streams `from` (from its start) through the remover into `to`: appended at
// the current position, or written from offset 0 when `inPlace`. `written` gets
// the length of the cleaned content.
int cleanStream(const Steps& steps, const Options& o, QStringView gjz, int from, Step readStep,
                int to, Step writeStep, bool inPlace, off_t& written) {
  std::vector<uint8_t> buf(o.chunkSize > 0 ? o.chunkSize : 1);
  text::Encoding encoding = text::Encoding::Gbk;
  if (!gjz.isEmpty()) {
    if (const int e = encodingOf(steps, o, from, readStep, buf, encoding))
      return e;
  }
  SignatureRemover remover(gjz, encoding);
  std::vector<uint8_t> out;
  out.reserve(buf.size() + 64);
  off_t readAt = 0;
  written = 0;
  for (;;) {
    int error = 0;
    const ssize_t n = readSome(steps, readStep, from, buf.data(), buf.size(), &readAt, error);
    if (n < 0)
      return error;
    out.clear();
    remover.feed(buf.data(), std::size_t(n), n == 0, out);
    off_t at = written;
    if (const int e =
            writeAll(steps, writeStep, to, out.data(), out.size(), inPlace ? &at : nullptr))
      return e;
    written += off_t(out.size());
    if (n == 0)
      return 0;
  }
}

// Copies the whole of `from` over `to`, which is cut to the same length.
int copyOver(const Steps& steps, Step readStep, Step writeStep, int from, int to,
             std::size_t chunk) {
  std::vector<uint8_t> buf(chunk > 0 ? chunk : 1);
  off_t readAt = 0;
  off_t writeAt = 0;
  for (;;) {
    int error = 0;
    const ssize_t n = readSome(steps, readStep, from, buf.data(), buf.size(), &readAt, error);
    if (n < 0)
      return error;
    if (n == 0)
      break;
    if (const int e = writeAll(steps, writeStep, to, buf.data(), std::size_t(n), &writeAt))
      return e;
  }
  if (const int e = steps.injected(writeStep))
    return e;
  return ::ftruncate(to, writeAt) == 0 ? 0 : errno;
}

// A new file beside the original, created exclusively under a random name, so
// that nobody can have put a file or a link there for us to write through. It is
// removed again unless kept.
class TempFile {
 public:
  explicit TempFile(int dirfd) : dirfd_(dirfd) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { discard(); }

  int create() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      uint8_t r[8];
      if (::getrandom(r, sizeof r, 0) != ssize_t(sizeof r))
        return errno ? errno : EIO;
      name_ = QByteArray(".tervane-") + QByteArray(reinterpret_cast<const char*>(r), 8).toHex();
      const int fd = ::openat(dirfd_, name_.constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        fd_.reset(fd);
        return 0;
      }
      if (errno != EEXIST)
        return errno;
    }
    return EEXIST;
  }
  int fd() const { return fd_.get(); }
  const QByteArray& name() const { return name_; }
  // The name is in use elsewhere now (renamed, or kept as a backup).
  void keep() {
    fd_.reset();
    name_.clear();
  }
  void discard() {
    fd_.reset();
    if (!name_.isEmpty())
      ::unlinkat(dirfd_, name_.constData(), 0);
    name_.clear();
  }

 private:
  int dirfd_;
  platform::UniqueFd fd_;
  QByteArray name_;
};

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
// Neither written nor changed in its attributes since `a` was taken.
bool sameContent(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The names of a file's extended attributes, or nothing when they cannot be read.
std::optional<std::vector<QByteArray>> attributeNames(int fd) {
  std::vector<char> buf;
  for (;;) {
    const ssize_t n = ::flistxattr(fd, nullptr, 0);
    if (n < 0)
      return errno == ENOTSUP ? std::make_optional(std::vector<QByteArray>{}) : std::nullopt;
    buf.resize(std::size_t(n));
    const ssize_t got = n == 0 ? 0 : ::flistxattr(fd, buf.data(), buf.size());
    if (got >= 0) {
      buf.resize(std::size_t(got));
      break;
    }
    if (errno != ERANGE)
      return std::nullopt;
  }
  std::vector<QByteArray> names;
  for (std::size_t i = 0; i < buf.size();) {
    names.emplace_back(buf.data() + i);
    i += std::size_t(names.back().size()) + 1;
  }
  return names;
}

// Gives the new file exactly the extended attributes of the old one (ACLs,
// security labels, user attributes), dropping any it got from its folder's
// default ACL. False when that cannot be done.
bool copyAttributes(int from, int to) {
  const auto wanted = attributeNames(from);
  const auto present = attributeNames(to);
  if (!wanted || !present)
    return false;
  for (const QByteArray& name : *present) {
    if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() &&
        ::fremovexattr(to, name.constData()) != 0)
      return false;
  }
  std::vector<char> value;
  for (const QByteArray& name : *wanted) {
    for (;;) {
      const ssize_t n = ::fgetxattr(from, name.constData(), nullptr, 0);
      if (n < 0)
        return false;
      value.resize(std::size_t(n));
      const ssize_t got =
          n == 0 ? 0 : ::fgetxattr(from, name.constData(), value.data(), value.size());
      if (got >= 0) {
        value.resize(std::size_t(got));
        break;
      }
      if (errno != ERANGE)
        return false;
    }
    if (::fsetxattr(to, name.constData(), value.data(), value.size(), 0) != 0)
      return false;
  }
  return true;
}

// Makes the new file's owner, group, attributes and mode those of the old one.
// The mode comes last: a change of owner may clear set-user-ID bits, and setting
// an ACL rewrites the group bits.
bool carryIdentity(int from, int to, const struct stat& st) {
  struct stat mine;
  if (::fstat(to, &mine) != 0)
    return false;
  if (mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) {
    if (::fchown(to, st.st_uid, st.st_gid) != 0)
      return false;
  }
  if (!copyAttributes(from, to))
    return false;
  return ::fchmod(to, st.st_mode & 07777) == 0;
}

class Cleaning {
 public:
  Cleaning(const QByteArray& path, QStringView gjz, const Options& o,
           const platform::FileIdentity* scannedAs)
      : path_(path), gjz_(gjz), o_(o), steps_(o), scannedAs_(scannedAs) {}

  // The file now at the path, after a successful run.
  platform::FileIdentity cleanedAs() const { return cleanedAs_; }

  std::optional<Failure> run();

 private:
  std::optional<Failure> open();
  std::optional<Failure> replace(bool& fallBack);
  std::optional<Failure> rewriteInPlace();

  const QByteArray& path_;
  QStringView gjz_;
  const Options& o_;
  Steps steps_;
  const platform::FileIdentity* scannedAs_;
  platform::FileIdentity cleanedAs_;
  platform::UniqueFd dir_;
  QByteArray dirPath_;
  QByteArray name_;
  platform::UniqueFd file_;
  struct stat st_ {};
};

std::optional<Failure> Cleaning::run() {
  if (auto f = open())
    return f;
  // Renaming a new file over one with several names would leave the others with
  // the old content; a new file owned by someone else than the old one would
  // change who the file belongs to.
  bool inPlace = st_.st_nlink > 1 || (::geteuid() != 0 && st_.st_uid != ::geteuid());
  if (!inPlace) {
    if (auto f = replace(inPlace))
      return f;
    if (!inPlace)
      return std::nullopt;
  }
  return rewriteInPlace();
}

std::optional<Failure> Cleaning::open() {
  if (path_.isEmpty())
    return failure(Reason::EmptyPath);
  if (path_.contains('\0'))
    return failure(Reason::NotAFilePath);
  const qsizetype slash = path_.lastIndexOf('/');
  dirPath_ = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path_.left(slash);
  name_ = path_.mid(slash + 1);
  if (name_.isEmpty() || name_ == "." || name_ == "..")
    return failure(Reason::NotAFilePath);

  dir_.reset(::open(dirPath_.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_.ok()) {
    const int e = errno;
    if (e == ENOENT || e == ENOTDIR)
      return failure(Reason::NoFolder, e);
    return systemFailure(e);
  }

  struct stat there;
  if (::fstatat(dir_.get(), name_.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
    const int e = errno;
    return e == ENOENT ? failure(Reason::NotFound, e) : systemFailure(e);
  }
  if (S_ISLNK(there.st_mode))
    return failure(Reason::SymbolicLink);
  // Checked before anything is opened: a path that now leads elsewhere (a
  // folder on the way swapped for a link) may lead to a device or a FIFO.
  if (scannedAs_ && platform::identityOf(there) != *scannedAs_)
    return failure(Reason::NotScannedFile);
  if (S_ISDIR(there.st_mode))
    return failure(Reason::Folder);
  if (!S_ISREG(there.st_mode))
    return failure(Reason::NotRegular);

  // Opening for writing asks the system whether this user may write the file (its
  // mode, ACLs, a read-only mount, an immutable flag), and O_NOFOLLOW refuses a
  // link swapped in since the look above.
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  file_.reset(::openat(dir_.get(), name_.constData(), O_RDWR | flags));
  if (!file_.ok()) {
    const int e = errno;
    switch (e) {
      case ELOOP:
        return failure(Reason::SymbolicLink, e);
      case ENOENT:
        return failure(Reason::NotFound, e);
      case EACCES: {
        platform::UniqueFd probe(::openat(dir_.get(), name_.constData(), O_RDONLY | flags));
        return failure(probe.ok() ? Reason::ReadOnly : Reason::NoReadPermission, e);
      }
      case EPERM:  // immutable or append-only
        return failure(Reason::ReadOnly, e);
      default:
        return systemFailure(e);
    }
  }
  if (::fstat(file_.get(), &st_) != 0)
    return systemFailure(errno);
  if (!S_ISREG(st_.st_mode) || !sameFile(st_, there))
    return failure(Reason::Changed);
  cleanedAs_ = platform::identityOf(st_);
  // Root may write anything; a file without any write bit is still meant to stay
  // as it is.
  if (::geteuid() == 0 && (st_.st_mode & 0222) == 0)
    return failure(Reason::ReadOnly);
  return std::nullopt;
}

std::optional<Failure> Cleaning::replace(bool& fallBack) {
  TempFile temp(dir_.get());
  if (const int e = temp.create())
    return failure(e == EACCES || e == EPERM ? Reason::FolderNotWritable : Reason::System, e);
  off_t written = 0;
  if (const int e = cleanStream(steps_, o_, gjz_, file_.get(), Step::ReadOriginal, temp.fd(),
                                Step::WriteTemp, false, written))
    return systemFailure(e);
  if (!carryIdentity(file_.get(), temp.fd(), st_)) {
    fallBack = true;
    return std::nullopt;
  }
  if (const int e = syncFile(steps_, Step::SyncTemp, temp.fd()))
    return systemFailure(e);

  // The old file must still be the one read, unchanged, under the same name.
  struct stat now;
  struct stat there;
  if (::fstat(file_.get(), &now) != 0)
    return systemFailure(errno);
  if (!sameContent(now, st_) ||
      ::fstatat(dir_.get(), name_.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(there, st_))
    return failure(Reason::Changed);

  struct stat replacement;
  if (::fstat(temp.fd(), &replacement) != 0)
    return systemFailure(errno);
  if (const int e = steps_.injected(Step::Replace))
    return systemFailure(e);
  if (::renameat(dir_.get(), temp.name().constData(), dir_.get(), name_.constData()) != 0)
    return systemFailure(errno);
  temp.keep();
  cleanedAs_ = platform::identityOf(replacement);

  if (const int e = syncFile(steps_, Step::SyncDir, dir_.get())) {
    Failure f = systemFailure(e);
    f.outcome = Outcome::ReplacedUnsynced;
    return f;
  }
  return std::nullopt;
}

std::optional<Failure> Cleaning::rewriteInPlace() {
  TempFile backup(dir_.get());
  if (const int e = backup.create())
    return failure(e == EACCES || e == EPERM ? Reason::FolderNotWritable : Reason::System, e);
  if (const int e = copyOver(steps_, Step::ReadOriginal, Step::WriteBackup, file_.get(),
                             backup.fd(), o_.chunkSize))
    return systemFailure(e);
  if (const int e = syncFile(steps_, Step::SyncBackup, backup.fd()))
    return systemFailure(e);
  struct stat now;
  if (::fstat(file_.get(), &now) != 0)
    return systemFailure(errno);
  if (!sameContent(now, st_))
    return failure(Reason::Changed);

  // The cleaned content is never longer than what it replaces, and it is read
  // from the backup, so writing it from the start of the file is safe.
  off_t written = 0;
  int e = cleanStream(steps_, o_, gjz_, backup.fd(), Step::ReadOriginal, file_.get(),
                      Step::WriteInPlace, true, written);
  if (e == 0) {
    e = steps_.injected(Step::WriteInPlace);
    if (e == 0 && ::ftruncate(file_.get(), written) != 0)
      e = errno;
  }
  if (e == 0)
    e = syncFile(steps_, Step::SyncInPlace, file_.get());
  if (e == 0)
    return std::nullopt;

  Failure f = systemFailure(e);
  const int restored =
      copyOver(steps_, Step::Restore, Step::Restore, backup.fd(), file_.get(), o_.chunkSize);
  if (restored == 0 && syncFile(steps_, Step::Restore, file_.get()) == 0)
    return f;
  f.outcome = Outcome::Damaged;
  f.backup = (dirPath_ == "/" ? dirPath_ : dirPath_ + '/') + backup.name();
  backup.keep();
  return f;
}

}  // namespace

std::optional<Failure> cleanFile(const QByteArray& nativePath, QStringView gjz,
                                 const Options& options, const platform::FileIdentity* scannedAs,
                                 platform::FileIdentity* cleanedAs) {
  Cleaning c(nativePath, gjz, options, scannedAs);
  std::optional<Failure> f = c.run();
  if (!f && cleanedAs)
    *cleanedAs = c.cleanedAs();
  return f;
}

}  // namespace clean
