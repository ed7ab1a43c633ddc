#include "clean/backupstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QList>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "clean/failures.h"
#include "clean/fileio.h"
#include "clean/storelayout.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "platform/userfolder.h"

using namespace Qt::StringLiterals;

namespace clean {

std::function<QByteArray()> BackupRun::nameForTests;

namespace {

QString nowText() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

}  // namespace

QByteArray backupStorePath() {
  const QByteArray base = platform::userDataPath();
  return base.isEmpty() ? QByteArray() : base + "/tervane/backups";
}

int Store::open(bool create) {
  return platform::openUserFolder(
      "backups", create ? platform::FolderUse::Create : platform::FolderUse::Existing, fd_, &path_);
}

QByteArray newRunName() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  ::gmtime_r(&now.tv_sec, &utc);
  char stamp[32];
  ::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  // The random part is the temporary-name generator's.
  return QByteArray(stamp) + '.' + QByteArray::number(now.tv_nsec / 1000).rightJustified(6, '0') +
         "Z-" + randomTempName().mid(9, 8);
}

BackupRun::BackupRun(RunKind kind, bool full, QStringView signature)
    : kind_(kind), full_(full), signature_(signature.toString()) {}

BackupRun::~BackupRun() = default;

int BackupRun::start() {
  if (const int e = store_.open(true))
    return e;
  const QByteArray name = nameForTests ? nameForTests() : newRunName();
  // A name already taken (by a link or anything else) is never entered.
  if (::mkdirat(store_.fd(), name.constData(), 0700) != 0)
    return errno;
  platform::UniqueFd run(
      ::openat(store_.fd(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.ok())
    return errno;
  platform::UniqueFd manifest(::openat(
      run.get(), kManifest, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600));
  if (!manifest.ok())
    return errno;
  // Held while the run lives: the next run leaves a run that is still going alone.
  if (::flock(manifest.get(), LOCK_EX | LOCK_NB) != 0)
    return errno;
  run_ = std::move(run);
  manifest_ = std::move(manifest);
  name_ = name;

  QJsonObject header{{u"type"_s, u"run"_s},
                     {u"format"_s, 1},
                     {u"kind"_s, kind_ == RunKind::Clean ? u"clean"_s : u"restore"_s},
                     {u"started"_s, nowText()},
                     {u"signature"_s, signature_},
                     {u"uid"_s, qint64(::geteuid())},
                     {u"full"_s, full_}};
  // Relative paths count from it, whatever its length. A folder that cannot be
  // named (removed, or above it one that may not be read) is not recorded, and
  // the run then keeps no relative path: restore would not know where it is.
  if (char* cwd = ::getcwd(nullptr, 0)) {
    cwd_ = QByteArray(cwd);
    std::free(cwd);
    platform::putPath(header, cwd_, QStringLiteral("cwd"));
  }
  if (const int e = append(header, true))
    return e;
  if (::fsync(run_.get()) != 0 || ::fsync(store_.fd()) != 0)
    return errno;
  return 0;
}

int BackupRun::append(const QJsonObject& record, bool sync) {
  if (!manifest_.ok())
    return EBADF;
  const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
  if (const int e =
          writeAll(plainSteps(), Step::WriteBackup, manifest_.get(),
                   reinterpret_cast<const uint8_t*>(line.constData()), std::size_t(line.size())))
    return e;
  return sync && ::fdatasync(manifest_.get()) != 0 ? errno : 0;
}

QByteArray BackupRun::copyName(int n) {
  return QByteArray::number(n).rightJustified(6, '0');
}

int BackupRun::next(const QByteArray& path) {
  ++n_;
  Entry e;
  e.n = n_;
  e.path = path;
  entries_.push_back(std::move(e));
  return n_;
}

BackupRun::Entry* BackupRun::entry(int file) {
  const int n = file < 0 ? n_ : file;
  for (Entry& e : entries_) {
    if (e.n == n)
      return &e;
  }
  return nullptr;
}

int BackupRun::writeCopy(Entry& entry, int fd, const Steps& steps, bool flush) {
  const QByteArray name = copyName(entry.n);
  platform::UniqueFd copy(::openat(run_.get(), name.constData(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!copy.ok())
    return errno;
  platform::Sha256 original;
  platform::Sha256 cleaned;
  StreamSpec how{.from = fd,
                 .readStep = Step::ReadOriginal,
                 .to = copy.get(),
                 .writeStep = Step::WriteBackup,
                 .copyOnly = true};
  how.readHash = &original;
  if (kind_ == RunKind::Clean)
    how.cleanedHash = &cleaned;
  how.encoding = steps.options().encoding;
  how.lineEnds = steps.options().lineEnds;
  off_t written = 0;
  int e = stream(steps, 128 * 1024, signature_, how, written);
  // A copy whose hash could not be made could never be checked before it is
  // put back: no copy, no clean.
  if (e == 0) {
    entry.sha = original.result().toHex();
    if (kind_ == RunKind::Clean)
      entry.cleanedSha = cleaned.result().toHex();
    if (entry.sha.isEmpty() || (kind_ == RunKind::Clean && entry.cleanedSha.isEmpty()))
      e = EIO;
  }
  if (e == 0 && flush)
    e = syncFile(steps, Step::SyncBackup, copy.get());
  // Held: its writing starts now, while the next files are read; the flush of
  // the batch then waits for less.
  if (e == 0 && !flush)
    startWriting(copy.get());
  if (e == 0 && flush && ::fsync(run_.get()) != 0)
    e = errno;
  if (e != 0) {
    ::unlinkat(run_.get(), name.constData(), 0);
    entry.sha.clear();
    entry.cleanedSha.clear();
    return e;
  }
  entry.hasCopy = true;
  return 0;
}

int BackupRun::before(int file, int fd, const struct stat& st, const QByteArray& tempName,
                      const Steps& steps) {
  return keep(file, fd, st, tempName, steps, false);
}

int BackupRun::beforeQuarantine(int file, int fd, const struct stat& st, const QByteArray& tempName,
                                const Steps& steps) {
  // Without a copy there would be no way back.
  if (!full_)
    return ENOTSUP;
  return keep(file, fd, st, tempName, steps, true);
}

int BackupRun::keep(int file, int fd, const struct stat& st, const QByteArray& tempName,
                    const Steps& steps, bool quarantine) {
  Entry* e = entry(file);
  if (!e)
    return EINVAL;
  if (!run_.ok()) {
    if (const int err = start())
      return err;
  }
  if (!e->path.startsWith('/') && cwd_.isEmpty())
    return ENOENT;
  // A quarantined file's name goes as soon as this returns: nothing is held.
  const bool hold = hold_ && !quarantine;
  if (full_) {
    if (const int err = writeCopy(*e, fd, steps, !hold))
      return err;
  }
  QJsonObject r{{u"type"_s, u"file"_s},
                {u"n"_s, e->n},
                {u"dev"_s, identityValue(st.st_dev)},
                {u"ino"_s, identityValue(st.st_ino)},
                {u"size"_s, qint64(st.st_size)},
                {u"mode"_s, qint64(st.st_mode)},
                {u"uid"_s, qint64(st.st_uid)},
                {u"gid"_s, qint64(st.st_gid)},
                {u"mtime"_s, qint64(st.st_mtim.tv_sec)},
                {u"mtime_nsec"_s, qint64(st.st_mtim.tv_nsec)},
                {u"temp"_s, QString::fromLatin1(tempName)}};
  platform::putPath(r, e->path);
  if (quarantine)
    r.insert(u"action"_s, u"quarantine"_s);
  if (e->hasCopy) {
    r.insert(u"copy"_s, QString::fromLatin1(copyName(e->n)));
    r.insert(u"sha256"_s, QString::fromLatin1(e->sha));
    if (!e->cleanedSha.isEmpty())
      r.insert(u"sha256_cleaned"_s, QString::fromLatin1(e->cleanedSha));
  }
  if (hold) {
    held_ += QJsonDocument(r).toJson(QJsonDocument::Compact) + '\n';
    heldFiles_.push_back(e->n);
    e->heldSteps = &steps;
    e->recorded = true;
    return 0;
  }
  if (const int err = append(r, true)) {
    if (e->hasCopy)
      ::unlinkat(run_.get(), copyName(e->n).constData(), 0);
    e->hasCopy = false;
    return err;
  }
  e->recorded = true;
  return 0;
}

void BackupRun::holdSyncs(bool hold) {
  hold_ = hold;
  if (hold || heldFiles_.empty())
    return;
  // Held and never flushed: those files were never touched.
  for (const int n : heldFiles_) {
    if (Entry* e = entry(n)) {
      if (e->hasCopy)
        ::unlinkat(run_.get(), copyName(n).constData(), 0);
      e->hasCopy = false;
      e->recorded = false;
      e->heldSteps = nullptr;
    }
  }
  held_.clear();
  heldFiles_.clear();
}

Keeper::HeldSync BackupRun::syncHeld() {
  if (heldFiles_.empty())
    return {};
  const std::vector<int> files = std::move(heldFiles_);
  const QByteArray records = std::move(held_);
  heldFiles_.clear();
  held_.clear();
  bool copies = false;
  for (const int n : files) {
    if (const Entry* e = entry(n))
      copies = copies || e->hasCopy;
  }
  // The records in one write; the copies, the run folder and the manifest in one
  // flush of the store's file system (see clean/batch.cpp for why syncfs).
  int err =
      writeAll(plainSteps(), Step::WriteBackup, manifest_.get(),
               reinterpret_cast<const uint8_t*>(records.constData()), std::size_t(records.size()));
  if (err == 0 && (copies ? ::syncfs(run_.get()) : ::fdatasync(manifest_.get())) != 0)
    err = errno;
  if (err != 0)
    return {0, err};
  for (std::size_t i = 0; i < files.size(); ++i) {
    Entry* e = entry(files[i]);
    if (!e)
      continue;
    const Steps* held = std::exchange(e->heldSteps, nullptr);
    if (e->hasCopy && held) {
      if (const int injected = held->injected(Step::SyncBackup))
        return {int(i), injected};
    }
  }
  return {};
}

int BackupRun::beforeInPlace(int file, int fd, const struct stat&, const Steps& steps,
                             platform::UniqueFd& copy, QByteArray& copyPath) {
  Entry* e = entry(file);
  if (!run_.ok() || !e)
    return EBADF;
  if (!e->hasCopy) {
    if (const int err = writeCopy(*e, fd, steps, true))
      return err;
  }
  const QByteArray name = copyName(e->n);
  // The hash lets the next run check the copy before it writes it back.
  if (const int err = append({{u"type"_s, u"in_place"_s},
                              {u"n"_s, e->n},
                              {u"copy"_s, QString::fromLatin1(name)},
                              {u"sha256"_s, QString::fromLatin1(e->sha)}},
                             true))
    return err;
  copy.reset(::openat(run_.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.ok())
    return errno;
  copyPath = store_.path() + '/' + name_ + '/' + name;
  e->inPlace = true;
  return 0;
}

void BackupRun::outcome(int file, const CleanResult& result, const platform::FileIdentity& after,
                        const QString& reason) {
  Entry* e = entry(file);
  if (!e || (!run_.ok() && (!full_ || start() != 0)))
    return;
  QString what = kind_ == RunKind::Restore                     ? u"restored"_s
                 : e->sha.isEmpty() || e->sha != e->cleanedSha ? u"cleaned"_s
                                                               : u"unchanged"_s;
  QJsonObject r{{u"type"_s, u"outcome"_s}, {u"n"_s, e->n}};
  if (!result.ok()) {
    what = u"failed"_s;
    r.insert(u"reason"_s, reason.isEmpty() ? reasonText(result.failure()) : reason);
    damaged_ = damaged_ || result.failure().outcome == Outcome::Damaged;
  } else if (result.placement() == Placement::Quarantined) {
    // No file is left at the path: nothing to record after.
    what = u"quarantined"_s;
  } else {
    r.insert(u"dev"_s, identityValue(after.device));
    r.insert(u"ino"_s, identityValue(after.inode));
  }
  r.insert(u"outcome"_s, what);
  if (e->sha.isEmpty() && !e->hasCopy && !e->inPlace)
    platform::putPath(r, e->path);
  // An in-place rewrite that is known to be done must not be rolled back.
  if (append(r, e->inPlace) == 0 && e->inPlace && !full_ && result.ok())
    ::unlinkat(run_.get(), copyName(e->n).constData(), 0);
  entries_.erase(entries_.begin() + (e - entries_.data()));
}

void BackupRun::notReached(int file) {
  Entry* e = entry(file);
  if (!e)
    return;
  // A file the run never recorded needs no word of it.
  if (run_.ok() && e->recorded) {
    if (e->hasCopy)
      ::unlinkat(run_.get(), copyName(e->n).constData(), 0);
    (void)append({{u"type"_s, u"outcome"_s}, {u"n"_s, e->n}, {u"outcome"_s, u"not-reached"_s}},
                 false);
  }
  entries_.erase(entries_.begin() + (e - entries_.data()));
}

void BackupRun::finish(bool stopped) {
  if (!run_.ok())
    return;
  (void)append({{u"type"_s, u"end"_s}, {u"stopped"_s, stopped}, {u"ended"_s, nowText()}}, true);
  if (!full_ && !damaged_) {
    manifest_.reset();
    run_.reset();
    (void)removeRun(store_.fd(), name_);
  }
}

}  // namespace clean
