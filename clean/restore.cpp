#include "clean/restore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <utility>

#include "clean/backupstore.h"
#include "clean/failures.h"
#include "clean/fileio.h"
#include "clean/restorebatch.h"
#include "clean/storelayout.h"
#include "platform/fd.h"
#include "platform/openpath.h"
#include "platform/pathline.h"

namespace clean {
namespace {

// Whether the run's clean is still going: it holds its manifest's lock while it
// lives.
bool stillRunning(int storeFd, const QByteArray& name) {
  platform::UniqueFd manifest(
      ::openat(storeFd, (name + '/' + kManifest).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  return manifest.ok() && ::flock(manifest.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// The latest clean run that kept copies and has ended. A run that saved none
// (its first file failed before anything was kept) has nothing to put back:
// taking it would report success and leave the last real clean in place. A run
// still going is passed over (and named in `passedOver`).
QByteArray latestCleanRun(const Store& store, std::vector<QByteArray>& passedOver) {
  const std::vector<QByteArray> runs = store.runs();
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    const auto m = readRun(store.fd(), *it);
    if (!m || m->kind != RunKind::Clean || !m->full)
      continue;
    if (std::none_of(m->files.begin(), m->files.end(),
                     [](const FileRecord& f) { return !f.copy.isEmpty(); }))
      continue;
    if (stillRunning(store.fd(), *it)) {
      passedOver.push_back(*it);
      continue;
    }
    return *it;
  }
  return {};
}

// The records of one file, in list order: a file is followed from record to
// record by its identity, from the one its record found before the clean to the
// one the clean left (a new file when replaced), which the next record of the
// same file found. Two records of one path that no identity links (a run cut
// short recorded no identity after) are one file as well. Identities alone
// never group: an inode number freed by one replacement is often reused by a
// later one, for another file.
std::vector<std::vector<const FileRecord*>> filesOf(const RunManifest& m) {
  std::vector<std::vector<const FileRecord*>> groups;
  std::map<std::pair<quint64, quint64>, std::size_t> current;  // identity now -> group
  std::vector<std::pair<quint64, quint64>> keyOf;              // group -> identity now
  std::map<QByteArray, std::size_t> byPath;
  for (const FileRecord& f : m.files) {
    if (f.copy.isEmpty() || f.sha256.isEmpty())
      continue;  // never touched: it failed before its backup
    const std::pair<quint64, quint64> before{f.dev, f.ino};
    const QByteArray path = absolutePath(m, f);
    std::size_t g;
    if (const auto at = current.find(before); at != current.end()) {
      g = at->second;
    } else if (const auto named = byPath.find(path); named != byPath.end() && !path.isEmpty()) {
      g = named->second;
    } else {
      g = groups.size();
      groups.emplace_back();
      keyOf.emplace_back(0, 0);
    }
    groups[g].push_back(&f);
    if (current.count(keyOf[g]) && current[keyOf[g]] == g)
      current.erase(keyOf[g]);
    keyOf[g] = f.after ? std::make_pair(f.after->device, f.after->inode) : before;
    current[keyOf[g]] = g;
    if (!path.isEmpty())
      byPath.emplace(path, g);
  }
  return groups;
}

// Gives the file the owner, group and mode recorded before the clean, and its
// modification time. 0 or errno.
int putBackAttributes(int fd, const struct stat& now, const FileRecord& f) {
  if ((now.st_uid != f.uid || now.st_gid != f.gid) && ::fchown(fd, f.uid, f.gid) != 0)
    return errno;
  if (::fchmod(fd, mode_t(f.mode) & 07777) != 0)
    return errno;
  const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(f.mtimeSec), long(f.mtimeNsec)}};
  return ::futimens(fd, times) == 0 ? 0 : errno;
}

bool sameAttributes(const struct stat& now, const FileRecord& f) {
  return now.st_uid == f.uid && now.st_gid == f.gid &&
         (now.st_mode & 07777) == (mode_t(f.mode) & 07777) && now.st_mtim.tv_sec == f.mtimeSec &&
         now.st_mtim.tv_nsec == f.mtimeNsec;
}

RestoredFile failedBecause(RestoredFile r, const QString& why) {
  r.result = RestoredFile::Result::Failed;
  r.reason = why;
  return r;
}

QString systemReason(int error) {
  Failure why;
  why.error = error;
  return reasonText(why);
}

// Opens the file at `r.path` as it is now, read without following a link to
// it, and through a link on the way only where the clean without a scan's
// identity would go, and hashes it. Gives the result when there is nothing to
// restore (no file, or a refusal).
// The folder of `r.path`, reached as openAsItIs says; the refusal, if any.
std::optional<RestoredFile> openFolder(const RestoredFile& r, platform::OpenedFolder& dir) {
  dir = platform::openFolderOf(r.path, platform::LinkTrust::Trusted);
  if (dir.untrustedLink.isEmpty())
    return std::nullopt;
  Failure why;
  why.reason = Reason::UntrustedLink;
  why.link = dir.untrustedLink;
  return failedBecause(r, reasonText(why));
}

std::optional<RestoredFile> openAsItIs(const RestoredFile& r, platform::UniqueFd& file,
                                       struct stat& st, QByteArray& now) {
  platform::OpenedFolder dir;
  if (auto refused = openFolder(r, dir))
    return refused;
  errno = dir.error;
  file.reset(dir.dir.ok() ? ::openat(dir.dir.get(), dir.name.constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                          : -1);
  if (!file.ok()) {
    if (errno != ENOENT)
      return failedBecause(r, systemReason(errno));
    RestoredFile missing = r;
    missing.result = RestoredFile::Result::Missing;
    return missing;
  }
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Failure why;
    why.reason = Reason::NotRegular;
    return failedBecause(r, reasonText(why));
  }
  if (const int e = sha256Of(file.get(), now))
    return failedBecause(r, systemReason(e));
  return std::nullopt;
}

// A file that holds its original already (nothing was removed, or restored
// before): at most its owner, mode and time are put back.
RestoredFile holdsItsOriginal(RestoredFile r, int fd, const struct stat& st, const FileRecord& f) {
  r.result = RestoredFile::Result::Unchanged;
  if (sameAttributes(st, f))
    return r;
  if (const int e = putBackAttributes(fd, st, f))
    return failedBecause(r, systemReason(e));
  r.result = RestoredFile::Result::Restored;
  return r;
}

// What stands at a path, in the words of a refusal.
QString whatStands(const struct stat& st) {
  if (S_ISLNK(st.st_mode))
    return QStringLiteral(u"符号链接");
  if (S_ISDIR(st.st_mode))
    return QStringLiteral(u"文件夹");
  return QStringLiteral(u"文件");
}

// Gives a new file, not yet under any name, the name `name` in `dir`, and fails
// (EEXIST) when anything stands there: nothing at the path is ever replaced.
int linkNew(int fd, bool anonymous, const QByteArray& tempName, int dir, const QByteArray& name) {
  if (!anonymous)
    return ::linkat(dir, tempName.constData(), dir, name.constData(), 0) == 0 ? 0 : errno;
  const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
  if (::linkat(AT_FDCWD, self.constData(), dir, name.constData(), AT_SYMLINK_FOLLOW) == 0)
    return 0;
  if (errno != ENOENT)
    return errno;
  return ::linkat(fd, "", dir, name.constData(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// Puts a quarantined file back at its path from its copy: a new file, made
// whole in its folder (content, owner, mode, time, on disk) before it gets the
// name, which it only gets where nothing stands now.
RestoredFile putBackQuarantined(RestoredFile r, int runFd, const FileRecord& f) {
  const QString refused =
      QStringLiteral(u"隔离之后这个路径上又有了%1，为了不覆盖它，没有恢复（--force 也不恢复）：");
  platform::OpenedFolder dir;
  if (auto barred = openFolder(r, dir))
    return *barred;
  if (!dir.dir.ok())
    return failedBecause(r, systemReason(dir.error));
  struct stat there;
  if (::fstatat(dir.dir.get(), dir.name.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    // Still there (a run cut short before it took the name away), or put back
    // before: nothing to do but its attributes.
    platform::UniqueFd file(::openat(dir.dir.get(), dir.name.constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    QByteArray now;
    struct stat st;
    if (S_ISREG(there.st_mode) && file.ok() && ::fstat(file.get(), &st) == 0 &&
        sameFile(st, there) && sha256Of(file.get(), now) == 0 && now == f.sha256 &&
        (st.st_nlink == 1 || (st.st_dev == f.dev && st.st_ino == f.ino)))
      return holdsItsOriginal(r, file.get(), st, f);
    return failedBecause(r, refused.arg(whatStands(there)) + platform::lineOfBytes(r.path));
  }
  if (errno != ENOENT)
    return failedBecause(r, systemReason(errno));

  platform::UniqueFd copy(::openat(runFd, f.copy.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  QByteArray kept;
  if (!copy.ok() || sha256Of(copy.get(), kept) != 0 || kept != f.sha256)
    return failedBecause(r, QStringLiteral(u"备份已损坏或丢失，不能恢复。"));
  // Nameless where the file system allows, so that a crash leaves nothing.
  const int dirFd = dir.dir.get();
  platform::UniqueFd made(::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  const bool anonymous = made.ok();
  QByteArray tempName;
  if (!anonymous) {
    tempName = randomTempName();
    made.reset(::openat(dirFd, tempName.constData(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!made.ok())
      return failedBecause(r, systemReason(errno));
  }
  struct stat st;
  int e = copyBack(plainSteps(), 128 * 1024, copy.get(), made.get());
  if (e == 0)
    e = ::fstat(made.get(), &st) == 0 ? putBackAttributes(made.get(), st, f) : errno;
  if (e == 0)
    e = ::fsync(made.get()) == 0 ? 0 : errno;
  if (e == 0)
    e = linkNew(made.get(), anonymous, tempName, dirFd, dir.name);
  if (!anonymous)
    ::unlinkat(dirFd, tempName.constData(), 0);
  if (e == EEXIST && ::fstatat(dirFd, dir.name.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0)
    return failedBecause(r, refused.arg(whatStands(there)) + platform::lineOfBytes(r.path));
  if (e == 0)
    e = ::fsync(dirFd) == 0 ? 0 : errno;
  if (e != 0)
    return failedBecause(r, systemReason(e));
  r.result = RestoredFile::Result::Restored;
  return r;
}

// `f`: the file's first record, which holds its original; `last`: the clean's
// last record of it, which says what the clean left there.
RestoredFile restoreOne(const RunManifest& m, int runFd, const FileRecord& f,
                        const FileRecord& last, const RestoreOptions& ro,
                        std::optional<OriginalWrite>& write) {
  RestoredFile r;
  r.path = absolutePath(m, f);
  if (r.path.isEmpty()) {
    // A relative path of a run that could not record its working folder: it is
    // never resolved against another folder.
    r.path = f.path;
    return failedBecause(
        r, QStringLiteral(
               u"清除时的工作文件夹没有记录下来，不能确定这个相对路径指的是哪个文件，没有恢复。"));
  }
  // Taken out whole (or about to be, when the run was cut short).
  if (last.quarantine)
    return putBackQuarantined(r, runFd, f);
  platform::UniqueFd file;
  struct stat st;
  QByteArray now;
  if (auto done = openAsItIs(r, file, st, now))
    return *done;
  // Only the file the clean left is written: the very file (its identity after
  // the clean), or one that holds what the clean left or the original and has no
  // other name (a copy put back by other means). A file of another identity
  // with other names may be anyone's (a hard link planted at the path): not
  // even --force writes to it.
  // A run cut short recorded no identity after: the file it had not replaced
  // yet (or rewrote in place) is still the one it found.
  const platform::FileIdentity found{last.dev, last.ino};
  const bool leftThere = (last.after ? *last.after : found) == platform::identityOf(st);
  const bool sameContent = now == last.sha256Cleaned || now == f.sha256;
  if (!leftThere && !(sameContent && st.st_nlink == 1)) {
    return failedBecause(
        r,
        QStringLiteral(u"清除之后这个路径上已换成了另一个文件，或它又有了别的名字（硬链接），为了不"
                       u"写到别人的文件里，没有恢复（--force 也不恢复）。"));
  }
  if (now == f.sha256)
    return holdsItsOriginal(r, file.get(), st, f);
  if (now != last.sha256Cleaned) {
    const auto named = ro.forceOnly.find(r.path);
    const bool forced = ro.force || (named != ro.forceOnly.end() && named->second == now);
    if (!forced) {
      r.result = RestoredFile::Result::Edited;
      r.seen = now;
      return r;
    }
  }
  platform::UniqueFd copy(::openat(runFd, f.copy.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  QByteArray kept;
  if (!copy.ok() || sha256Of(copy.get(), kept) != 0 || kept != f.sha256)
    return failedBecause(r, QStringLiteral(u"备份已损坏或丢失，不能恢复。"));

  write.emplace();
  write->path = r.path;
  write->copy = std::move(copy);
  write->readAs = platform::identityOf(st);
  write->mtime = {time_t(f.mtimeSec), long(f.mtimeNsec)};
  write->ownership.st_uid = f.uid;
  write->ownership.st_gid = f.gid;
  write->ownership.st_mode = mode_t(f.mode);
  write->options.fault = ro.fault;
  r.result = RestoredFile::Result::Restored;
  return r;
}

// Puts back each file of the run `m`, open on `runFd`, under a journal of
// its own; true when a file failed and the rest were left.
bool putBackAll(const RunManifest& m, int runFd, const RestoreOptions& options,
                RestoreReport& report) {
  BackupRun journal(RunKind::Restore, false, {});
  bool stopped = false;
  {
    Rewriter rewriter(journal, options.fault, report, stopped);
    for (const auto& records : filesOf(m)) {
      if (options.onFile)
        options.onFile(absolutePath(m, *records.front()));
      std::optional<OriginalWrite> write;
      report.files.push_back(
          restoreOne(m, runFd, *records.front(), *records.back(), options, write));
      stopped = stopped || report.files.back().result == RestoredFile::Result::Failed;
      if (write) {
        write->index = report.files.size() - 1;
        rewriter.add(std::move(*write));
      }
    }
    rewriter.finish();
  }
  journal.finish(stopped);
  return stopped;
}

// Through the run folder `runFd`, locked by the caller, not its name again.
void markRestored(int runFd) {
  platform::UniqueFd marks(
      ::openat(runFd, kManifest, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  if (marks.ok())
    (void)appendMark(marks.get(), u"restored");
}

}  // namespace

RestoreReport restoreRun(const QByteArray& run, const RestoreOptions& options) {
  RestoreReport report;
  report.recovered = recoverInterrupted();
  Store store;
  if (const int e = store.open(false)) {
    report.error = e;
    return report;
  }
  report.run = run.isEmpty() ? latestCleanRun(store, report.passedOver) : run;
  const auto m = report.run.isEmpty() || report.run.contains('/') ? std::nullopt
                                                                  : readRun(store.fd(), report.run);
  if (!m || m->kind != RunKind::Clean) {
    report.error = ENOENT;
    return report;
  }
  platform::UniqueFd runFd(::openat(store.fd(), report.run.constData(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!runFd.ok()) {
    report.error = errno;
    return report;
  }
  // A clean still going would go on cleaning what is put back, and its records
  // are not complete: it is restored once it has ended. The shared lock on the
  // manifest keeps the clean's repair out meanwhile; the run folder's own lock
  // keeps a second restore of the same run out.
  platform::UniqueFd manifest(::openat(runFd.get(), kManifest, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!manifest.ok() || ::flock(manifest.get(), LOCK_SH | LOCK_NB) != 0) {
    report.error = manifest.ok() && errno == EWOULDBLOCK ? EBUSY : errno;
    return report;
  }
  if (::flock(runFd.get(), LOCK_EX | LOCK_NB) != 0) {
    report.error = errno == EWOULDBLOCK ? EALREADY : errno;
    return report;
  }
  const bool stopped = putBackAll(*m, runFd.get(), options, report);
  // Every file back: the run is marked, so that it is not offered again as the
  // one to undo.
  const bool allBack =
      !stopped && std::all_of(report.files.begin(), report.files.end(), [](const RestoredFile& f) {
        return f.result == RestoredFile::Result::Restored ||
               f.result == RestoredFile::Result::Unchanged;
      });
  if (allBack && !m->restored)
    markRestored(runFd.get());
  return report;
}

QByteArray latestRestorableRun() {
  Store store;
  std::vector<QByteArray> running;
  return store.open(false) == 0 ? latestCleanRun(store, running) : QByteArray();
}

QString resultText(const RestoredFile& file) {
  switch (file.result) {
    case RestoredFile::Result::Restored:
      return QStringLiteral(u"已恢复。");
    case RestoredFile::Result::Unchanged:
      return QStringLiteral(u"已是清除前的内容，没有改动。");
    case RestoredFile::Result::Edited:
      return QStringLiteral(
          u"清除之后文件又被改动过，为了不丢失这些改动，没有恢复（--force 仍然恢复）。");
    case RestoredFile::Result::Missing:
      return QStringLiteral(u"文件不存在，没有恢复。");
    case RestoredFile::Result::Failed:
      return file.reason;
  }
  return {};
}

}  // namespace clean
