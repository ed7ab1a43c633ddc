#include "clean/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "clean/backupstore.h"
#include "clean/fileio.h"
#include "clean/properties.h"
#include "clean/rewrite.h"
#include "clean/storelayout.h"
#include "platform/fd.h"
#include "platform/openpath.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace clean {
namespace {

// The folder a path's file lies in, open, and the file's name. Any length; any
// link, since the file's identity decides.
bool openFolderOf(const QByteArray& path, platform::UniqueFd& dir, QByteArray& name) {
  platform::OpenedFolder folder = platform::openFolderOf(path, platform::LinkTrust::Any);
  dir = std::move(folder.dir);
  name = folder.name;
  return dir.ok() && !name.isEmpty();
}

// Why a copy is not written back: it does not hold what the run recorded.
constexpr int kCopyDoesNotMatch = EBADMSG;
// Why a copy is not written back: the run recorded nothing to check it with
// (a manifest written before the in-place record carried its hash).
constexpr int kCopyUnchecked = ENODATA;

// Writes the copy back over the file, which must still be the file that was
// being rewritten, and only a copy that holds what the run recorded. A file
// that holds it already is left alone. 0 or errno; `changed` tells whether
// anything was written.
int rollBack(int dirfd, const QByteArray& name, const FileRecord& f, int copy, bool& changed) {
  platform::UniqueFd file(
      ::openat(dirfd, name.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.ok())
    return errno;
  struct stat st;
  if (::fstat(file.get(), &st) != 0)
    return errno;
  if (!S_ISREG(st.st_mode) || quint64(st.st_dev) != f.dev || quint64(st.st_ino) != f.ino)
    return ESTALE;
  // Runs with backups recorded the original's hash in the file record already.
  const QByteArray& recorded = f.copySha256.isEmpty() ? f.sha256 : f.copySha256;
  bool same = false;
  if (recorded.isEmpty()) {
    if (const int e = sameBytes(file.get(), copy, same))
      return e;
  } else {
    QByteArray now;
    if (const int e = sha256Of(file.get(), now))
      return e;
    same = now == recorded;
  }
  changed = false;
  // A write cut short may have cleared the set-ID bits already.
  if (same)
    return keepSetIdBits(file.get(), mode_t(f.mode));
  if (recorded.isEmpty())
    return kCopyUnchecked;
  QByteArray kept;
  if (const int e = sha256Of(copy, kept))
    return e;
  if (kept != recorded)
    return kCopyDoesNotMatch;
  changed = true;
  if (const int e = copyBack(plainSteps(), 128 * 1024, copy, file.get()))
    return e;
  const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(f.mtimeSec), long(f.mtimeNsec)}};
  ::futimens(file.get(), times);
  if (const int e = keepSetIdBits(file.get(), mode_t(f.mode)))
    return e;
  return ::fsync(file.get()) == 0 ? 0 : errno;
}

// Whether the manifest's last record closes the run (its end, or a later run's
// repair), read from its tail so that old runs cost little.
bool closed(int manifest) {
  struct stat st;
  if (::fstat(manifest, &st) != 0)
    return false;
  const off_t from = std::max<off_t>(0, st.st_size - 4096);
  QByteArray tail(qsizetype(st.st_size - from), '\0');
  const ssize_t n = ::pread(manifest, tail.data(), std::size_t(tail.size()), from);
  if (n <= 0)
    return false;
  tail.truncate(n);
  const QList<QByteArray> lines = tail.trimmed().split('\n');
  const QJsonObject last = QJsonDocument::fromJson(lines.back()).object();
  const QString type = last.value(u"type").toString();
  return type == u"end" || type == u"recovered" || type == u"restored";
}

// Deals with one file that run `name` (open: `runFd`) left without an outcome:
// removes the new file it began beside it, and rolls back an in-place rewrite.
// False when the file could not be rolled back.
bool recoverFile(const Store& store, const QByteArray& name, int runFd, const RunManifest& m,
                 const FileRecord& f, std::vector<RecoveryNote>& notes) {
  const QByteArray path = absolutePath(m, f);
  platform::UniqueFd dir;
  QByteArray fileName;
  if (!openFolderOf(path, dir, fileName))
    return true;
  // The new file took the listed file's owner as soon as it was written: one
  // of that owner's, or ours, under the unpredictable name the run recorded.
  struct stat st;
  // A file being quarantined, caught moved aside: it goes back under its name
  // (its copy stays in the store), unless something new stands there.
  if (f.quarantine && !f.temp.isEmpty()) {
    if (::fstatat(dir.get(), f.temp.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_dev == f.dev && st.st_ino == f.ino &&
        ::renameat2(dir.get(), f.temp.constData(), dir.get(), fileName.constData(),
                    RENAME_NOREPLACE) == 0)
      notes.push_back({RecoveryNote::What::RolledBack, path, {}, 0});
    return true;
  }
  if (!f.temp.isEmpty() &&
      ::fstatat(dir.get(), f.temp.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == f.uid) &&
      ::unlinkat(dir.get(), f.temp.constData(), 0) == 0) {
    notes.push_back(
        {RecoveryNote::What::TempRemoved, path.left(path.lastIndexOf('/') + 1) + f.temp, {}, 0});
  }
  if (!f.inPlace || f.copy.isEmpty())
    return true;
  platform::UniqueFd copy(::openat(runFd, f.copy.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  bool changed = false;
  const int e = copy.ok() ? rollBack(dir.get(), fileName, f, copy.get(), changed) : errno;
  if (e != 0) {
    notes.push_back({e == kCopyDoesNotMatch ? RecoveryNote::What::CopyDoesNotMatch
                                            : RecoveryNote::What::CouldNotRollBack,
                     path, store.path() + '/' + name + '/' + f.copy, e});
    return false;
  }
  if (changed)
    notes.push_back({RecoveryNote::What::RolledBack, path, {}, 0});
  return true;
}

void recoverRun(const Store& store, const QByteArray& name, std::vector<RecoveryNote>& notes) {
  platform::UniqueFd run(
      ::openat(store.fd(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.ok())
    return;
  platform::UniqueFd manifest(
      ::openat(run.get(), kManifest, O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  // A run whose manifest is locked is still going.
  if (!manifest.ok() || closed(manifest.get()) || ::flock(manifest.get(), LOCK_EX | LOCK_NB) != 0)
    return;
  const auto m = readRun(store.fd(), name);
  if (!m || m->ended || m->recovered)
    return;
  bool allBack = true;
  for (const FileRecord& f : m->files) {
    if (f.outcome.isEmpty())
      allBack = recoverFile(store, name, run.get(), *m, f, notes) && allBack;
  }
  (void)appendMark(manifest.get(), u"recovered");
  // A journal without backups is of no more use once everything is back.
  if (!m->full && allBack) {
    manifest.reset();
    (void)removeRun(store.fd(), name);
  }
}

}  // namespace

std::vector<RecoveryNote> recoverInterrupted() {
  std::vector<RecoveryNote> notes;
  Store store;
  if (store.open(false) != 0)
    return notes;
  for (const QByteArray& name : store.runs())
    recoverRun(store, name, notes);
  return notes;
}

QString recoveryMessage(const std::vector<RecoveryNote>& notes) {
  if (notes.empty())
    return {};
  QString m = QStringLiteral(u"上次清除或恢复运行时被中断了，已做如下处理：");
  for (const RecoveryNote& n : notes) {
    m += text::kCrLf;
    const QString path = platform::lineOfBytes(n.path);
    switch (n.what) {
      case RecoveryNote::What::RolledBack:
        m += QStringLiteral(u"已恢复为改写前的内容：") + path;
        break;
      case RecoveryNote::What::TempRemoved:
        m += QStringLiteral(u"已删除留下的临时文件：") + path;
        break;
      case RecoveryNote::What::CouldNotRollBack:
        m += QStringLiteral(u"无法恢复（") + platform::errorText(n.error) +
             QStringLiteral(u"），文件可能已损坏：") + path +
             QStringLiteral(u"；它原来的内容保存在：") + platform::lineOfBytes(n.copy);
        break;
      case RecoveryNote::What::CopyDoesNotMatch:
        m += QStringLiteral(u"无法恢复（备份与记录的内容不符），文件没有改动，可能已损坏：") +
             path + QStringLiteral(u"；不符的备份保存在：") + platform::lineOfBytes(n.copy);
        break;
    }
  }
  return m;
}

}  // namespace clean
