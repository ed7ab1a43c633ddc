// Trees at the edges of size: 2,000 folders deep, folders deeper than a path may
// be long, 100,000 entries in one folder, a sparse file of several gigabytes. Each
// scan runs in a child process, so that its stack and its peak memory are its own.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "engine/messages.h"
#include "hostile.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;
using hostile::kInfected;

namespace {

class Sizes : public ::testing::Test, public hostile::ScanFixture {};

// What a child reports: the log, and the growth of its stack and peak memory.
struct Measured {
  QStringList logged;
  long stackKb = -1;
  long peakKb = -1;
  bool ok = false;
};

Measured scanMeasured(hostile::ScanFixture& f, int seconds) {
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        const long stack0 = hostile::statusKb("VmStk");
        if (!hostile::resetPeakRss())
          return 3;
        const long rss0 = hostile::statusKb("VmRSS");
        f.scan();
        const long stack = hostile::statusKb("VmStk") - stack0;
        const long peak = hostile::statusKb("VmHWM") - rss0;
        hostile::writeAll(out, QByteArray::number(qlonglong(stack)) + '\n' +
                                   QByteArray::number(qlonglong(peak)) + '\n' +
                                   f.logged().join(u'|').toUtf8());
        return 0;
      },
      seconds);
  Measured m;
  if (r.exitCode != 0)
    return m;
  const QList<QByteArray> lines = r.out.split('\n');
  if (lines.size() != 3)
    return m;
  m.stackKb = lines[0].toLong();
  m.peakKb = lines[1].toLong();
  const QString log = QString::fromUtf8(lines[2]);
  m.logged = log.isEmpty() ? QStringList() : log.split(u'|');
  m.ok = true;
  return m;
}

QString chainPath(int depth, const char* leaf) {
  QString p;
  for (int i = 0; i < depth; ++i)
    p += u"d/"_s;
  return p + QString::fromUtf8(leaf);
}

}  // namespace

TEST_F(Sizes, TwoThousandFoldersDeepIsWalkedWithoutExhaustingTheStack) {
  // 2,000 levels of one-letter names stay within the longest path a file may have.
  ASSERT_LT(t.rootBytes().size() + 2000 * 2 + 6, PATH_MAX) << "temporary folder path too long";
  t.write("top.asp", kInfected);
  ASSERT_TRUE(hostile::makeChain(t.rootBytes(), "d", 2000, "x.asp", kInfected));
  const Measured m = scanMeasured(*this, 300);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.logged, (QStringList{u"top.asp"_s, chainPath(2000, "x.asp")}));
  // The walk calls itself once per level; it must use far less than the usual
  // 8 MiB main-thread stack, whatever the build.
  std::printf("stack growth for 2,000 levels: %ld KiB\n", m.stackKb);
  EXPECT_LT(m.stackKb, 2048);
  hostile::removeDeep(t.abs("d"));
}

TEST_F(Sizes, FoldersBeyondTheLongestPathAreWalked) {
  // Three-letter names: the path passes PATH_MAX near level 1,360 of 1,600. The
  // folders beyond it are opened from folders nearer to them, so what lies there
  // is found as well.
  const int depth = 1600;
  ASSERT_TRUE(hostile::makeChain(t.rootBytes(), "abc", depth, "deep.asp", kInfected));
  // An infected file at level 100, well within reach.
  QByteArray shallow;
  for (int i = 0; i < 100; ++i)
    shallow += "abc/";
  t.write(shallow + "near.asp", kInfected);
  const Measured m = scanMeasured(*this, 300);
  ASSERT_TRUE(m.ok);
  QByteArray deep;
  for (int i = 0; i < depth; ++i)
    deep += "abc/";
  EXPECT_EQ(m.logged, (QStringList{QString::fromUtf8(shallow + "near.asp"),
                                   QString::fromUtf8(deep + "deep.asp")}));
  EXPECT_LT(m.stackKb, 2048);
  hostile::removeDeep(t.abs("abc"));
}

TEST_F(Sizes, FileWhosePathIsTooLongButWhoseFolderFitsIsFoundAndCleaned) {
  // The folder's path fits, the file's does not: the scan reads the file relative
  // to its folder and logs it, and the clean, which also opens the file relative
  // to its folder, cleans it.
  const int depth = (PATH_MAX - 100 - int(t.rootBytes().size())) / 4;
  ASSERT_TRUE(hostile::makeChain(t.rootBytes(), "abc", depth));
  QByteArray dir;
  for (int i = 0; i < depth; ++i)
    dir += "abc/";
  const QByteArray name = QByteArray(250, 'n') + ".asp";
  ASSERT_LT(t.abs(dir).size(), PATH_MAX);
  ASSERT_GT(t.abs(dir + name).size(), PATH_MAX);
  const QByteArray page = "<p><iframe src=http://x.example/ width=0 height=0></p>";
  const int dfd = ::open(t.abs(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dfd, 0);
  const int fd = ::openat(dfd, name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, page.constData(), std::size_t(page.size())), page.size());
  ::close(fd);

  scan();
  EXPECT_EQ(logged(), QStringList{QString::fromUtf8(dir + name)});
  Cleaner cleaner(w);
  cleaner.Command2_Click();
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').left(300).toStdString();
  EXPECT_EQ(w.Text1, t.path(dir + name) + u"\r\n"_s + msg::kCleaned.toString() + u"\r\n"_s);
  char buf[128] = {};
  const int rfd = ::openat(dfd, name.constData(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(rfd, 0);
  EXPECT_EQ(QByteArray(buf, int(::read(rfd, buf, sizeof buf))), "<p></p>");
  ::close(rfd);
  ::close(dfd);
  hostile::removeDeep(t.abs("abc"));
}

TEST_F(Sizes, HundredThousandEntriesInOneFolderCostMemoryInProportion) {
  const int count = 100000;
  ::mkdir(t.abs("wide").constData(), 0755);
  const int dir = ::open(t.abs("wide").constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  for (int i = 0; i < count; ++i) {
    const QByteArray name = "page" + QByteArray::number(i).rightJustified(6, '0') + ".htm";
    const int fd = ::openat(dir, name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    if (i == 54321) {
      ASSERT_EQ(::write(fd, kInfected.constData(), std::size_t(kInfected.size())),
                kInfected.size());
    }
    ::close(fd);
  }
  ::close(dir);
  const Measured m = scanMeasured(*this, 600);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.logged, QStringList{u"wide/page054321.htm"_s});
  // A name of this length held once as text, once as its sort key and once as
  // the path being shown takes well under 1 KiB; more would mean copies per entry.
  const long perEntryBytes = m.peakKb * 1024 / count;
  std::printf("peak memory growth for %d entries: %ld KiB (%ld bytes per entry)\n", count, m.peakKb,
              perEntryBytes);
  EXPECT_LT(perEntryBytes, 1024);
}

TEST_F(Sizes, ThousandsOfFoldersOfOneFileDoNotRunOutOfDescriptors) {
  // Files are read on other threads from the folder the walk listed, which stays
  // open until they are read; with one file per folder, that is a folder per
  // queued file. The scan must keep well within a common limit of descriptors.
  const int folders = 3000;
  // Three large files first keep the reading threads busy while the walk queues
  // the folders behind them.
  for (const char* big : {"0/a.asp", "0/b.asp", "0/c.asp"}) {
    t.write(big, "");
    ASSERT_EQ(::truncate(t.abs(big).constData(), 128 * 1024 * 1024), 0);
  }
  for (int i = 0; i < folders; ++i)
    t.write("f" + QByteArray::number(i).rightJustified(4, '0') + "/x.asp", kInfected);
  w.threads = 3;
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        const rlimit lim{400, 400};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
          return 3;
        scan();
        hostile::writeAll(out, QByteArray::number(logged().size()));
        return 0;
      },
      300);
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QByteArray::number(folders));
}

TEST_F(Sizes, MultiGigabyteSparseFileIsScannedInFlatMemory) {
  // Just over 4 GiB, nearly all hole, with the signature straddling the 4 GiB
  // mark, where a 32-bit offset or length would wrap; and a clean file beside it.
  const qint64 size = (qint64(1) << 32) + (qint64(1) << 20);
  const int fd =
      ::open(t.abs("big.htm").constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ASSERT_EQ(
      ::pwrite(fd, kInfected.constData(), std::size_t(kInfected.size()), (qint64(1) << 32) - 20),
      kInfected.size());
  ::close(fd);
  t.write("small.htm", "clean");
  const Measured m = scanMeasured(*this, 600);
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(m.logged, QStringList{u"big.htm"_s});
  std::printf("peak memory growth scanning 4 GiB: %ld KiB\n", m.peakKb);
  EXPECT_LT(m.peakKb, 32 * 1024);
}
