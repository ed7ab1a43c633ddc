// Rewriting one file: what is kept (bytes, mode, owner, attributes, links), what
// is refused (links, read-only files, missing files) and what a failure at each
// step leaves behind.
#include "clean/rewrite.h"

#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <optional>

#include "clean/backupstore.h"
#include "clean/remover.h"
#include "testsupport.h"

namespace {

using clean::Outcome;
using clean::Reason;
using clean::Step;

const QString kSig = QStringLiteral(u"<iframe src=x width=0>");

struct stat statOf(const QByteArray& path) {
  struct stat st;
  if (::lstat(path.constData(), &st) != 0)
    throw std::runtime_error("lstat failed: " + path.toStdString());
  return st;
}

// Every name in a directory, hidden ones included, "." and ".." left out.
QList<QByteArray> namesIn(const QByteArray& dir) {
  QList<QByteArray> names;
  DIR* d = ::opendir(dir.constData());
  if (!d)
    return names;
  while (const dirent* e = ::readdir(d)) {
    const QByteArray n(e->d_name);
    if (n != "." && n != "..")
      names.append(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// Content with occurrences, bytes that do not decode, and a lone lead byte at the
// end, long enough to span many pieces.
QByteArray infected() {
  const QByteArray sig = kSig.toUtf8();
  QByteArray c;
  for (int i = 0; i < 20; ++i) {
    c += "<p>\xC4\xE3\xBA\xC3 ";  // 你好 in GBK
    c += sig;
    c += "\xFF\x80\x81\r\n";
  }
  c += "\xFE";
  return c;
}

QByteArray cleaned(const QByteArray& content) {
  return clean::removeSignature(content, kSig, 1 << 20);
}

clean::CleanResult cleanPath(const TempTree& t, const QByteArray& rel, clean::Options o = {}) {
  return clean::cleanFile(t.abs(rel), kSig, o);
}

// A fault that hits the n-th time `step` comes (counting from 1) with `error`.
clean::Fault failAt(Step step, int n, int error) {
  auto count = std::make_shared<int>(0);
  return [=](Step s, const QByteArray&) { return (s == step && ++*count == n) ? error : 0; };
}

// Runs `body` in a child process that has become nobody (uid and gid 65534) and
// returns its exit code. Only root can drop to another user.
int asNobody(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
      ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// An exit code for a child's cleaning result: 0 when it worked.
int code(const clean::CleanResult& r) {
  return r.ok() ? 0 : 1 + int(r.failure().reason);
}

TEST(Rewrite, CleansBytesExactlyWithSmallPieces) {
  TempTree t;
  const QByteArray content = infected();
  t.write("a.htm", content);
  for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(128 * 1024)}) {
    t.write("a.htm", content);
    clean::Options o;
    o.chunkSize = chunk;
    ASSERT_TRUE(cleanPath(t, "a.htm", o).ok()) << chunk;
    const QByteArray got = t.read("a.htm");
    EXPECT_EQ(got, cleaned(content)) << chunk;
    EXPECT_FALSE(got.contains(kSig.toUtf8()));
    EXPECT_TRUE(got.endsWith("\xFF\x80\x81\r\n\xFE"));  // nothing added at the end
  }
  EXPECT_EQ(namesIn(t.rootBytes()), QList<QByteArray>{"a.htm"});
}

TEST(Rewrite, KeepsModeOwnerAndGroup) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "giving a file to another owner needs root";
  TempTree t;
  t.write("site/index.php", infected());
  const QByteArray path = t.abs("site/index.php");
  ASSERT_EQ(::chown(path.constData(), 33, 1234), 0);
  ASSERT_EQ(::chmod(path.constData(), 02751), 0);
  const struct stat before = statOf(path);

  ASSERT_TRUE(cleanPath(t, "site/index.php").ok());

  const struct stat after = statOf(path);
  EXPECT_EQ(after.st_uid, 33u);
  EXPECT_EQ(after.st_gid, 1234u);
  EXPECT_EQ(after.st_mode, before.st_mode);  // type and all bits, set-group-ID included
  EXPECT_EQ(after.st_nlink, 1u);
  EXPECT_EQ(t.read("site/index.php"), cleaned(infected()));
}

// A POSIX ACL in the kernel's extended-attribute form: version 2, then entries of
// tag, permissions and id.
QByteArray acl(std::initializer_list<std::array<uint32_t, 3>> entries) {
  QByteArray b;
  auto put = [&b](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      b.append(char((v >> (8 * i)) & 0xFF));
  };
  put(2, 4);
  for (const auto& e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
  }
  return b;
}
constexpr uint32_t kUserObj = 1, kUser = 2, kGroupObj = 4, kMask = 0x10, kOther = 0x20;
constexpr uint32_t kNoId = 0xFFFFFFFF;

QByteArray attribute(const QByteArray& path, const char* name) {
  char v[256];
  const ssize_t n = ::getxattr(path.constData(), name, v, sizeof v);
  return n < 0 ? QByteArray() : QByteArray(v, n);
}

TEST(Rewrite, CarriesExactlyTheAttributesAndAclOfTheOldFile) {
  TempTree t;
  t.write("www/a.htm", infected());
  t.write("www/b.htm", infected());
  const QByteArray a = t.abs("www/a.htm");
  const QByteArray b = t.abs("www/b.htm");
  // a: an ACL that lets user 33 read, and a user attribute.
  const QByteArray aAcl = acl({{kUserObj, 6, kNoId},
                               {kUser, 4, 33},
                               {kGroupObj, 4, kNoId},
                               {kMask, 4, kNoId},
                               {kOther, 0, kNoId}});
  if (::setxattr(a.constData(), "system.posix_acl_access", aAcl.constData(), aAcl.size(), 0) != 0 ||
      ::setxattr(a.constData(), "user.origin", "web", 3, 0) != 0)
    GTEST_SKIP() << "the temporary folder's file system has no ACLs or user attributes";
  // b has none; the folder's default ACL, set after b was made, must not reach it.
  const QByteArray dirAcl = acl({{kUserObj, 7, kNoId},
                                 {kUser, 6, 1234},
                                 {kGroupObj, 5, kNoId},
                                 {kMask, 7, kNoId},
                                 {kOther, 5, kNoId}});
  ASSERT_EQ(::setxattr(t.abs("www").constData(), "system.posix_acl_default", dirAcl.constData(),
                       dirAcl.size(), 0),
            0);
  const struct stat aBefore = statOf(a);
  const struct stat bBefore = statOf(b);

  ASSERT_TRUE(cleanPath(t, "www/a.htm").ok());
  ASSERT_TRUE(cleanPath(t, "www/b.htm").ok());

  EXPECT_EQ(attribute(a, "system.posix_acl_access"), aAcl);
  EXPECT_EQ(attribute(a, "user.origin"), "web");
  EXPECT_EQ(statOf(a).st_mode, aBefore.st_mode);
  EXPECT_EQ(attribute(b, "system.posix_acl_access"), QByteArray());
  EXPECT_EQ(statOf(b).st_mode, bBefore.st_mode);
  EXPECT_EQ(t.read("www/a.htm"), cleaned(infected()));
  EXPECT_EQ(t.read("www/b.htm"), cleaned(infected()));
}

TEST(Rewrite, HardLinkStaysOneFile) {
  TempTree t;
  t.write("a.htm", infected());
  ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("b.htm").constData()), 0);
  ASSERT_EQ(::chmod(t.abs("a.htm").constData(), 0604), 0);
  const struct stat before = statOf(t.abs("a.htm"));

  clean::Options o;
  o.chunkSize = 5;
  ASSERT_TRUE(cleanPath(t, "a.htm", o).ok());

  const struct stat a = statOf(t.abs("a.htm"));
  const struct stat b = statOf(t.abs("b.htm"));
  EXPECT_EQ(a.st_ino, before.st_ino);
  EXPECT_EQ(b.st_ino, before.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
  EXPECT_EQ(a.st_mode, before.st_mode);
  EXPECT_EQ(t.read("b.htm"), cleaned(infected()));
  // The backup made for the rewrite is gone.
  EXPECT_EQ(namesIn(t.rootBytes()), (QList<QByteArray>{"a.htm", "b.htm"}));
}

TEST(Rewrite, RefusesLinksAndWhatIsNotAFile) {
  TempTree t;
  t.write("outside/passwd", infected());
  t.mkdir("www");
  t.symlink(t.abs("outside/passwd"), "www/index.htm");
  t.mkdir("www/sub");
  t.fifo("www/pipe");

  auto f = cleanPath(t, "www/index.htm");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::SymbolicLink);
  EXPECT_EQ(t.read("outside/passwd"), infected());
  EXPECT_TRUE(S_ISLNK(statOf(t.abs("www/index.htm")).st_mode));

  f = cleanPath(t, "www/sub");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::Folder);
  f = cleanPath(t, "www/sub/");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::NotAFilePath);
  f = cleanPath(t, "www/pipe");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::NotRegular);
  f = clean::cleanFile(QByteArray(), kSig);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::EmptyPath);
  EXPECT_EQ(namesIn(t.abs("www")), (QList<QByteArray>{"index.htm", "pipe", "sub"}));
}

TEST(Rewrite, MissingFileIsNotCreated) {
  TempTree t;
  t.mkdir("www");
  auto f = cleanPath(t, "www/gone.htm");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::NotFound);
  f = cleanPath(t, "nodir/gone.htm");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::NoFolder);
  EXPECT_TRUE(namesIn(t.abs("www")).isEmpty());
  EXPECT_EQ(namesIn(t.rootBytes()), QList<QByteArray>{"www"});
}

TEST(Rewrite, ReadOnlyFileIsRefusedEvenForRoot) {
  TempTree t;
  t.write("ro.htm", infected());
  t.chmod("ro.htm", 0444);
  const auto f = cleanPath(t, "ro.htm");
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().reason, Reason::ReadOnly);
  EXPECT_EQ(f.failure().outcome, Outcome::Unchanged);
  EXPECT_EQ(t.read("ro.htm"), infected());
  EXPECT_EQ(statOf(t.abs("ro.htm")).st_mode & 07777, 0444u);
  // A write bit for anyone makes it writable for root.
  if (::geteuid() == 0) {
    t.chmod("ro.htm", 0404 | 0002);
    EXPECT_TRUE(cleanPath(t, "ro.htm").ok());
  }
}

// As an ordinary user, the system's own access check decides; a file owned by
// someone else but writable is rewritten in place so that it stays theirs.
TEST(Rewrite, OrdinaryUserRules) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to run a part as another user";
  TempTree t;
  ASSERT_EQ(::chmod(t.rootBytes().constData(), 0755), 0);
  t.mkdir("open");
  t.chmod("open", 0777);
  t.mkdir("closed");                        // 0755, owned by root: nobody cannot add files
  t.write("open/root-ro.htm", infected());  // 0644, root's
  t.write("open/root-rw.htm", infected());
  t.chmod("open/root-rw.htm", 0666);
  t.write("open/secret.htm", infected());
  t.chmod("open/secret.htm", 0600);
  t.write("closed/mine.htm", infected());
  ASSERT_EQ(::chown(t.abs("closed/mine.htm").constData(), 65534, 65534), 0);
  // nobody's own file, but in root's group: a new file could not be given that
  // group, so it is rewritten in place.
  t.write("open/group.htm", infected());
  ASSERT_EQ(::chown(t.abs("open/group.htm").constData(), 65534, 0), 0);
  const struct stat rw = statOf(t.abs("open/root-rw.htm"));
  const struct stat grp = statOf(t.abs("open/group.htm"));

  auto run = [&](const QByteArray& rel) {
    const QByteArray path = t.abs(rel);
    return asNobody([&] { return code(clean::cleanFile(path, kSig)); });
  };
  EXPECT_EQ(run("open/root-ro.htm"), 1 + int(Reason::ReadOnly));
  EXPECT_EQ(run("open/secret.htm"), 1 + int(Reason::NoReadPermission));
  EXPECT_EQ(run("closed/mine.htm"), 1 + int(Reason::FolderNotWritable));
  EXPECT_EQ(run("open/root-rw.htm"), 0);
  EXPECT_EQ(run("open/group.htm"), 0);

  EXPECT_EQ(t.read("open/root-ro.htm"), infected());
  EXPECT_EQ(t.read("open/secret.htm"), infected());
  EXPECT_EQ(t.read("closed/mine.htm"), infected());
  EXPECT_EQ(t.read("open/root-rw.htm"), cleaned(infected()));
  const struct stat after = statOf(t.abs("open/root-rw.htm"));
  EXPECT_EQ(after.st_ino, rw.st_ino);
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(after.st_mode, rw.st_mode);
  EXPECT_EQ(t.read("open/group.htm"), cleaned(infected()));
  const struct stat g = statOf(t.abs("open/group.htm"));
  EXPECT_EQ(g.st_ino, grp.st_ino);
  EXPECT_EQ(g.st_uid, 65534u);
  EXPECT_EQ(g.st_gid, 0u);
  EXPECT_EQ(namesIn(t.abs("open")),
            (QList<QByteArray>{"group.htm", "root-ro.htm", "root-rw.htm", "secret.htm"}));
}

// A real write failure: the file size limit stops the new file part way, as a
// full disk would.
TEST(Rewrite, FailedWriteLeavesFileAsItWas) {
  TempTree t;
  QByteArray big;
  for (int i = 0; i < 200; ++i)
    big += infected();
  t.write("a.htm", big);
  const QByteArray path = t.abs("a.htm");
  const int rc = [&] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{4096, 4096};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      clean::Options o;
      o.chunkSize = 1000;
      const auto f = clean::cleanFile(path, kSig, o);
      ::_exit(!f.ok() && f.failure().reason == Reason::System && f.failure().error == EFBIG &&
                      f.failure().outcome == Outcome::Unchanged
                  ? 0
                  : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
  }();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(t.read("a.htm"), big);
  EXPECT_EQ(namesIn(t.rootBytes()), QList<QByteArray>{"a.htm"});
}

TEST(Rewrite, FailureAtAnyStepBeforeTheRenameLeavesFileAsItWas) {
  for (Step step : {Step::ReadOriginal, Step::WriteTemp, Step::SyncTemp, Step::Replace}) {
    TempTree t;
    t.write("a.htm", infected());
    const struct stat before = statOf(t.abs("a.htm"));
    clean::Options o;
    o.chunkSize = 16;
    o.fault = failAt(step, step == Step::WriteTemp || step == Step::ReadOriginal ? 3 : 1, ENOSPC);
    const auto f = cleanPath(t, "a.htm", o);
    ASSERT_FALSE(f.ok()) << int(step);
    EXPECT_EQ(f.failure().reason, Reason::System);
    EXPECT_EQ(f.failure().error, ENOSPC);
    EXPECT_EQ(f.failure().outcome, Outcome::Unchanged);
    EXPECT_EQ(t.read("a.htm"), infected());
    EXPECT_EQ(statOf(t.abs("a.htm")).st_ino, before.st_ino);
    EXPECT_EQ(namesIn(t.rootBytes()), QList<QByteArray>{"a.htm"}) << int(step);
  }
}

TEST(Rewrite, FailedDirectorySyncIsToldAsNotYetOnDisk) {
  TempTree t;
  t.write("a.htm", infected());
  clean::Options o;
  o.fault = failAt(Step::SyncDir, 1, EIO);
  const auto f = cleanPath(t, "a.htm", o);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().outcome, Outcome::ReplacedUnsynced);
  EXPECT_EQ(t.read("a.htm"), cleaned(infected()));
}

TEST(Rewrite, InPlaceFailureRestoresBothNames) {
  for (Step step : {Step::WriteBackup, Step::SyncBackup, Step::WriteInPlace, Step::SyncInPlace}) {
    TempTree t;
    t.write("a.htm", infected());
    ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("b.htm").constData()), 0);
    clean::Options o;
    o.chunkSize = 16;
    o.fault = failAt(step, step == Step::WriteInPlace || step == Step::WriteBackup ? 4 : 1, ENOSPC);
    const auto f = cleanPath(t, "a.htm", o);
    ASSERT_FALSE(f.ok()) << int(step);
    EXPECT_EQ(f.failure().error, ENOSPC);
    EXPECT_EQ(f.failure().outcome, Outcome::Unchanged);
    EXPECT_EQ(t.read("a.htm"), infected()) << int(step);
    EXPECT_EQ(statOf(t.abs("b.htm")).st_nlink, 2u);
    EXPECT_EQ(namesIn(t.rootBytes()), (QList<QByteArray>{"a.htm", "b.htm"}));
  }
}

TEST(Rewrite, FailedRestoreKeepsTheBackupAndNamesIt) {
  // The copy of a file rewritten in place lives in the backup store's journal.
  TempTree t;
  t.write("a.htm", infected());
  ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("b.htm").constData()), 0);
  clean::BackupRun journal(clean::RunKind::Clean, false, kSig);
  journal.next(t.abs("a.htm"));
  clean::Options o;
  o.chunkSize = 16;
  o.keeper = &journal;
  auto inPlace = failAt(Step::WriteInPlace, 3, EIO);
  auto restore = failAt(Step::Restore, 2, EIO);
  o.fault = [=](Step s, const QByteArray&) {
    return s == Step::Restore ? restore(s, {}) : inPlace(s, {});
  };
  const auto f = cleanPath(t, "a.htm", o);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.failure().outcome, Outcome::Damaged);
  ASSERT_TRUE(f.failure().backup.startsWith(clean::backupStorePath() + '/'))
      << f.failure().backup.constData();
  QFile kept(platform::decodePath(f.failure().backup));
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), infected());
  EXPECT_EQ(namesIn(t.rootBytes()), (QList<QByteArray>{"a.htm", "b.htm"}));
}

// Someone swaps or changes the file between the read and the rename.
TEST(Rewrite, FileChangedDuringCleaningIsLeftAlone) {
  {
    TempTree t;
    t.write("outside.txt", "keep me");
    t.write("a.htm", infected());
    clean::Options o;
    o.fault = [&](Step s, const QByteArray&) {
      if (s == Step::SyncTemp) {
        ::unlink(t.abs("a.htm").constData());
        t.symlink(t.abs("outside.txt"), "a.htm");
      }
      return 0;
    };
    const auto f = cleanPath(t, "a.htm", o);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.failure().reason, Reason::Changed);
    EXPECT_TRUE(S_ISLNK(statOf(t.abs("a.htm")).st_mode));
    EXPECT_EQ(t.read("outside.txt"), "keep me");
    EXPECT_EQ(namesIn(t.rootBytes()), (QList<QByteArray>{"a.htm", "outside.txt"}));
  }
  {
    TempTree t;
    t.write("a.htm", infected());
    clean::Options o;
    o.fault = [&](Step s, const QByteArray&) {
      if (s == Step::SyncTemp) {
        const int fd = ::open(t.abs("a.htm").constData(), O_WRONLY | O_APPEND);
        EXPECT_EQ(::write(fd, "new", 3), 3);
        ::close(fd);
      }
      return 0;
    };
    const auto f = cleanPath(t, "a.htm", o);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.failure().reason, Reason::Changed);
    EXPECT_EQ(t.read("a.htm"), infected() + "new");
  }
}

TEST(Rewrite, RelativePathCountsFromCurrentDirectory) {
  TempTree t;
  t.write("a.htm", infected());
  char old[4096];
  ASSERT_TRUE(::getcwd(old, sizeof old));
  ASSERT_EQ(::chdir(t.rootBytes().constData()), 0);
  const auto f = clean::cleanFile("a.htm", kSig);
  const auto missing = clean::cleanFile("  清楚成功！", kSig);
  ASSERT_EQ(::chdir(old), 0);
  EXPECT_TRUE(f.ok());
  EXPECT_EQ(t.read("a.htm"), cleaned(infected()));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.failure().reason, Reason::NotFound);
  EXPECT_EQ(namesIn(t.rootBytes()), QList<QByteArray>{"a.htm"});
}

}  // namespace
