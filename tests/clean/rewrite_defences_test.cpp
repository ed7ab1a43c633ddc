// Each defence of the safe rewrite on its own: a swap between the look at the
// file and its open (a link to a FIFO, a hard link to a file outside), a name
// taken in advance for the new file, and the owner, group and mode kept in
// setgid and sticky folders by a user without root. Every test here fails when
// its one defence is taken out.
#include <grp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <functional>
#include <stdexcept>
#include <vector>

#include "clean/remover.h"
#include "clean/rewrite.h"
#include "platform/fd.h"
#include "testsupport.h"

namespace {

using clean::Reason;
using clean::Step;

const QString kSig = QStringLiteral(u"<iframe src=x width=0>");

QByteArray infected(const QByteArray& around = "page") {
  return "<p>" + around + kSig.toUtf8() + "</p>\r\n" + around;
}

QByteArray cleaned(const QByteArray& content) {
  return clean::removeSignature(content, kSig, 1 << 20);
}

struct stat statOf(const QByteArray& path) {
  struct stat st;
  if (::lstat(path.constData(), &st) != 0)
    throw std::runtime_error("lstat failed: " + path.toStdString());
  return st;
}

// Options whose hook runs `swap` once, between the look at the file and its open.
clean::Options swapBeforeOpen(std::function<void()> swap) {
  clean::Options o;
  o.fault = [swap](Step s, const QByteArray&) {
    if (s == Step::Open)
      swap();
    return 0;
  };
  return o;
}

TEST(RewriteDefences, LinkToFifoSwappedInBeforeTheOpenIsRefusedUnopened) {
  TempTree t;
  t.mkdir("www");
  t.write("www/a.htm", infected());
  t.fifo("pipe");
  // Every open of the FIFO, by anyone, shows here.
  platform::UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch.ok());
  ASSERT_GE(::inotify_add_watch(watch.get(), t.abs("pipe").constData(), IN_OPEN), 0);

  bool swapped = false;
  const clean::Options o = swapBeforeOpen([&] {
    swapped = ::unlink(t.abs("www/a.htm").constData()) == 0 &&
              ::symlink(t.abs("pipe").constData(), t.abs("www/a.htm").constData()) == 0;
  });
  const clean::CleanResult r = clean::cleanFile(t.abs("www/a.htm"), kSig, o);

  ASSERT_TRUE(swapped);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().reason, Reason::SymbolicLink);
  EXPECT_EQ(r.failure().outcome, clean::Outcome::Unchanged);
  char events[4096];
  const ssize_t got = ::read(watch.get(), events, sizeof events);
  const int readError = errno;
  EXPECT_EQ(got, -1) << "the FIFO was opened";
  if (got < 0) {
    EXPECT_EQ(readError, EAGAIN);
  }
  EXPECT_TRUE(S_ISLNK(statOf(t.abs("www/a.htm")).st_mode));
  EXPECT_TRUE(S_ISFIFO(statOf(t.abs("pipe")).st_mode));
}

TEST(RewriteDefences, HardLinkToAFileOutsideSwappedInBeforeTheOpenIsRefused) {
  TempTree t;
  t.mkdir("www");
  t.write("www/a.htm", infected());
  // The outside file holds the signature too: written through, it would change.
  const QByteArray outside = infected("root:x:0:0");
  t.write("etc/passwd", outside);
  const struct stat outsideBefore = statOf(t.abs("etc/passwd"));

  bool swapped = false;
  const clean::Options o = swapBeforeOpen([&] {
    swapped = ::unlink(t.abs("www/a.htm").constData()) == 0 &&
              ::link(t.abs("etc/passwd").constData(), t.abs("www/a.htm").constData()) == 0;
  });
  const clean::CleanResult r = clean::cleanFile(t.abs("www/a.htm"), kSig, o);

  ASSERT_TRUE(swapped);
  EXPECT_EQ(t.read("etc/passwd"), outside);
  const struct stat outsideAfter = statOf(t.abs("etc/passwd"));
  EXPECT_EQ(outsideAfter.st_ino, outsideBefore.st_ino);
  EXPECT_EQ(outsideAfter.st_size, outsideBefore.st_size);
  EXPECT_EQ(outsideAfter.st_mtim.tv_sec, outsideBefore.st_mtim.tv_sec);
  EXPECT_EQ(outsideAfter.st_mtim.tv_nsec, outsideBefore.st_mtim.tv_nsec);
  EXPECT_EQ(statOf(t.abs("www/a.htm")).st_ino, outsideBefore.st_ino);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().reason, Reason::Changed);
}

// The new file's name is random; the test seam names it, and someone has put a
// file or a link there first.
TEST(RewriteDefences, TempNameTakenInAdvanceIsLeftAsItWas) {
  const QByteArray taken = ".tervane-0123456789abcdef";
  for (const bool asLink : {false, true}) {
    SCOPED_TRACE(asLink ? "a link planted" : "a file planted");
    TempTree t;
    t.mkdir("www");
    t.write("www/a.htm", infected());
    t.write("elsewhere/target", "someone else's");
    if (asLink)
      t.symlink(t.abs("elsewhere/target"), "www/" + taken);
    else
      t.write("www/" + taken, "planted");
    const struct stat plantedBefore = statOf(t.abs("www/" + taken));
    const struct stat fileBefore = statOf(t.abs("www/a.htm"));

    clean::Options o;
    o.tempName = [&] { return taken; };
    const clean::CleanResult r = clean::cleanFile(t.abs("www/a.htm"), kSig, o);

    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().reason, Reason::System);
    EXPECT_EQ(r.failure().error, EEXIST);
    EXPECT_EQ(r.failure().outcome, clean::Outcome::Unchanged);
    const struct stat plantedAfter = statOf(t.abs("www/" + taken));
    EXPECT_EQ(plantedAfter.st_ino, plantedBefore.st_ino);
    EXPECT_EQ(plantedAfter.st_mode, plantedBefore.st_mode);
    if (asLink)
      EXPECT_EQ(t.read("elsewhere/target"), "someone else's");
    else
      EXPECT_EQ(t.read("www/" + taken), "planted");
    EXPECT_EQ(statOf(t.abs("www/a.htm")).st_ino, fileBefore.st_ino);
    EXPECT_EQ(t.read("www/a.htm"), infected());
  }
}

// The user the folder tests clean as: nobody with a second group when the tests
// run as root, otherwise the running user with one of their supplementary groups.
struct User {
  uid_t uid = 0;
  gid_t primary = 0;
  gid_t other = 0;
  bool found = false;
};

User cleaningUser() {
  if (::geteuid() == 0)
    return {65534, 65534, 1234, true};
  std::vector<gid_t> groups(std::size_t(::getgroups(0, nullptr)));
  const int n = ::getgroups(int(groups.size()), groups.data());
  for (int i = 0; i < n; ++i) {
    if (groups[std::size_t(i)] != ::getegid())
      return {::geteuid(), ::getegid(), groups[std::size_t(i)], true};
  }
  return {};
}

// Cleans `path` as the user (in a child that has dropped root, if it had it) and
// gives 0 when that worked, 1 + the reason when not.
int cleanAs(const User& u, const QByteArray& path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0) {
      const gid_t groups[] = {u.primary, u.other};
      if (::setgroups(2, groups) != 0 || ::setgid(u.primary) != 0 || ::setuid(u.uid) != 0)
        ::_exit(99);
    }
    const clean::CleanResult r = clean::cleanFile(path, kSig);
    ::_exit(r.ok() ? 0 : 1 + int(r.failure().reason));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

void expectSameOwnerGroupMode(const struct stat& before, const struct stat& after) {
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mode, before.st_mode);
}

// A new file in a setgid folder takes the folder's group, not the old file's.
TEST(RewriteDefences, SetgidFolderWithoutRootKeepsOwnerGroupAndMode) {
  const User u = cleaningUser();
  if (!u.found)
    GTEST_SKIP() << "the running user is in one group only";
  TempTree t;
  t.mkdir("sg");
  ASSERT_EQ(::chown(t.abs("sg").constData(), u.uid, u.other), 0);
  t.chmod("sg", 02775);
  t.write("sg/a.htm", infected());
  ASSERT_EQ(::chown(t.abs("sg/a.htm").constData(), u.uid, u.primary), 0);
  t.chmod("sg/a.htm", 02640);
  const struct stat before = statOf(t.abs("sg/a.htm"));
  ASSERT_EQ(before.st_gid, u.primary);

  ASSERT_EQ(cleanAs(u, t.abs("sg/a.htm")), 0);

  const struct stat after = statOf(t.abs("sg/a.htm"));
  EXPECT_NE(after.st_ino, before.st_ino);  // replaced by a new file
  expectSameOwnerGroupMode(before, after);
  EXPECT_EQ(t.read("sg/a.htm"), cleaned(infected()));
}

TEST(RewriteDefences, StickyFolderWithoutRootKeepsOwnerGroupAndMode) {
  const User u = cleaningUser();
  if (!u.found)
    GTEST_SKIP() << "the running user is in one group only";
  TempTree t;
  t.mkdir("tmp");
  t.chmod("tmp", 01777);
  t.write("tmp/mine.htm", infected());
  ASSERT_EQ(::chown(t.abs("tmp/mine.htm").constData(), u.uid, u.other), 0);
  t.chmod("tmp/mine.htm", 0604);
  const struct stat mine = statOf(t.abs("tmp/mine.htm"));

  ASSERT_EQ(cleanAs(u, t.abs("tmp/mine.htm")), 0);

  const struct stat mineAfter = statOf(t.abs("tmp/mine.htm"));
  EXPECT_NE(mineAfter.st_ino, mine.st_ino);
  expectSameOwnerGroupMode(mine, mineAfter);
  EXPECT_EQ(t.read("tmp/mine.htm"), cleaned(infected()));

  // Another user's file the user may write: rewritten in place, it stays theirs.
  if (::geteuid() != 0)
    return;
  t.write("tmp/theirs.htm", infected());
  t.chmod("tmp/theirs.htm", 0666);
  const struct stat theirs = statOf(t.abs("tmp/theirs.htm"));
  ASSERT_EQ(cleanAs(u, t.abs("tmp/theirs.htm")), 0);
  const struct stat theirsAfter = statOf(t.abs("tmp/theirs.htm"));
  EXPECT_EQ(theirsAfter.st_ino, theirs.st_ino);
  expectSameOwnerGroupMode(theirs, theirsAfter);
  EXPECT_EQ(t.read("tmp/theirs.htm"), cleaned(infected()));
}

// What the result says about how the content was put in place.
TEST(RewriteDefences, ResultTellsReplacedFromInPlace) {
  TempTree t;
  t.write("one.htm", infected());
  t.write("two.htm", infected());
  ASSERT_EQ(::link(t.abs("two.htm").constData(), t.abs("two-again.htm").constData()), 0);

  const clean::CleanResult one = clean::cleanFile(t.abs("one.htm"), kSig);
  const clean::CleanResult two = clean::cleanFile(t.abs("two.htm"), kSig);

  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one.placement(), clean::Placement::Replaced);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(two.placement(), clean::Placement::InPlace);
  EXPECT_EQ(t.read("two-again.htm"), cleaned(infected()));
}

}  // namespace
