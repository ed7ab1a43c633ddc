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

#include <cstdarg>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "clean/backupstore.h"
#include "clean/batch.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

struct Event {
  enum Kind { SyncFs, Fsync, CreateTemp, Rename } kind;
  QByteArray name;  // CreateTemp, Rename: the new file's name
  off_t size = 0;   // Rename: the new file's size then
  dev_t dev = 0;    // Fsync: what was flushed
  ino_t ino = 0;
  QByteArray manifest;                 // SyncFs: the manifests then
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
    if (f.fileName() == u"manifest.jsonl"_s) {
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
  events.push_back(std::move(e));
  if (failSyncFs > 0 && --failSyncFs == 0) {
    errno = EIO;
    return -1;
  }
  return next(fd);
}

extern "C" int fsync(int fd) {
  static const auto next = real<int (*)(int)>("fsync");
  if (recording) {
    struct stat st {};
    ::fstat(fd, &st);
    std::lock_guard lock(eventsLock);
    events.push_back({Event::Fsync, {}, 0, st.st_dev, st.st_ino, {}, {}, {}});
    if (st.st_dev == failFsyncDev && st.st_ino == failFsyncIno) {
      errno = EIO;
      return -1;
    }
  }
  return next(fd);
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
    std::lock_guard lock(eventsLock);
    events.push_back({Event::CreateTemp, path, 0, 0, 0, {}, {}, {}});
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

  // Cleans every file of the tree as one batch, recording what reaches the system.
  std::vector<clean::Batch::Done> cleanAll() {
    clean::BackupRun run(clean::RunKind::Clean, true, kSig);
    clean::Options o;
    o.keeper = &run;
    std::vector<clean::Batch::Done> done;
    std::vector<int> numbers;
    recording = true;
    {
      clean::Batch batch(kSig, o);
      for (const QByteArray& rel : rels) {
        numbers.push_back(run.next(t.abs(rel)));
        const clean::Batch::Add added = batch.add(t.abs(rel), std::nullopt, numbers.back());
        EXPECT_EQ(added.added, clean::Batch::Added::Yes) << rel.constData();
      }
      done = batch.commit();
    }
    recording = false;
    for (std::size_t i = 0; i < done.size(); ++i) {
      if (done[i].kind == clean::Batch::Done::Kind::NotReached)
        run.notReached(numbers[i]);
      else
        run.outcome(numbers[i], done[i].result(), done[i].cleanedAs);
    }
    run.finish(false);
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

}  // namespace
