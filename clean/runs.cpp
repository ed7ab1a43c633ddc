// Reading the backup store: its runs, their manifests, and their removal.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cerrno>

#include "clean/backupstore.h"
#include "clean/storelayout.h"
#include "platform/pathjson.h"

using namespace Qt::StringLiterals;

namespace clean {
namespace {

QByteArray readAll(int fd) {
  QByteArray out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return out;
    out.append(buf, n);
  }
}

}  // namespace

std::vector<QByteArray> namesIn(int dirfd) {
  std::vector<QByteArray> names;
  DIR* d = ::fdopendir(::dup(dirfd));
  if (!d)
    return names;
  while (const dirent* e = ::readdir(d)) {
    const QByteArray n(e->d_name);
    if (n != "." && n != "..")
      names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

StoreLookup lookUpStore() {
  StoreLookup found;
  Store store;
  const int e = store.open(false);
  found.path = store.path();
  struct stat st;
  if (e == 0 && ::fstat(store.fd(), &st) == 0)
    found.identity = platform::identityOf(st);
  else if (e != 0 && e != ENOENT)
    found.refusal = e;
  return found;
}

std::vector<QByteArray> Store::runs() const {
  std::vector<QByteArray> out;
  for (const QByteArray& n : namesIn(fd_.get())) {
    struct stat st;
    if (!n.isEmpty() && n[0] >= '0' && n[0] <= '9' &&
        ::fstatat(fd_.get(), n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      out.push_back(n);
  }
  return out;
}

namespace {

// The latest record of file `n`, or null.
FileRecord* fileAt(RunManifest& m, int n) {
  for (auto it = m.files.rbegin(); it != m.files.rend(); ++it) {
    if (it->n == n)
      return &*it;
  }
  return nullptr;
}

void readHeader(RunManifest& m, const QJsonObject& o) {
  m.kind = o.value(u"kind").toString() == u"restore" ? RunKind::Restore : RunKind::Clean;
  m.started = o.value(u"started").toString();
  m.signature = o.value(u"signature").toString();
  m.full = o.value(u"full").toBool(true);
  m.cwd = platform::takePath(o, QStringLiteral("cwd")).value_or(QByteArray());
}

FileRecord fileRecord(const QJsonObject& o, int n) {
  FileRecord f;
  f.n = n;
  f.path = platform::takePath(o).value_or(QByteArray());
  f.dev = identityPart(o.value(u"dev"));
  f.ino = identityPart(o.value(u"ino"));
  f.size = o.value(u"size").toInteger();
  f.mode = uint(o.value(u"mode").toInteger());
  f.uid = uint(o.value(u"uid").toInteger());
  f.gid = uint(o.value(u"gid").toInteger());
  f.mtimeSec = o.value(u"mtime").toInteger();
  f.mtimeNsec = o.value(u"mtime_nsec").toInteger();
  f.sha256 = o.value(u"sha256").toString().toLatin1();
  f.sha256Cleaned = o.value(u"sha256_cleaned").toString().toLatin1();
  f.copy = o.value(u"copy").toString().toLatin1();
  f.temp = o.value(u"temp").toString().toLatin1();
  f.quarantine = o.value(u"action").toString() == u"quarantine";
  return f;
}

void readOutcome(RunManifest& m, const QJsonObject& o, int n) {
  FileRecord* f = fileAt(m, n);
  if (!f) {
    m.files.push_back(FileRecord{});
    f = &m.files.back();
    f->n = n;
    f->path = platform::takePath(o).value_or(QByteArray());
  }
  f->outcome = o.value(u"outcome").toString();
  f->reason = o.value(u"reason").toString();
  // Kept, never changed: the run stopped at an earlier file, and the copy went.
  if (f->outcome == u"not-reached")
    f->copy.clear();
  if (o.contains(u"ino"))
    f->after = platform::FileIdentity{identityPart(o.value(u"dev")), identityPart(o.value(u"ino"))};
}

// Takes one record; a line that is none (cut short by a crash) is passed over.
void readRecord(RunManifest& m, const QByteArray& line, bool& sawHeader) {
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject())
    return;
  const QJsonObject o = doc.object();
  const QString type = o.value(u"type").toString();
  const int n = o.value(u"n").toInt(-1);
  if (type == u"run") {
    sawHeader = true;
    readHeader(m, o);
  } else if (type == u"file") {
    m.files.push_back(fileRecord(o, n));
  } else if (type == u"in_place") {
    if (FileRecord* f = fileAt(m, n)) {
      f->inPlace = true;
      f->copy = o.value(u"copy").toString().toLatin1();
      f->copySha256 = o.value(u"sha256").toString().toLatin1();
    }
  } else if (type == u"outcome") {
    readOutcome(m, o, n);
  } else if (type == u"end") {
    m.ended = true;
  } else if (type == u"recovered") {
    m.recovered = true;
  } else if (type == u"restored") {
    m.restored = true;
  }
}

}  // namespace

std::optional<RunManifest> readRun(int storeFd, const QByteArray& name) {
  platform::UniqueFd run(
      ::openat(storeFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.ok())
    return std::nullopt;
  platform::UniqueFd manifest(::openat(run.get(), kManifest, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!manifest.ok())
    return std::nullopt;
  RunManifest m;
  m.name = name;
  bool sawHeader = false;
  for (const QByteArray& line : readAll(manifest.get()).split('\n'))
    readRecord(m, line, sawHeader);
  if (!sawHeader)
    return std::nullopt;
  for (const FileRecord& f : m.files) {
    struct stat st;
    if (!f.copy.isEmpty() &&
        ::fstatat(run.get(), f.copy.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      m.copyBytes += st.st_size;
  }
  for (const QByteArray& n : namesIn(run.get())) {
    struct stat st;
    if (::fstatat(run.get(), n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      m.storedBytes += qint64(st.st_blocks) * 512;
  }
  return m;
}

int appendMark(int manifest, QStringView type) {
  const QByteArray line =
      QJsonDocument(
          QJsonObject{{u"type"_s, type.toString()},
                      {u"at"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}})
          .toJson(QJsonDocument::Compact) +
      '\n';
  if (::write(manifest, line.constData(), std::size_t(line.size())) != line.size())
    return errno ? errno : EIO;
  return ::fdatasync(manifest) == 0 ? 0 : errno;
}

QByteArray absolutePath(const RunManifest& run, const FileRecord& file) {
  if (file.path.startsWith('/'))
    return file.path;
  if (!run.cwd.startsWith('/'))
    return {};
  return (run.cwd.endsWith('/') ? run.cwd : run.cwd + '/') + file.path;
}

QString shownTime(const QDateTime& started) {
  return started.toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss");
}

int removeRun(int storeFd, const QByteArray& name) {
  platform::UniqueFd run(
      ::openat(storeFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.ok())
    return errno;
  for (const QByteArray& n : namesIn(run.get())) {
    if (::unlinkat(run.get(), n.constData(), 0) != 0)
      return errno;
  }
  return ::unlinkat(storeFd, name.constData(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace clean
