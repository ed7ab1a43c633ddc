// Restore after a wrong clean: every file back byte for byte with its mode,
// owner and modification time, hard links still one file; a file changed since
// the clean is refused unless forced; a second restore changes nothing; links
// swapped in since are not written through.
#include "clean/restore.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "clean/backupstore.h"
#include "plainwindowstate.h"
#include "testsupport.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;
using Result = clean::RestoredFile::Result;

namespace {

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.constData(), &st), 0) << path.constData();
  return st;
}

class Restore : public ::testing::Test {
 protected:
  Restore() { w.Text3 = u"<p"_s; }  // far too short: a wrong clean
  ~Restore() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }
  void clean(const QList<QByteArray>& rels) {
    w.Text1.clear();
    for (const QByteArray& rel : rels)
      w.Text1 += t.path(rel) + u"\r\n"_s;
    c.Command2_Click();
    ASSERT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  }
  static std::vector<Result> results(const clean::RestoreReport& r) {
    std::vector<Result> out;
    for (const auto& f : r.files)
      out.push_back(f.result);
    return out;
  }
  void setMtime(const QByteArray& rel, time_t sec, long nsec) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, t.abs(rel).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  TempTree t;
  PlainWindowState w;
  Cleaner c{w};
};

TEST_F(Restore, WrongCleanUndoneByteForByte) {
  const QByteArray a = "<p>one</p>\r\n<P>two\xFF\xFE</p>";
  const QByteArray b = "<p><p><p>";
  t.write("www/a.htm", a);
  t.write("www/caf\xE9.htm", b);
  t.write("www/linked.htm", a + "linked");
  t.write("www/none.htm", "nothing");
  ASSERT_EQ(::link(t.abs("www/linked.htm").constData(), t.abs("www/other.htm").constData()), 0);
  t.chmod("www/a.htm", 0751);
  t.chmod("www/caf\xE9.htm", 0600);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(t.abs("www/a.htm").constData(), 33, 1234), 0);
    t.chmod("www/a.htm", 02751);
  }
  setMtime("www/a.htm", 1234567890, 123456789);
  setMtime("www/linked.htm", 1000000000, 5);
  const QList<QByteArray> files = {"www/a.htm", "www/caf\xE9.htm", "www/linked.htm",
                                   "www/none.htm"};
  std::vector<struct stat> before;
  for (const QByteArray& f : files)
    before.push_back(statOf(t.abs(f)));

  // a.htm listed twice; other.htm is linked.htm by its other name.
  clean({"www/a.htm", "www/caf\xE9.htm", "www/linked.htm", "www/a.htm", "www/other.htm",
         "www/none.htm"});
  ASSERT_NE(t.read("www/a.htm"), a);
  ASSERT_NE(t.read("www/other.htm"), a + "linked");

  const clean::RestoreReport r = clean::restoreRun({});
  ASSERT_EQ(r.error, 0);
  // none.htm held no signature: the clean rewrote it as it was, and only its
  // time comes back.
  EXPECT_EQ(results(r), std::vector<Result>(4, Result::Restored));
  EXPECT_EQ(t.read("www/a.htm"), a);
  EXPECT_EQ(t.read("www/caf\xE9.htm"), b);
  EXPECT_EQ(t.read("www/other.htm"), a + "linked");
  for (std::size_t i = 0; i < std::size_t(files.size()); ++i) {
    const struct stat now = statOf(t.abs(files[qsizetype(i)]));
    EXPECT_EQ(now.st_mode, before[i].st_mode) << files[qsizetype(i)].constData();
    EXPECT_EQ(now.st_uid, before[i].st_uid);
    EXPECT_EQ(now.st_gid, before[i].st_gid);
    EXPECT_EQ(now.st_mtim.tv_sec, before[i].st_mtim.tv_sec) << files[qsizetype(i)].constData();
    EXPECT_EQ(now.st_mtim.tv_nsec, before[i].st_mtim.tv_nsec);
  }
  const struct stat linked = statOf(t.abs("www/linked.htm"));
  EXPECT_EQ(linked.st_ino, before[2].st_ino);
  EXPECT_EQ(linked.st_nlink, 2u);
  EXPECT_EQ(statOf(t.abs("www/other.htm")).st_ino, before[2].st_ino);

  // Twice: nothing to do, nothing written.
  const struct stat aOnce = statOf(t.abs("www/a.htm"));
  const clean::RestoreReport again = clean::restoreRun({});
  EXPECT_EQ(results(again), std::vector<Result>(4, Result::Unchanged));
  const struct stat aTwice = statOf(t.abs("www/a.htm"));
  EXPECT_EQ(aTwice.st_ino, aOnce.st_ino);
  EXPECT_EQ(aTwice.st_ctim.tv_nsec, aOnce.st_ctim.tv_nsec);
  EXPECT_EQ(aTwice.st_ctim.tv_sec, aOnce.st_ctim.tv_sec);
}

TEST_F(Restore, FileChangedSinceTheCleanIsRefusedUnlessForced) {
  t.write("a.htm", "<p>a");
  t.write("b.htm", "<p>b");
  clean({"a.htm", "b.htm"});
  t.write("a.htm", "edited by hand");
  const clean::RestoreReport r = clean::restoreRun({});
  EXPECT_EQ(results(r), (std::vector<Result>{Result::Edited, Result::Restored}));
  EXPECT_EQ(t.read("a.htm"), "edited by hand");
  EXPECT_EQ(t.read("b.htm"), "<p>b");

  clean::RestoreOptions force;
  force.force = true;
  const clean::RestoreReport forced = clean::restoreRun(r.run, force);
  EXPECT_EQ(results(forced), (std::vector<Result>{Result::Restored, Result::Unchanged}));
  EXPECT_EQ(t.read("a.htm"), "<p>a");
}

TEST_F(Restore, NeverWritesThroughALinkSwappedInOrToAMissingFile) {
  QTemporaryDir outside;
  const QByteArray victim = outside.path().toUtf8() + "/victim.htm";
  t.write("a.htm", "<p>a");
  t.write("b.htm", "<p>b");
  clean({"a.htm", "b.htm"});
  {
    QFile f(QString::fromUtf8(victim));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("a");  // what the clean left in a.htm, so only the link stops it
  }
  ASSERT_EQ(::unlink(t.abs("a.htm").constData()), 0);
  t.symlink(victim, "a.htm");
  ASSERT_EQ(::unlink(t.abs("b.htm").constData()), 0);
  clean::RestoreOptions force;
  force.force = true;
  const clean::RestoreReport r = clean::restoreRun({}, force);
  EXPECT_EQ(results(r), (std::vector<Result>{Result::Failed, Result::Missing}));
  QFile f(QString::fromUtf8(victim));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "a");
  EXPECT_FALSE(QFile::exists(t.path("b.htm")));
}

// A file listed twice (by two spellings of its path, which the clean does not
// take for one) where the second pass removes more ("<<pp" less "<p" is "<p",
// which loses "<p" again): what the clean left is what its last record says,
// and that file is put back.
TEST_F(Restore, AFileCleanedTwiceInOneRunIsRestoredFromWhatItsLastPassLeft) {
  t.write("a.htm", "<<pp");
  clean({"a.htm", "./a.htm"});
  ASSERT_EQ(t.read("a.htm"), "");
  const clean::RestoreReport r = clean::restoreRun({});
  EXPECT_EQ(results(r), std::vector<Result>{Result::Restored});
  EXPECT_EQ(t.read("a.htm"), "<<pp");
}

TEST_F(Restore, ACopyThatNoLongerHoldsTheOriginalIsNotWrittenBack) {
  t.write("a.htm", "<p>a");
  clean({"a.htm"});
  clean::Store store;
  ASSERT_EQ(store.open(false), 0);
  const QByteArray run = clean::latestRestorableRun();
  const auto m = clean::readRun(store.fd(), run);
  ASSERT_TRUE(m && m->files.size() == 1u);
  {
    QFile copy(QString::fromLocal8Bit(store.path() + '/' + run + '/' + m->files[0].copy));
    ASSERT_TRUE(copy.open(QIODevice::WriteOnly | QIODevice::Truncate));
    copy.write("<p>damaged");
  }
  const clean::RestoreReport r = clean::restoreRun(run);
  ASSERT_EQ(results(r), std::vector<Result>{Result::Failed});
  EXPECT_EQ(r.files[0].reason, u"备份已损坏或丢失，不能恢复。"_s);
  EXPECT_EQ(t.read("a.htm"), ">a");
}

// The file is written only if it is still the one checked: one swapped in at
// its path after the check (here while the batch before it is written) is not.
TEST_F(Restore, AFileSwappedInAfterItWasCheckedIsNotWritten) {
  t.write("b.htm", "<p>b");
  t.write("a.htm", "<p>a");
  // With a second name, a.htm is rewritten in place, alone, after b.htm's batch.
  ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("a2.htm").constData()), 0);
  clean({"b.htm", "a.htm"});
  bool swapped = false;
  clean::RestoreOptions o;
  o.fault = [&](clean::Step step, const QByteArray& path) {
    if (!swapped && step == clean::Step::Replace && path == t.abs("b.htm")) {
      swapped = true;
      t.write("new.htm", ">a");  // what the clean left, so only its identity tells
      EXPECT_EQ(::rename(t.abs("new.htm").constData(), t.abs("a.htm").constData()), 0);
    }
    return 0;
  };
  const struct stat planted = [&] {
    const clean::RestoreReport r = clean::restoreRun({}, o);
    EXPECT_TRUE(swapped);
    EXPECT_EQ(results(r), (std::vector<Result>{Result::Restored, Result::Failed}));
    return statOf(t.abs("a.htm"));
  }();
  EXPECT_EQ(t.read("b.htm"), "<p>b");
  EXPECT_EQ(t.read("a.htm"), ">a");
  EXPECT_EQ(planted.st_nlink, 1u);
  EXPECT_EQ(t.read("a2.htm"), ">a");
}

TEST_F(Restore, NamedRunAndUnknownRun) {
  t.write("a.htm", "<p>first");
  // With a second name every clean and restore rewrites it in place, so it
  // stays the file the older run recorded. Replaced instead, the identity that
  // run recorded would be nobody's, or another new file's by chance of inode
  // reuse, and the answer would change with what else the machine does.
  ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("a2.htm").constData()), 0);
  clean({"a.htm"});
  const clean::RestoreReport first = clean::restoreRun({});
  ASSERT_EQ(first.error, 0);
  t.write("a.htm", "<p>second");
  clean({"a.htm"});
  // The older run is named: its file now holds neither its original nor what
  // that clean left.
  EXPECT_EQ(results(clean::restoreRun(first.run)), std::vector<Result>{Result::Edited});
  EXPECT_EQ(clean::restoreRun("20000101T000000.000000Z-00000000").error, ENOENT);
  EXPECT_EQ(clean::restoreRun("../elsewhere").error, ENOENT);
  EXPECT_EQ(results(clean::restoreRun({})), std::vector<Result>{Result::Restored});
  EXPECT_EQ(t.read("a.htm"), "<p>second");
}

}  // namespace
