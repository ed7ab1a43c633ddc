// Between the scan and the clean the tree changes: a listed file, or a folder on
// its path, is swapped for a link or for another file or folder. The clean
// cleans only the files the scan found, refuses and names any path that has come
// to lead elsewhere, writes nothing anywhere else and leaves no temporary file.
// Paths typed into the box, which no scan saw, are cleaned as before. Then a
// full disk, and results boxes that hold far too much or nonsense.
#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "engine/messages.h"
#include "hostile.h"
#include "plainwindowstate.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

const QString kDone = msg::kCleaned.toString();
// The clean removes the signature as it stands, in lower case.
const QByteArray kInfected =
    "<html><iframe src=http://x.example/ width=0 height=0></iframe></html>\r\n";
const QByteArray kCleaned = "<html></iframe></html>\r\n";

// Every file below `dir` with its content, links as "-> target".
QMap<QString, QByteArray> snapshot(const QByteArray& dir) {
  QMap<QString, QByteArray> files;
  QDirIterator it(platform::decodePath(dir),
                  QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo info = it.nextFileInfo();
    if (info.isSymLink()) {
      files.insert(info.filePath(), "-> " + info.symLinkTarget().toUtf8());
    } else if (info.isFile()) {
      QFile f(info.filePath());
      files.insert(info.filePath(), f.open(QIODevice::ReadOnly) ? f.readAll() : "?");
    } else {
      files.insert(info.filePath(), "<dir>");
    }
  }
  return files;
}

// Temporary files of the clean are named ".tervane-...".
QStringList leftovers(const QByteArray& dir) {
  QStringList found;
  QDirIterator it(platform::decodePath(dir), QDir::Files | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString p = it.next();
    if (QFileInfo(p).fileName().startsWith(u".tervane-"_s))
      found.append(p);
  }
  return found;
}

class CleanRaces : public ::testing::TestWithParam<int>, public hostile::ScanFixture {
 protected:
  CleanRaces() : hostile::ScanFixture(GetParam()), cleaner(w) {
    outside = QDir(outsideDir.path()).canonicalPath().toUtf8();
    t.write("a.asp", kInfected);
    t.write("sub/b.asp", kInfected);
    t.write("sub/c.asp", kInfected);
    t.write("z.asp", kInfected);
    QFile f(platform::decodePath(outside + "/b.asp"));
    if (f.open(QIODevice::WriteOnly))
      f.write(kInfected);
  }

  // Scans, checks the log, then lets `change` alter the tree and cleans.
  void scanThenClean(const std::function<void()>& change) {
    scan();
    ASSERT_EQ(logged(), (QStringList{u"a.asp"_s, u"z.asp"_s, u"sub/b.asp"_s, u"sub/c.asp"_s}));
    change();
    outsideBefore = snapshot(outside);
    cleaner.Command2_Click();
  }

  // The run cleaned a.asp and z.asp, then stopped at sub/b.asp with one message
  // naming it; sub/c.asp was not reached; nothing outside changed; no leftovers.
  void expectStoppedAtB(const QString& reasonPart) {
    EXPECT_EQ(w.cleaningLog(), t.path("a.asp") + u"\r\n"_s + kDone + u"\r\n"_s + t.path("z.asp") +
                                   u"\r\n"_s + kDone + u"\r\n"_s);
    ASSERT_EQ(w.messages.size(), 1);
    EXPECT_TRUE(w.messages[0].contains(u"文件："_s + t.path("sub/b.asp")))
        << w.messages[0].toStdString();
    EXPECT_TRUE(w.messages[0].contains(reasonPart)) << w.messages[0].toStdString();
    EXPECT_EQ(t.read("a.asp"), kCleaned);
    EXPECT_EQ(t.read("z.asp"), kCleaned);
    QFile c(platform::decodePath(cAt.isEmpty() ? t.abs("sub/c.asp") : cAt));
    ASSERT_TRUE(c.open(QIODevice::ReadOnly));
    EXPECT_EQ(c.readAll(), kInfected);
    EXPECT_EQ(snapshot(outside), outsideBefore);
    EXPECT_EQ(leftovers(t.rootBytes()), QStringList());
    EXPECT_EQ(leftovers(outside), QStringList());
  }

  QTemporaryDir outsideDir;
  QByteArray outside;
  QMap<QString, QByteArray> outsideBefore;
  QByteArray cAt;  // where sub/c.asp is, when it is no longer there
  Cleaner cleaner;
};

INSTANTIATE_TEST_SUITE_P(Threads, CleanRaces, ::testing::Values(1, 3),
                         [](const auto& p) { return "threads" + std::to_string(p.param); });

const QString kNotScanned = u"不是扫描时找到的那个文件"_s;

}  // namespace

TEST_P(CleanRaces, ListedFileSwappedForALinkIsRefused) {
  scanThenClean([&] {
    ::unlink(t.abs("sub/b.asp").constData());
    t.symlink(outside + "/b.asp", "sub/b.asp");
  });
  expectStoppedAtB(u"符号链接"_s);
}

TEST_P(CleanRaces, ListedFileSwappedForAnotherFileIsRefused) {
  scanThenClean([&] {
    t.write("sub/new.tmp", kInfected + "another file");
    ASSERT_EQ(::rename(t.abs("sub/new.tmp").constData(), t.abs("sub/b.asp").constData()), 0);
  });
  expectStoppedAtB(kNotScanned);
  EXPECT_EQ(t.read("sub/b.asp"), kInfected + "another file");
}

TEST_P(CleanRaces, ListedFileSwappedForAHardLinkToAFileOutsideIsRefused) {
  // A file with two names is rewritten in place, so cleaning this one would
  // rewrite the file outside.
  scanThenClean([&] {
    ::unlink(t.abs("sub/b.asp").constData());
    ASSERT_EQ(::link((outside + "/b.asp").constData(), t.abs("sub/b.asp").constData()), 0);
  });
  expectStoppedAtB(kNotScanned);
}

TEST_P(CleanRaces, FolderOnThePathSwappedForALinkIsRefused) {
  QTemporaryDir aside;
  scanThenClean([&] {
    cAt = aside.path().toUtf8() + "/sub/c.asp";
    ASSERT_EQ(::rename(t.abs("sub").constData(), (aside.path().toUtf8() + "/sub").constData()), 0);
    t.symlink(outside, "sub");
  });
  expectStoppedAtB(kNotScanned);
}

TEST_P(CleanRaces, FolderOnThePathSwappedForAnotherFolderIsRefused) {
  scanThenClean([&] {
    ASSERT_EQ(::rename(t.abs("sub").constData(), t.abs("sub.old").constData()), 0);
    t.write("sub/b.asp", kInfected);
    t.write("sub/c.asp", kInfected);
  });
  expectStoppedAtB(kNotScanned);
  EXPECT_EQ(t.read("sub/b.asp"), kInfected);
  EXPECT_EQ(t.read("sub.old/b.asp"), kInfected);
}

TEST_P(CleanRaces, FileMovedAwayAndBackIsStillTheFileTheScanFound) {
  // Same file, same place: nothing to refuse.
  scanThenClean([&] {
    ASSERT_EQ(::rename(t.abs("sub/b.asp").constData(), t.abs("b.tmp").constData()), 0);
    ASSERT_EQ(::rename(t.abs("b.tmp").constData(), t.abs("sub/b.asp").constData()), 0);
  });
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  EXPECT_EQ(t.read("sub/b.asp"), kCleaned);
  EXPECT_EQ(t.read("sub/c.asp"), kCleaned);
}

TEST_P(CleanRaces, TypedPathsAreCleanedAsBefore) {
  // A page the filter left out, added by hand to the scan's log.
  t.write("page.txt", kInfected);
  scan();
  w.Text1 += t.path("page.txt") + u"\r\n"_s;
  cleaner.Command2_Click();
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  EXPECT_EQ(t.read("page.txt"), kCleaned);
  EXPECT_EQ(t.read("sub/c.asp"), kCleaned);

  // And with no scan at all.
  t.write("other.txt", kInfected);
  Cleaner fresh(w);
  w.Text1 = t.path("other.txt") + u"\r\n"_s;
  w.scannedFiles.clear();
  fresh.Command2_Click();
  EXPECT_TRUE(w.messages.isEmpty());
  EXPECT_EQ(t.read("other.txt"), kCleaned);
}

TEST_P(CleanRaces, PathListedTwiceAndASecondCleanStillWork) {
  // Cleaning replaces the file with a new one; the clean must know the new one
  // as the file the scan found, for the second line and for a second click.
  t.write("x.asp.htm", kInfected);  // two filter entries: logged twice
  scan();
  ASSERT_EQ(logged().count(u"x.asp.htm"_s), 2);
  cleaner.Command2_Click();
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  EXPECT_EQ(w.Text1.count(t.path("x.asp.htm")), 2);
  EXPECT_EQ(t.read("x.asp.htm"), kCleaned);

  // The second click takes what the first left, which is nothing: the log
  // names no file to clean, and stays as it is.
  const QString log = w.Text1;
  cleaner.Command2_Click();
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  EXPECT_EQ(w.Text1, log);
  EXPECT_EQ(t.read("x.asp.htm"), kCleaned);
}

TEST_P(CleanRaces, ANewScanForgetsWhatTheLastOneFound) {
  scan();
  EXPECT_EQ(w.scannedFiles.size(), 4);
  EXPECT_TRUE(w.scannedFiles.contains(t.path("sub/b.asp")));
  w.Combo1 = t.path("sub");
  scan();
  EXPECT_EQ(w.scannedFiles.size(), 2);
  EXPECT_FALSE(w.scannedFiles.contains(t.path("a.asp")));
}

TEST(CleanFaults, FullDiskLeavesTheFileWholeAndSaysSo) {
  // Simulated: the first write of the new content fails as on a full disk.
  TempTree t;
  PlainWindowState w;
  Cleaner c(w);
  QByteArray big = kInfected;
  big.append(QByteArray(300 * 1024, 'x'));
  t.write("a.asp", big);
  w.Text3 = hostile::kSignature;
  w.Text1 = t.path("a.asp") + u"\r\n"_s;
  c.options().fault = [](clean::Step s, const QByteArray&) {
    return s == clean::Step::WriteTemp ? ENOSPC : 0;
  };
  c.Command2_Click();
  EXPECT_EQ(t.read("a.asp"), big);
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages[0].contains(u"磁盘空间不足"_s)) << w.messages[0].toStdString();
  EXPECT_TRUE(w.cleaningLog().isEmpty());
  EXPECT_EQ(leftovers(t.rootBytes()), QStringList());
}

TEST(CleanFaults, RealFullDiskLeavesTheFileWholeAndSaysSo) {
  // A small memory file system, filled up, in a mount namespace of a child's own.
  TempTree t;
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tervane-test", t.rootBytes().constData(), "tmpfs", 0, "size=1m") != 0)
          return 77;
        QByteArray page = kInfected;
        page.append(QByteArray(400 * 1024, 'x'));
        t.write("a.asp", page);
        // Fill what is left but for a little.
        const int fd = ::open(t.abs("filler").constData(), O_WRONLY | O_CREAT, 0644);
        const QByteArray block(4096, 'f');
        while (::write(fd, block.constData(), std::size_t(block.size())) > 0) {
        }
        ::close(fd);
        if (::truncate(t.abs("filler").constData(), 1024 * 1024 - 500 * 1024) != 0)
          return 78;

        PlainWindowState w;
        Cleaner c(w);
        w.Text3 = hostile::kSignature;
        w.Text1 = t.path("a.asp") + u"\r\n"_s;
        c.Command2_Click();
        const bool whole = t.read("a.asp") == page;
        const bool told = w.messages.size() == 1 && w.messages[0].contains(u"磁盘空间不足"_s);
        const bool noLeftovers = leftovers(t.rootBytes()).isEmpty();
        hostile::writeAll(
            out, QByteArray(whole ? "whole " : "damaged ") + (told ? "told " : "untold ") +
                     (noLeftovers ? "clean" : "leftovers") + '\n' + w.messages.join(u'|').toUtf8());
        return 0;
      },
      60);
  if (r.exitCode == 77)
    GTEST_SKIP() << "no memory file system can be mounted here (the simulated case still runs)";
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.startsWith("whole told clean\n")) << r.out.toStdString();
}

namespace {

// A tree on a memory file system where there is one: cleaning syncs every file.
class MemoryTree {
 public:
  MemoryTree() : shm_(QStringLiteral("/dev/shm/tervane-test-XXXXXX")) {
    const QString base = shm_.isValid() ? shm_.path() : fallback_.path();
    root_ = QDir(base).canonicalPath().toUtf8();
  }
  QByteArray abs(const QByteArray& rel) const { return root_ + '/' + rel; }
  QString path(const QByteArray& rel) const { return platform::decodePath(abs(rel)); }
  void write(const QByteArray& rel, const QByteArray& content) const {
    QFile f(platform::decodePath(abs(rel)));
    if (f.open(QIODevice::WriteOnly))
      f.write(content);
  }
  QByteArray read(const QByteArray& rel) const {
    QFile f(platform::decodePath(abs(rel)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
  const QByteArray& root() const { return root_; }

 private:
  QTemporaryDir shm_;
  QTemporaryDir fallback_;
  QByteArray root_;
};

}  // namespace

TEST(ResultsBox, HundredThousandLinesAreCleanedPathByPathUpToTheFirstBadOne) {
  MemoryTree t;
  const int files = 500;
  const int lines = 100000;
  const int bad = 60000;
  for (int i = 0; i < files; ++i) {
    t.write("f" + QByteArray::number(i) + ".htm", kInfected);
    t.write("g" + QByteArray::number(i) + ".htm", kInfected);
  }
  QString box;
  box.reserve(lines * 48);
  for (int i = 0; i < lines; ++i) {
    // Files f* before the bad line, g* after it.
    const QByteArray name = i == bad  ? QByteArray("missing.htm")
                            : i < bad ? "f" + QByteArray::number(i % files) + ".htm"
                                      : "g" + QByteArray::number(i % files) + ".htm";
    box += t.path(name) + u"\r\n"_s;
  }
  PlainWindowState w;
  Cleaner c(w);
  w.Text3 = hostile::kSignature;
  w.Text1 = box;
  c.Command2_Click();

  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages[0].contains(u"文件："_s + t.path("missing.htm")))
      << w.messages[0].toStdString();
  EXPECT_TRUE(w.messages[0].contains(u"文件不存在"_s)) << w.messages[0].toStdString();
  EXPECT_EQ(w.cleaningLog().count(kDone), bad);
  for (int i = 0; i < files; ++i) {
    ASSERT_EQ(t.read("f" + QByteArray::number(i) + ".htm"), kCleaned) << i;
    ASSERT_EQ(t.read("g" + QByteArray::number(i) + ".htm"), kInfected) << i;
  }
  EXPECT_EQ(leftovers(t.root()), QStringList());
}

TEST(ResultsBox, BinaryJunkStopsAtTheFirstLineAndWritesNothing) {
  TempTree t;
  t.write("a.htm", kInfected);
  const QByteArray before = t.read("a.htm");
  QRandomGenerator random(20240229);
  for (int round = 0; round < 50; ++round) {
    QString junk;
    const int n = 1 + int(random.bounded(4000));
    for (int i = 0; i < n; ++i)
      junk.append(QChar(char16_t(random.bounded(0x10000))));
    // Line ends here and there, and a real file's path after the junk.
    junk.insert(int(random.bounded(n)), u"\r\n"_s);
    junk += u"\r\n"_s + t.path("a.htm") + u"\r\n"_s;
    if (round % 5 == 0)
      junk.prepend(QChar(u'\0'));

    PlainWindowState w;
    Cleaner c(w);
    w.Text3 = hostile::kSignature;
    w.Text1 = junk;
    ASSERT_EQ(::chdir(t.rootBytes().constData()), 0);  // relative junk lands in the tree
    c.Command2_Click();
    ASSERT_EQ(::chdir("/"), 0);
    ASSERT_EQ(w.messages.size(), 1) << round;
    EXPECT_TRUE(w.messages[0].endsWith(msg::kFailureQuestion));
    EXPECT_TRUE(w.cleaningLog().isEmpty()) << round;
    ASSERT_EQ(t.read("a.htm"), before) << round;
    ASSERT_EQ(snapshot(t.rootBytes()).size(), 1) << "the junk created a file, round " << round;
  }
}

TEST(ResultsBox, LineOfAMegabyteStopsTheRunWithAMessageOfReadableSize) {
  TempTree t;
  t.write("a.htm", kInfected);
  PlainWindowState w;
  Cleaner c(w);
  w.Text3 = hostile::kSignature;
  const QString huge = t.root() + u'/' + QString(1024 * 1024, u'x');
  w.Text1 = huge + u"\r\n"_s + t.path("a.htm") + u"\r\n"_s;
  c.Command2_Click();
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages[0].contains(u"路径太长"_s)) << w.messages[0].left(300).toStdString();
  // The start and the end of the path are shown, not a megabyte of it.
  EXPECT_LT(w.messages[0].size(), 4000);
  EXPECT_TRUE(w.messages[0].contains(u"文件："_s + t.root() + u"/xxxx"_s));
  EXPECT_TRUE(w.cleaningLog().isEmpty());
  EXPECT_EQ(t.read("a.htm"), kInfected);
}
