#include "clean/rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "clean/cleaning.h"
#include "clean/fileio.h"
#include "clean/occurrences.h"
#include "clean/properties.h"
#include "platform/fd.h"
#include "platform/openpath.h"

namespace clean {

Failure failure(Reason reason, int error) {
  Failure f;
  f.reason = reason;
  f.error = error;
  return f;
}

Failure systemFailure(int error) {
  switch (error) {
    case EROFS:
      return failure(Reason::ReadOnlyMedium, error);
    default:
      return failure(Reason::System, error);
  }
}

int TempFile::create() {
  const int fd =
      ::openat(dirfd_, name_.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Someone else's file under that name stays as it is.
    const int e = errno;
    name_.clear();
    return e;
  }
  fd_.reset(fd);
  return 0;
}

void TempFile::discard() {
  fd_.reset();
  if (!name_.isEmpty())
    ::unlinkat(dirfd_, name_.constData(), 0);
  name_.clear();
}

namespace {

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

}  // namespace

CleanResult Cleaning::run() {
  if (const Stage opened = open(); !opened.ok())
    return CleanResult::failed(opened.failure());
  if (const Stage kept = keep(); !kept.ok())
    return CleanResult::failed(kept.failure());
  if (!inPlace()) {
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

bool Cleaning::inPlace() const {
  return st_.st_nlink > 1 || (::geteuid() != 0 && st_.st_uid != ::geteuid());
}

Stage Cleaning::keep() {
  tempName_ = o_.tempName ? o_.tempName() : randomTempName();
  if (o_.keeper) {
    if (const int e = o_.keeper->before(keeperFile_, file_.get(), st_, tempName_, steps_))
      return failure(Reason::BackupFailed, e);
  }
  return Stage::passed();
}

// Opening for writing asks the system whether this user may write the file (its
// mode, ACLs, a read-only mount, an immutable flag), and O_NOFOLLOW refuses a
// link swapped in since the look before.
Stage Cleaning::openForWriting() {
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  file_.reset(::openat(dir_.get(), name_.constData(), O_RDWR | flags));
  if (file_.ok())
    return Stage::passed();
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

  if (const Stage opened = openForWriting(); !opened.ok())
    return opened;
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
  how.lineEnds = o_.lineEnds;
  off_t written = 0;
  return stream(steps_, o_.chunkSize, signature_, how, written, &removed_);
}

Replacement Cleaning::writeTemp() {
  Replacement written = fillTemp();
  if (written.kind() != Replacement::Kind::Done)
    temp_.reset();
  return written;
}

Replacement Cleaning::fillTemp() {
  temp_.emplace(dir_.get(), tempName_);
  TempFile& temp = *temp_;
  if (const int e = temp.create())
    return failure(e == EACCES || e == EPERM ? Reason::FolderNotWritable : Reason::System, e);
  // Flags the new file cannot take: the old one keeps them when written in place.
  if (carryFlags(file_.get(), temp.fd()) != 0)
    return Replacement::needsInPlace();
  if (const int e = produce(file_.get(), temp.fd(), Step::WriteTemp, false))
    return systemFailure(e);
  struct stat owned = st_;
  if (o_.ownership) {
    owned.st_uid = o_.ownership->st_uid;
    owned.st_gid = o_.ownership->st_gid;
    owned.st_mode = o_.ownership->st_mode;
  }
  if (!carryIdentity(file_.get(), temp.fd(), owned))
    return Replacement::needsInPlace();
  if (const int e = setMtime(temp.fd(), o_.mtime))
    return systemFailure(e);
  if (::fstat(temp.fd(), &tempSt_) != 0)
    return systemFailure(errno);
  startWriting(temp.fd());
  return Replacement::done();
}

Stage Cleaning::syncTemp(bool flushed) {
  const int e =
      flushed ? steps_.injected(Step::SyncTemp) : syncFile(steps_, Step::SyncTemp, temp_->fd());
  if (e != 0)
    return systemFailure(e);
  temp_->close();
  return Stage::passed();
}

Stage Cleaning::rename() {
  // The old file must still be the one read, unchanged, under the same name.
  struct stat now;
  struct stat there;
  if (::fstat(file_.get(), &now) != 0)
    return systemFailure(errno);
  if (!sameContent(now, st_) ||
      ::fstatat(dir_.get(), name_.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(there, st_))
    return failure(Reason::Changed);

  if (const int e = steps_.injected(Step::Replace))
    return systemFailure(e);
  if (::renameat(dir_.get(), temp_->name().constData(), dir_.get(), name_.constData()) != 0)
    return systemFailure(errno);
  temp_->keep();
  cleanedAs_ = platform::identityOf(tempSt_);
  return Stage::passed();
}

Stage Cleaning::syncFolder(bool flushed) {
  if (const int e =
          flushed ? steps_.injected(Step::SyncDir) : syncFile(steps_, Step::SyncDir, dir_.get())) {
    Failure f = systemFailure(e);
    f.outcome = Outcome::ReplacedUnsynced;
    return f;
  }
  return Stage::passed();
}

Replacement Cleaning::replace() {
  if (Replacement written = writeTemp(); written.kind() != Replacement::Kind::Done)
    return written;
  if (const Stage synced = syncTemp(false); !synced.ok())
    return synced.failure();
  if (const Stage renamed = rename(); !renamed.ok())
    return renamed.failure();
  if (const Stage synced = syncFolder(false); !synced.ok())
    return synced.failure();
  return Replacement::done();
}

CleanResult Cleaning::rewriteInPlace() {
  auto fail = [](Failure why) { return CleanResult::failed(std::move(why)); };
  platform::UniqueFd copy;
  QByteArray copyPath;
  if (o_.keeper) {
    if (const int e =
            o_.keeper->beforeInPlace(keeperFile_, file_.get(), st_, steps_, copy, copyPath))
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
    if (const int e = stream(steps_, o_.chunkSize, signature_, how, written))
      return fail(systemFailure(e));
    if (const int e = syncFile(steps_, Step::SyncBackup, copy.get()))
      return fail(systemFailure(e));
  }
  struct stat now;
  if (::fstat(file_.get(), &now) != 0)
    return fail(systemFailure(errno));
  if (!sameContent(now, st_))
    return fail(failure(Reason::Changed));

  // The owner the file is to have is given before any byte changes: a refusal
  // leaves the content as it was.
  if (o_.ownership) {
    if ((o_.ownership->st_uid != st_.st_uid || o_.ownership->st_gid != st_.st_gid) &&
        ::fchown(file_.get(), o_.ownership->st_uid, o_.ownership->st_gid) != 0)
      return fail(systemFailure(errno));
    if (::fchmod(file_.get(), o_.ownership->st_mode & 07777) != 0)
      return fail(systemFailure(errno));
  }
  // The new content is read from the copy (or the restore's source), so writing
  // it from the start of the file is safe.
  int e = produce(copy.get(), file_.get(), Step::WriteInPlace, true);
  if (e == 0)
    e = setMtime(file_.get(), o_.mtime);
  if (e == 0)
    e = keepSetIdBits(file_.get(), o_.ownership ? o_.ownership->st_mode : st_.st_mode);
  if (e == 0)
    e = syncFile(steps_, Step::SyncInPlace, file_.get());
  if (e == 0)
    return CleanResult::cleaned(Placement::InPlace);

  Failure f = systemFailure(e);
  if (copyBack(steps_, o_.chunkSize, copy.get(), file_.get()) == 0 &&
      keepSetIdBits(file_.get(), st_.st_mode) == 0 &&
      syncFile(steps_, Step::Restore, file_.get()) == 0)
    return fail(f);
  f.outcome = Outcome::Damaged;
  f.backup = copyPath;
  return fail(f);
}

int Cleaning::quarantineMember(bool all, std::optional<std::uint32_t>& member) {
  member.reset();
  if (!mayQuarantine(signature_, all))
    return 0;
  if (::lseek(file_.get(), 0, SEEK_SET) != 0)
    return errno;
  const Occurrences found = findOccurrences(file_.get(), signature_, o_.encoding, o_.lineEnds);
  if (found.error != 0)
    return found.error;
  member = clean::quarantineMember(found, signature_, all);
  return 0;
}

namespace {

// Moves a name within one folder, failing where something stands at the new one.
int renameNoReplace(int dirfd, const QByteArray& from, const QByteArray& to) {
  if (::renameat2(dirfd, from.constData(), dirfd, to.constData(), RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL)
    return errno;
  // A file system without the flag: a hard link refuses an existing name as well.
  if (::linkat(dirfd, from.constData(), dirfd, to.constData(), 0) != 0)
    return errno;
  return ::unlinkat(dirfd, from.constData(), 0) == 0 ? 0 : errno;
}

}  // namespace

CleanResult Cleaning::quarantine() {
  auto fail = [](Failure why) { return CleanResult::failed(std::move(why)); };
  tempName_ = o_.tempName ? o_.tempName() : randomTempName();
  if (!o_.keeper)
    return fail(failure(Reason::BackupFailed, ENOTSUP));
  if (const int e = o_.keeper->beforeQuarantine(keeperFile_, file_.get(), st_, tempName_, steps_))
    return fail(failure(Reason::BackupFailed, e));
  struct stat now;
  if (::fstat(file_.get(), &now) != 0)
    return fail(systemFailure(errno));
  if (!sameContent(now, st_))
    return fail(failure(Reason::Changed));
  // The name is first moved aside under the journaled name, so that the file
  // checked is the one removed: one swapped in under the name meanwhile goes
  // back to it untouched.
  if (const int e = renameNoReplace(dir_.get(), name_, tempName_))
    return fail(e == ENOENT ? failure(Reason::Changed, e) : systemFailure(e));
  struct stat moved;
  if (::fstatat(dir_.get(), tempName_.constData(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(moved, st_)) {
    (void)renameNoReplace(dir_.get(), tempName_, name_);
    return fail(failure(Reason::Changed));
  }
  const int injected = steps_.injected(Step::Quarantine);
  if (injected != 0 || ::unlinkat(dir_.get(), tempName_.constData(), 0) != 0) {
    const int e = injected != 0 ? injected : errno;
    (void)renameNoReplace(dir_.get(), tempName_, name_);
    return fail(systemFailure(e));
  }
  if (const int e = syncFile(steps_, Step::SyncDir, dir_.get())) {
    Failure f = systemFailure(e);
    f.outcome = Outcome::ReplacedUnsynced;
    return fail(f);
  }
  return CleanResult::cleaned(Placement::Quarantined);
}

CleanResult cleanFile(const QByteArray& nativePath, QStringView signature, const Options& options,
                      const platform::FileIdentity* scannedAs, platform::FileIdentity* cleanedAs) {
  Cleaning c(nativePath, signature, options,
             scannedAs ? std::make_optional(*scannedAs) : std::nullopt);
  CleanResult result = c.run();
  if (result.ok() && cleanedAs)
    *cleanedAs = c.cleanedAs();
  return result;
}

}  // namespace clean
