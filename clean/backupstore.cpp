#include "clean/backupstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QList>

#include <cerrno>
#include <cstdlib>

#include "clean/failures.h"
#include "clean/fileio.h"
#include "clean/storelayout.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"

using namespace Qt::StringLiterals;

namespace clean {

std::function<QByteArray()> BackupRun::nameForTests;

namespace {

QString nowText() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// Opens (creating with 0700 when asked) the folder `name` below `at`, never
// through a link, and makes sure it is the running user's and closed to others.
int openOwnFolder(int at, const char* name, bool create, platform::UniqueFd& out) {
  if (create && ::mkdirat(at, name, 0700) != 0 && errno != EEXIST)
    return errno;
  out.reset(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!out.ok())
    return errno == ENOTDIR ? ELOOP : errno;
  struct stat st;
  if (::fstat(out.get(), &st) != 0)
    return errno;
  if (st.st_uid != ::geteuid())
    return EPERM;
  if ((st.st_mode & 077) != 0 && ::fchmod(out.get(), 0700) != 0)
    return errno;
  return 0;
}

// mkdir -p for the user's own data folder (0700 for each folder made).
void makeParents(const QByteArray& path) {
  for (qsizetype i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/')
      ::mkdir(path.left(i).constData(), 0700);
  }
}

QJsonValue bigNumber(quint64 v) {
  return QString::number(v);
}

}  // namespace

QByteArray backupStorePath() {
  QByteArray base = qgetenv("XDG_DATA_HOME");
  if (!base.startsWith('/')) {
    const QByteArray home = qgetenv("HOME");
    if (!home.startsWith('/'))
      return {};
    base = home + "/.local/share";
  }
  while (base.size() > 1 && base.endsWith('/'))
    base.chop(1);
  return base + "/tervane/backups";
}

int Store::open(bool create) {
  path_ = backupStorePath();
  if (path_.isEmpty())
    return ENOENT;
  const QByteArray base = path_.left(path_.size() - qsizetype(sizeof "/tervane/backups") + 1);
  if (create)
    makeParents(base);
  // The data folder itself may lead through links the user set up (a home on
  // another disk); below it, nothing does.
  platform::UniqueFd baseFd(::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!baseFd.ok())
    return errno;
  platform::UniqueFd tervane;
  if (const int e = openOwnFolder(baseFd.get(), "tervane", create, tervane))
    return e;
  return openOwnFolder(tervane.get(), "backups", create, fd_);
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

BackupRun::BackupRun(RunKind kind, bool full, QStringView gjz)
    : kind_(kind), full_(full), gjz_(gjz.toString()) {}

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

  char cwd[4096];
  QJsonObject header{{u"type"_s, u"run"_s},
                     {u"format"_s, 1},
                     {u"kind"_s, kind_ == RunKind::Clean ? u"clean"_s : u"restore"_s},
                     {u"started"_s, nowText()},
                     {u"signature"_s, gjz_},
                     {u"uid"_s, qint64(::geteuid())},
                     {u"full"_s, full_}};
  platform::putPath(header, ::getcwd(cwd, sizeof cwd) ? QByteArray(cwd) : QByteArray("/"),
                    QStringLiteral("cwd"));
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
  Options none;
  Steps steps(none);
  if (const int e =
          writeAll(steps, Step::WriteBackup, manifest_.get(),
                   reinterpret_cast<const uint8_t*>(line.constData()), std::size_t(line.size())))
    return e;
  return sync && ::fdatasync(manifest_.get()) != 0 ? errno : 0;
}

QByteArray BackupRun::copyName() const {
  return QByteArray::number(n_).rightJustified(6, '0');
}

void BackupRun::next(const QByteArray& path) {
  ++n_;
  path_ = path;
  hasCopy_ = false;
  inPlace_ = false;
  sha_.clear();
  cleanedSha_.clear();
}

int BackupRun::writeCopy(int fd, const Steps& steps) {
  const QByteArray name = copyName();
  platform::UniqueFd copy(::openat(run_.get(), name.constData(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!copy.ok())
    return errno;
  QCryptographicHash original(QCryptographicHash::Sha256);
  QCryptographicHash cleaned(QCryptographicHash::Sha256);
  StreamSpec how{.from = fd,
                 .readStep = Step::ReadOriginal,
                 .to = copy.get(),
                 .writeStep = Step::WriteBackup,
                 .copyOnly = true};
  how.readHash = &original;
  if (kind_ == RunKind::Clean)
    how.cleanedHash = &cleaned;
  how.encoding = steps.options().encoding;
  off_t written = 0;
  int e = stream(steps, 128 * 1024, gjz_, how, written);
  if (e == 0)
    e = syncFile(steps, Step::SyncBackup, copy.get());
  if (e == 0 && ::fsync(run_.get()) != 0)
    e = errno;
  if (e != 0) {
    ::unlinkat(run_.get(), name.constData(), 0);
    return e;
  }
  sha_ = original.result().toHex();
  if (kind_ == RunKind::Clean)
    cleanedSha_ = cleaned.result().toHex();
  hasCopy_ = true;
  return 0;
}

int BackupRun::before(int fd, const struct stat& st, const QByteArray& tempName,
                      const Steps& steps) {
  if (!run_.ok()) {
    if (const int e = start())
      return e;
  }
  if (full_) {
    if (const int e = writeCopy(fd, steps))
      return e;
  }
  QJsonObject r{{u"type"_s, u"file"_s},
                {u"n"_s, n_},
                {u"dev"_s, bigNumber(st.st_dev)},
                {u"ino"_s, bigNumber(st.st_ino)},
                {u"size"_s, qint64(st.st_size)},
                {u"mode"_s, qint64(st.st_mode)},
                {u"uid"_s, qint64(st.st_uid)},
                {u"gid"_s, qint64(st.st_gid)},
                {u"mtime"_s, qint64(st.st_mtim.tv_sec)},
                {u"mtime_nsec"_s, qint64(st.st_mtim.tv_nsec)},
                {u"temp"_s, QString::fromLatin1(tempName)}};
  platform::putPath(r, path_);
  if (hasCopy_) {
    r.insert(u"copy"_s, QString::fromLatin1(copyName()));
    r.insert(u"sha256"_s, QString::fromLatin1(sha_));
    if (!cleanedSha_.isEmpty())
      r.insert(u"sha256_cleaned"_s, QString::fromLatin1(cleanedSha_));
  }
  if (const int e = append(r, true)) {
    if (hasCopy_)
      ::unlinkat(run_.get(), copyName().constData(), 0);
    hasCopy_ = false;
    return e;
  }
  return 0;
}

int BackupRun::beforeInPlace(int fd, const struct stat&, const Steps& steps,
                             platform::UniqueFd& copy, QByteArray& copyPath) {
  if (!run_.ok())
    return EBADF;
  if (!hasCopy_) {
    if (const int e = writeCopy(fd, steps))
      return e;
  }
  const QByteArray name = copyName();
  if (const int e = append(
          {{u"type"_s, u"in_place"_s}, {u"n"_s, n_}, {u"copy"_s, QString::fromLatin1(name)}}, true))
    return e;
  copy.reset(::openat(run_.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.ok())
    return errno;
  copyPath = store_.path() + '/' + name_ + '/' + name;
  inPlace_ = true;
  return 0;
}

void BackupRun::outcome(const CleanResult& result, const platform::FileIdentity& after,
                        const QString& reason) {
  if (!run_.ok() && (!full_ || start() != 0))
    return;
  QString what = kind_ == RunKind::Restore               ? u"restored"_s
                 : sha_.isEmpty() || sha_ != cleanedSha_ ? u"cleaned"_s
                                                         : u"unchanged"_s;
  QJsonObject r{{u"type"_s, u"outcome"_s}, {u"n"_s, n_}};
  if (!result.ok()) {
    what = u"failed"_s;
    r.insert(u"reason"_s, reason.isEmpty() ? reasonText(result.failure()) : reason);
    damaged_ = damaged_ || result.failure().outcome == Outcome::Damaged;
  } else {
    r.insert(u"dev"_s, bigNumber(after.device));
    r.insert(u"ino"_s, bigNumber(after.inode));
  }
  r.insert(u"outcome"_s, what);
  if (sha_.isEmpty() && !hasCopy_ && !inPlace_)
    platform::putPath(r, path_);
  // An in-place rewrite that is known to be done must not be rolled back.
  if (append(r, inPlace_) == 0 && inPlace_ && !full_ && result.ok())
    ::unlinkat(run_.get(), copyName().constData(), 0);
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
