#include "clean/rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "clean/fileio.h"
#include "clean/properties.h"
#include "platform/fd.h"
#include "platform/openpath.h"

namespace clean {
namespace {

Failure failure(Reason reason, int error = 0) {
  Failure f;
  f.reason = reason;
  f.error = error;
  return f;
}

// One stage of the rewrite: went through, or stopped with a failure. Implicit
// from a Failure, so that a stage returns its refusal as it is.
class [[nodiscard]] Stage {
 public:
  static Stage passed() { return Stage(); }
  Stage(Failure why) : failure_(std::move(why)) {}

  bool ok() const { return !failure_; }
  // Only when !ok().
  const Failure& failure() const { return *failure_; }

 private:
  Stage() = default;
  std::optional<Failure> failure_;
};

// What putting a new file in the old one's place came to.
class [[nodiscard]] Replacement {
 public:
  enum class Kind {
    Done,
    NeedsInPlace,  // the new file cannot carry the old one's identity
    Failed,
  };
  static Replacement done() { return Replacement(Kind::Done); }
  static Replacement needsInPlace() { return Replacement(Kind::NeedsInPlace); }
  Replacement(Failure why) : kind_(Kind::Failed), failure_(std::move(why)) {}

  Kind kind() const { return kind_; }
  // Only for Kind::Failed.
  const Failure& failure() const { return failure_; }

 private:
  explicit Replacement(Kind kind) : kind_(kind) {}
  Kind kind_;
  Failure failure_;
};

// A system error, told by its own reason where there is a plainer one.
Failure systemFailure(int error) {
  switch (error) {
    case EROFS:
      return failure(Reason::ReadOnlyMedium, error);
    default:
      return failure(Reason::System, error);
  }
}

// The new file beside the original, created exclusively under the name the
// keeper has journaled, so that nobody can have put a file or a link there for
// us to write through. It is removed again unless kept.
class TempFile {
 public:
  TempFile(int dirfd, const QByteArray& name) : dirfd_(dirfd), name_(name) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { discard(); }

  int create() {
    const int fd = ::openat(dirfd_, name_.constData(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      // Someone else's file under that name stays as it is.
      const int e = errno;
      name_.clear();
      return e;
    }
    fd_.reset(fd);
    return 0;
  }
  int fd() const { return fd_.get(); }
  const QByteArray& name() const { return name_; }
  // The name is in use elsewhere now (renamed over the original).
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
  QByteArray name_;
  platform::UniqueFd fd_;
};

// A copy that lives only while the rewrite runs, for a caller without a keeper:
// nameless where the file system allows, so that nothing is left behind.
int anonymousCopy(int dirfd, platform::UniqueFd& copy) {
  copy.reset(::openat(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (copy.ok())
    return 0;
  const QByteArray name = randomTempName();
  copy.reset(
      ::openat(dirfd, name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!copy.ok())
    return errno;
  ::unlinkat(dirfd, name.constData(), 0);
  return 0;
}

int setMtime(int fd, const struct timespec* mtime) {
  if (!mtime)
    return 0;
  const struct timespec times[2] = {{0, UTIME_OMIT}, *mtime};
  return ::futimens(fd, times) == 0 ? 0 : errno;
}

class Cleaning {
 public:
  Cleaning(const QByteArray& path, QStringView gjz, const Options& o,
           const platform::FileIdentity* scannedAs)
      : path_(path), gjz_(gjz), o_(o), steps_(o), scannedAs_(scannedAs) {}

  // The file now at the path, after a successful run.
  platform::FileIdentity cleanedAs() const { return cleanedAs_; }

  CleanResult run();

 private:
  Stage open();
  Replacement replace();
  CleanResult rewriteInPlace();
  // The new content from `from` (the original or its copy) into `to`.
  int produce(int from, int to, Step writeStep, bool truncate);

  const QByteArray& path_;
  QStringView gjz_;
  const Options& o_;
  Steps steps_;
  const platform::FileIdentity* scannedAs_;
  platform::FileIdentity cleanedAs_;
  platform::UniqueFd dir_;
  QByteArray name_;
  QByteArray tempName_;
  platform::UniqueFd file_;
  struct stat st_ {};
};

CleanResult Cleaning::run() {
  if (const Stage opened = open(); !opened.ok())
    return CleanResult::failed(opened.failure());
  // Renaming a new file over one with several names would leave the others with
  // the old content; a new file owned by someone else than the old one would
  // change who the file belongs to.
  const bool inPlace = st_.st_nlink > 1 || (::geteuid() != 0 && st_.st_uid != ::geteuid());
  tempName_ = o_.tempName ? o_.tempName() : randomTempName();
  if (o_.keeper) {
    if (const int e = o_.keeper->before(file_.get(), st_, tempName_, steps_))
      return CleanResult::failed(failure(Reason::BackupFailed, e));
  }
  if (!inPlace) {
    const Replacement replaced = replace();
    switch (replaced.kind()) {
      case Replacement::Kind::Done:
        return CleanResult::cleaned(Placement::Replaced);
      case Replacement::Kind::Failed:
        return CleanResult::failed(replaced.failure());
      case Replacement::Kind::NeedsInPlace:
        break;
    }
  }
  return rewriteInPlace();
}

Stage Cleaning::open() {
  if (path_.isEmpty())
    return failure(Reason::EmptyPath);
  if (path_.contains('\0'))
    return failure(Reason::NotAFilePath);
  name_ = path_.mid(path_.lastIndexOf('/') + 1);
  if (name_.isEmpty() || name_ == "." || name_ == "..")
    return failure(Reason::NotAFilePath);

  // One folder at a time, so that a path of any length works. With the scan's
  // identity any link may be followed: the check below judges where it led.
  // Without, only a link that nobody but root or this user could have put there.
  platform::OpenedFolder folder = platform::openFolderOf(
      path_, scannedAs_ ? platform::LinkTrust::Any : platform::LinkTrust::Trusted);
  if (!folder.untrustedLink.isEmpty()) {
    Failure f = failure(Reason::UntrustedLink, folder.error);
    f.link = folder.untrustedLink;
    return f;
  }
  dir_ = std::move(folder.dir);
  if (!dir_.ok()) {
    const int e = folder.error;
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
  if (const int e = steps_.injected(Step::Open))
    return systemFailure(e);

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
  return Stage::passed();
}

int Cleaning::produce(int from, int to, Step writeStep, bool truncate) {
  StreamSpec how;
  how.from = o_.contentFrom >= 0 ? o_.contentFrom : from;
  how.readStep = Step::ReadOriginal;
  how.to = to;
  how.writeStep = writeStep;
  how.copyOnly = o_.contentFrom >= 0;
  how.truncate = truncate;
  how.encoding = o_.encoding;
  off_t written = 0;
  return stream(steps_, o_.chunkSize, gjz_, how, written);
}

Replacement Cleaning::replace() {
  TempFile temp(dir_.get(), tempName_);
  if (const int e = temp.create())
    return failure(e == EACCES || e == EPERM ? Reason::FolderNotWritable : Reason::System, e);
  // Flags the new file cannot take: the old one keeps them when written in place.
  if (carryFlags(file_.get(), temp.fd()) != 0)
    return Replacement::needsInPlace();
  if (const int e = produce(file_.get(), temp.fd(), Step::WriteTemp, false))
    return systemFailure(e);
  if (!carryIdentity(file_.get(), temp.fd(), st_))
    return Replacement::needsInPlace();
  if (const int e = setMtime(temp.fd(), o_.mtime))
    return systemFailure(e);
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
  return Replacement::done();
}

CleanResult Cleaning::rewriteInPlace() {
  auto fail = [](Failure why) { return CleanResult::failed(std::move(why)); };
  platform::UniqueFd copy;
  QByteArray copyPath;
  if (o_.keeper) {
    if (const int e = o_.keeper->beforeInPlace(file_.get(), st_, steps_, copy, copyPath))
      return fail(failure(Reason::BackupFailed, e));
  } else {
    if (const int e = anonymousCopy(dir_.get(), copy))
      return fail(
          failure(e == EACCES || e == EPERM ? Reason::FolderNotWritable : Reason::System, e));
    StreamSpec how{.from = file_.get(),
                   .readStep = Step::ReadOriginal,
                   .to = copy.get(),
                   .writeStep = Step::WriteBackup,
                   .copyOnly = true,
                   .truncate = true};
    off_t written = 0;
    if (const int e = stream(steps_, o_.chunkSize, gjz_, how, written))
      return fail(systemFailure(e));
    if (const int e = syncFile(steps_, Step::SyncBackup, copy.get()))
      return fail(systemFailure(e));
  }
  struct stat now;
  if (::fstat(file_.get(), &now) != 0)
    return fail(systemFailure(errno));
  if (!sameContent(now, st_))
    return fail(failure(Reason::Changed));

  // The new content is read from the copy (or the restore's source), so writing
  // it from the start of the file is safe.
  int e = produce(copy.get(), file_.get(), Step::WriteInPlace, true);
  if (e == 0)
    e = setMtime(file_.get(), o_.mtime);
  if (e == 0)
    e = keepSetIdBits(file_.get(), st_.st_mode);
  if (e == 0)
    e = syncFile(steps_, Step::SyncInPlace, file_.get());
  if (e == 0)
    return CleanResult::cleaned(Placement::InPlace);

  Failure f = systemFailure(e);
  StreamSpec back{.from = copy.get(),
                  .readStep = Step::Restore,
                  .to = file_.get(),
                  .writeStep = Step::Restore,
                  .copyOnly = true,
                  .truncate = true};
  off_t written = 0;
  if (stream(steps_, o_.chunkSize, gjz_, back, written) == 0 &&
      keepSetIdBits(file_.get(), st_.st_mode) == 0 &&
      syncFile(steps_, Step::Restore, file_.get()) == 0)
    return fail(f);
  f.outcome = Outcome::Damaged;
  f.backup = copyPath;
  return fail(f);
}

}  // namespace

CleanResult cleanFile(const QByteArray& nativePath, QStringView gjz, const Options& options,
                      const platform::FileIdentity* scannedAs, platform::FileIdentity* cleanedAs) {
  Cleaning c(nativePath, gjz, options, scannedAs);
  CleanResult result = c.run();
  if (result.ok() && cleanedAs)
    *cleanedAs = c.cleanedAs();
  return result;
}

}  // namespace clean
