// The flushes of files cleaned together, seen where they reach the system: this
// program defines its own syncfs, fsync, renameat and openat, which the
// engine's calls resolve to. Each notes what is on disk at that moment, so the
// order that keeps every file old or new after a crash is checked on what
// really happened, not on what the test hooks hear.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdarg>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "clean/backupstore.h"
#include "clean/batch.h"
#include "clean/storelayout.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

struct Event {
  enum Kind { SyncFs, Fsync, CreateTemp, Rename, DataSync, Unlink } kind;
  QByteArray name;                     // CreateTemp, Rename: the new file's name; Unlink: the name
                                       // removed; Fsync: the path of what was flushed
  off_t size = 0;                      // Rename: the new file's size then
  dev_t dev = 0;                       // Fsync: what was flushed; SyncFs: its file system;
  ino_t ino = 0;                       // CreateTemp: its folder's file system
  QByteArray manifest;                 // SyncFs: the manifests then; DataSync: the
                                       // manifest flushed
  std::map<QByteArray, off_t> temps;   // SyncFs: every new file in the tree, with its size
  std::map<QByteArray, off_t> copies;  // SyncFs: every copy in the store, with its size
};

bool recording = false;
// The engine writes new files on several threads: the calls are noted one at a time.
std::mutex eventsLock;
std::vector<Event> events;
QString treeRoot;
int failSyncFs = 0;      // the n-th syncfs fails with EIO (0: none)
dev_t failFsyncDev = 0;  // an fsync of this folder fails with EIO
ino_t failFsyncIno = 0;

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

QString storePath() {
  return QString::fromLocal8Bit(clean::backupStorePath());
}

Event snapshot() {
  Event e{Event::SyncFs, {}, 0, 0, 0, {}, {}, {}};
  QDirIterator tree(treeRoot, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
  while (tree.hasNext()) {
    const QFileInfo f(tree.next());
    if (f.fileName().startsWith(u".tervane-"_s))
      e.temps[QFile::encodeName(f.fileName())] = f.size();
  }
  QDirIterator store(storePath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (store.hasNext()) {
    const QFileInfo f(store.next());
    if (f.fileName() == QLatin1StringView(clean::kManifest)) {
      QFile m(f.filePath());
      if (m.open(QIODevice::ReadOnly))
        e.manifest += m.readAll();
    } else {
      e.copies[QFile::encodeName(f.fileName())] = f.size();
    }
  }
  return e;
}

}  // namespace

extern "C" int syncfs(int fd) {
  static const auto next = real<int (*)(int)>("syncfs");
  if (!recording)
    return next(fd);
  std::lock_guard lock(eventsLock);
  recording = false;
  Event e = snapshot();
  recording = true;
  struct stat st {};
  ::fstat(fd, &st);
  e.dev = st.st_dev;
  events.push_back(std::move(e));
  if (failSyncFs > 0 && --failSyncFs == 0) {
    errno = EIO;
    return -1;
  }
  return next(fd);
}

// The path a descriptor was opened with.
QByteArray pathOf(int fd) {
  char buf[4096];
  const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
  const ssize_t n = ::readlink(link.constData(), buf, sizeof buf);
  return n > 0 ? QByteArray(buf, n) : QByteArray();
}

extern "C" int fsync(int fd) {
  static const auto next = real<int (*)(int)>("fsync");
  if (recording) {
    struct stat st {};
    ::fstat(fd, &st);
    const QByteArray path = pathOf(fd);
    std::lock_guard lock(eventsLock);
    events.push_back({Event::Fsync, path, 0, st.st_dev, st.st_ino, {}, {}, {}});
    if (st.st_dev == failFsyncDev && st.st_ino == failFsyncIno) {
      errno = EIO;
      return -1;
    }
  }
  return next(fd);
}

extern "C" int fdatasync(int fd) {
  static const auto next = real<int (*)(int)>("fdatasync");
  const int r = next(fd);
  if (const QByteArray path = pathOf(fd);
      recording && path.endsWith(QByteArray("/") + clean::kManifest)) {
    QByteArray content;
    const int in = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    char buf[65536];
    ssize_t n;
    while (in >= 0 && (n = ::read(in, buf, sizeof buf)) > 0)
      content.append(buf, n);
    if (in >= 0)
      ::close(in);
    std::lock_guard lock(eventsLock);
    events.push_back({Event::DataSync, {}, 0, 0, 0, content, {}, {}});
  }
  return r;
}

extern "C" int unlinkat(int dirfd, const char* path, int flags) {
  static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
  if (recording) {
    std::lock_guard lock(eventsLock);
    events.push_back({Event::Unlink, path, 0, 0, 0, {}, {}, {}});
  }
  return next(dirfd, path, flags);
}

extern "C" int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
  if (recording) {
    struct stat st {};
    ::fstatat(olddirfd, oldpath, &st, AT_SYMLINK_NOFOLLOW);
    std::lock_guard lock(eventsLock);
    events.push_back({Event::Rename, oldpath, st.st_size, 0, 0, {}, {}, {}});
  }
  return next(olddirfd, oldpath, newdirfd, newpath);
}

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = mode_t(va_arg(ap, int));
    va_end(ap);
  }
  if (recording && (flags & O_CREAT) && QByteArray(path).startsWith(".tervane-")) {
    struct stat folder {};
    ::fstat(dirfd, &folder);
    std::lock_guard lock(eventsLock);
    events.push_back({Event::CreateTemp, path, 0, folder.st_dev, 0, {}, {}, {}});
  }
  return next(dirfd, path, flags, mode);
}

namespace {

const QString kSig = u"<iframe src=x width=0>"_s;
constexpr int kFolders = 3;
constexpr int kPerFolder = 10;

class BatchSync : public ::testing::Test {
 protected:
  BatchSync() {
    treeRoot = QString::fromLocal8Bit(t.abs(""));
    for (int d = 0; d < kFolders; ++d) {
      for (int i = 0; i < kPerFolder; ++i) {
        const QByteArray rel = "d" + QByteArray::number(d) + "/p" + QByteArray::number(i) + ".htm";
        t.write(rel, "<p>" + QByteArray("x").repeated(100 * (i + 1)) + kSig.toUtf8() + "</p>\n");
        rels.push_back(rel);
      }
    }
    events.clear();
  }
  ~BatchSync() override {
    recording = false;
    failSyncFs = 0;
    failFsyncDev = 0;
    failFsyncIno = 0;
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }

  // Cleans every file of the tree (or `paths`) as one batch, recording what
  // reaches the system. `full`: with backups; otherwise only the journal. A
  // file the batch does alone (rewritten in place) is committed by itself.
  std::vector<clean::Batch::Done> cleanAll(std::vector<QByteArray> paths = {}, bool full = true) {
    if (paths.empty()) {
      for (const QByteArray& rel : rels)
        paths.push_back(t.abs(rel));
    }
    clean::BackupRun run(clean::RunKind::Clean, full, kSig);
    clean::Options o;
    o.keeper = &run;
    std::vector<clean::Batch::Done> done;
    std::vector<int> numbers;
    recording = true;
    {
      clean::Batch batch(kSig, o);
      for (const QByteArray& path : paths) {
        numbers.push_back(run.next(path));
        clean::Batch::Add added = batch.add(path, std::nullopt, numbers.back());
        if (added.added == clean::Batch::Added::Later) {
          for (const auto& d : batch.commit())
            done.push_back(d);
          added = batch.add(path, std::nullopt, numbers.back());
        }
        EXPECT_EQ(added.added, clean::Batch::Added::Yes) << path.constData();
      }
      for (const auto& d : batch.commit())
        done.push_back(d);
    }
    for (std::size_t i = 0; i < done.size(); ++i) {
      if (done[i].kind == clean::Batch::Done::Kind::NotReached)
        run.notReached(numbers[i]);
      else
        run.outcome(numbers[i], done[i].result(), done[i].cleanedAs);
    }
    run.finish(false);
    recording = false;
    return done;
  }

  TempTree t;
  std::vector<QByteArray> rels;
};

TEST_F(BatchSync, CopiesAndRecordsAreOnDiskBeforeAnyNewFileAndNewFilesBeforeTheirRename) {
  const std::vector<clean::Batch::Done> done = cleanAll();
  ASSERT_EQ(done.size(), rels.size());
  for (const auto& d : done)
    ASSERT_EQ(d.kind, clean::Batch::Done::Kind::Cleaned);

  int temps = 0;
  int renames = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    if (e.kind == Event::CreateTemp) {
      ++temps;
      // A flush before it saw the record that names this new file, and the
      // copy that record names, whole.
      bool recorded = false;
      for (std::size_t j = 0; j < i && !recorded; ++j) {
        if (events[j].kind != Event::SyncFs)
          continue;
        for (const QByteArray& line : events[j].manifest.split('\n')) {
          const QJsonObject r = QJsonDocument::fromJson(line).object();
          if (r.value(u"temp"_s).toString().toUtf8() != e.name)
            continue;
          const auto copy = events[j].copies.find(r.value(u"copy"_s).toString().toUtf8());
          recorded =
              copy != events[j].copies.end() && copy->second == r.value(u"size"_s).toInteger();
        }
      }
      EXPECT_TRUE(recorded) << "new file " << e.name.constData()
                            << " made before its record and copy were flushed";
    } else if (e.kind == Event::Rename) {
      ++renames;
      // A flush before the rename saw the new file at the size it is renamed with.
      bool flushed = false;
      for (std::size_t j = 0; j < i; ++j) {
        if (events[j].kind != Event::SyncFs)
          continue;
        const auto temp = events[j].temps.find(e.name);
        flushed = flushed || (temp != events[j].temps.end() && temp->second == e.size);
      }
      EXPECT_TRUE(flushed) << "new file " << e.name.constData() << " renamed before it was flushed";
      // Its folder is flushed after it.
    }
  }
  EXPECT_EQ(temps, int(rels.size()));
  EXPECT_EQ(renames, int(rels.size()));

  // Each folder is flushed after the last rename of a file in it.
  for (int d = 0; d < kFolders; ++d) {
    struct stat folder {};
    ASSERT_EQ(::stat(t.abs("d" + QByteArray::number(d)).constData(), &folder), 0);
    long lastRename = -1;
    long lastSync = -1;
    int seen = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].kind == Event::Rename && seen / kPerFolder == d)
        lastRename = long(i);
      if (events[i].kind == Event::Rename)
        ++seen;
      if (events[i].kind == Event::Fsync && events[i].dev == folder.st_dev &&
          events[i].ino == folder.st_ino)
        lastSync = long(i);
    }
    EXPECT_GT(lastSync, lastRename) << "folder d" << d << " not flushed after its renames";
  }
  for (std::size_t i = 0; i < rels.size(); ++i)
    EXPECT_FALSE(t.read(rels[i]).contains(kSig.toUtf8())) << rels[i].constData();
}

TEST_F(BatchSync, AFailedFlushOfTheNewFilesChangesNoFileAndLeavesNoNewFile) {
  std::vector<QByteArray> before;
  for (const QByteArray& rel : rels)
    before.push_back(t.read(rel));
  failSyncFs = 2;  // the first flushes the copies, the second the new files
  const std::vector<clean::Batch::Done> done = cleanAll();

  ASSERT_EQ(done.size(), rels.size());
  EXPECT_EQ(done[0].kind, clean::Batch::Done::Kind::Failed);
  EXPECT_EQ(done[0].failure.error, EIO);
  EXPECT_EQ(done[0].failure.outcome, clean::Outcome::Unchanged);
  for (std::size_t i = 1; i < done.size(); ++i)
    EXPECT_EQ(done[i].kind, clean::Batch::Done::Kind::NotReached) << i;
  for (std::size_t i = 0; i < rels.size(); ++i)
    EXPECT_EQ(t.read(rels[i]), before[i]) << rels[i].constData();
  EXPECT_TRUE(snapshot().temps.empty());
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const Event& e) { return e.kind == Event::Rename; }),
            0);
}

TEST_F(BatchSync, AFailedFlushOfAFolderNamesTheFilesRenamedUnderIt) {
  struct stat folder {};
  ASSERT_EQ(::stat(t.abs("d1").constData(), &folder), 0);
  failFsyncDev = folder.st_dev;
  failFsyncIno = folder.st_ino;
  const std::vector<clean::Batch::Done> done = cleanAll();

  ASSERT_EQ(done.size(), rels.size());
  for (std::size_t i = 0; i < done.size(); ++i) {
    const auto kind = done[i].kind;
    if (i < kPerFolder) {
      EXPECT_EQ(kind, clean::Batch::Done::Kind::Cleaned) << i;
    } else if (i == kPerFolder) {
      ASSERT_EQ(kind, clean::Batch::Done::Kind::Failed);
      EXPECT_EQ(done[i].failure.outcome, clean::Outcome::ReplacedUnsynced);
      EXPECT_EQ(done[i].failure.alsoReplaced, kPerFolder - 1);
    } else if (i < 2 * kPerFolder) {
      EXPECT_EQ(kind, clean::Batch::Done::Kind::CleanedPastFailure) << i;
    } else {
      EXPECT_EQ(kind, clean::Batch::Done::Kind::NotReached) << i;
    }
  }
  // The third folder was never touched.
  for (std::size_t i = 2 * kPerFolder; i < rels.size(); ++i)
    EXPECT_TRUE(t.read(rels[i]).contains(kSig.toUtf8())) << rels[i].constData();
  EXPECT_TRUE(snapshot().temps.empty());
}

// A run without backups keeps a copy only of a file rewritten in place: the
// copy, then the run folder that names it, are on disk before the record that
// lets the next run roll the file back; and the record of the file's outcome is
// on disk before that copy goes.
TEST_F(BatchSync, TheInPlaceCopyAndItsFolderAreFlushedBeforeItsRecordAndOutlastTheOutcome) {
  ASSERT_EQ(::link(t.abs(rels[3]).constData(), t.abs("d0/second-name.htm").constData()), 0);
  const std::vector<clean::Batch::Done> done = cleanAll({}, false);
  ASSERT_EQ(done.size(), rels.size());
  ASSERT_EQ(done[3].kind, clean::Batch::Done::Kind::Cleaned);
  ASSERT_EQ(done[3].placement, clean::Placement::InPlace);

  // The copy is named for the file's place in the list.
  const auto copyFlush = std::find_if(events.begin(), events.end(), [](const Event& e) {
    return e.kind == Event::Fsync && e.name.endsWith("/000003");
  });
  ASSERT_NE(copyFlush, events.end()) << "the copy was not flushed";
  const QByteArray runFolder = copyFlush->name.left(copyFlush->name.lastIndexOf('/'));
  auto hasRecord = [](const Event& e, const char* type) {
    for (const QByteArray& line : e.manifest.split('\n')) {
      const QJsonObject r = QJsonDocument::fromJson(line).object();
      if (r.value(u"type"_s).toString() == QLatin1StringView(type) && r.value(u"n"_s).toInt() == 3)
        return true;
    }
    return false;
  };
  const auto recorded = std::find_if(copyFlush, events.end(), [&](const Event& e) {
    return e.kind == Event::DataSync && hasRecord(e, "in_place");
  });
  ASSERT_NE(recorded, events.end()) << "the in-place record was never flushed";
  EXPECT_TRUE(std::any_of(copyFlush, recorded, [&](const Event& e) {
    return e.kind == Event::Fsync && e.name == runFolder;
  })) << "the run folder was not flushed between the copy and its record";

  const auto unlinked = std::find_if(recorded, events.end(), [](const Event& e) {
    return e.kind == Event::Unlink && e.name == "000003";
  });
  ASSERT_NE(unlinked, events.end()) << "the copy was not removed";
  EXPECT_TRUE(std::any_of(recorded, unlinked, [&](const Event& e) {
    return e.kind == Event::DataSync && hasRecord(e, "outcome");
  })) << "the copy went before the outcome was on disk";
}

// A batch whose folders lie on two file systems: the new files of each are
// flushed (its file system) before any of them is renamed.
TEST_F(BatchSync, EveryFileSystemOfABatchIsFlushedBeforeItsRenames) {
  // A second file system: memory, where the machine has one apart from the tree's.
  QTemporaryDir other(u"/dev/shm/tervane-batch-XXXXXX"_s);
  struct stat here {};
  struct stat there {};
  if (!other.isValid() || ::stat(t.abs("d0").constData(), &here) != 0 ||
      ::stat(QFile::encodeName(other.path()).constData(), &there) != 0 ||
      here.st_dev == there.st_dev)
    GTEST_SKIP() << "no second file system beside " << t.rootBytes().constData();
  std::vector<QByteArray> paths;
  for (int i = 0; i < 4; ++i) {
    paths.push_back(t.abs(rels[std::size_t(i)]));
    const QByteArray elsewhere = QFile::encodeName(other.path()) + "/q" + QByteArray::number(i);
    QFile f(QString::fromLocal8Bit(elsewhere));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("<p>" + kSig.toUtf8() + "</p>\n");
    f.close();
    paths.push_back(elsewhere);
  }
  const std::vector<clean::Batch::Done> done = cleanAll(paths);
  ASSERT_EQ(done.size(), paths.size());
  for (const auto& d : done)
    ASSERT_EQ(d.kind, clean::Batch::Done::Kind::Cleaned);
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind != Event::Rename)
      continue;
    const auto made = std::find_if(events.begin(), events.begin() + long(i), [&](const Event& e) {
      return e.kind == Event::CreateTemp && e.name == events[i].name;
    });
    ASSERT_NE(made, events.begin() + long(i));
    EXPECT_TRUE(
        std::any_of(made, events.begin() + long(i),
                    [&](const Event& e) { return e.kind == Event::SyncFs && e.dev == made->dev; }))
        << "new file " << events[i].name.constData()
        << " renamed before its file system was flushed";
  }
}

}  // namespace
