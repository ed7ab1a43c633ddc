// What a clean keeps of a file besides its bytes, on both ways of putting the new
// content in place (a new file renamed over the old one, and a rewrite in place
// for a file with several names): its holes, its inode flags, and its set-ID
// bits when a plain user cleans it.
#include "clean/properties.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "clean/backupstore.h"
#include "clean/fileio.h"
#include "clean/journal.h"
#include "clean/remover.h"
#include "clean/rewrite.h"
#include "platform/fd.h"
#include "testsupport.h"

namespace {

const QString kSig = QStringLiteral(u"<iframe src=x width=0>");
const QByteArray kSigBytes = kSig.toUtf8();

enum class Way { Replace, InPlace };
const Way kWays[] = {Way::Replace, Way::InPlace};

const char* nameOf(Way w) {
  return w == Way::Replace ? "replace" : "in place";
}

struct stat statOf(const QByteArray& path) {
  struct stat st;
  if (::lstat(path.constData(), &st) != 0)
    throw std::runtime_error("lstat failed: " + path.toStdString());
  return st;
}

// Writes `bytes` at `at`, leaving what lies between as it is (a hole when past the end).
void writeAt(const QByteArray& path, off_t at, const QByteArray& bytes) {
  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const bool ok = fd >= 0 && ::pwrite(fd, bytes.constData(), std::size_t(bytes.size()), at) ==
                                 ssize_t(bytes.size());
  if (fd >= 0)
    ::close(fd);
  if (!ok)
    throw std::runtime_error("write failed: " + path.toStdString());
}

void setSize(const QByteArray& path, off_t size) {
  if (::truncate(path.constData(), size) != 0)
    throw std::runtime_error("truncate failed: " + path.toStdString());
}

// A file that is to be cleaned the chosen way: with a second name, the clean
// rewrites it in place.
void prepare(const TempTree& t, const QByteArray& rel, Way way) {
  if (way == Way::InPlace && ::link(t.abs(rel).constData(), t.abs(rel + ".link").constData()) != 0)
    throw std::runtime_error("link failed");
}

// Checks that the way taken was the one meant: a rename gives a new inode.
void expectWay(const struct stat& before, const QByteArray& path, Way way) {
  const struct stat after = statOf(path);
  if (way == Way::Replace)
    EXPECT_NE(after.st_ino, before.st_ino) << "the file was not replaced";
  else
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was not rewritten in place";
}

// ---- Holes --------------------------------------------------------------------

constexpr off_t kMiB = 1024 * 1024;

// 12 MiB with three small pieces of data: at the start, in the middle (an
// occurrence right where a hole ends), and a block of written zeros, with a hole
// at the end. Each piece holds an occurrence, so all that follows it moves.
constexpr off_t kSparseSize = 12 * kMiB;
constexpr off_t kWrittenZeros = 256 * 1024;
QByteArray makeSparse(const TempTree& t, const QByteArray& rel) {
  const QByteArray path = t.abs(rel);
  writeAt(path, 0, "<html>" + kSigBytes + "<p>head</p>");
  writeAt(path, 4 * kMiB, kSigBytes + "middle" + kSigBytes + "\r\n");
  writeAt(path, 8 * kMiB, QByteArray(kWrittenZeros, '\0'));
  writeAt(path, 8 * kMiB + kWrittenZeros, "after the zeros" + kSigBytes);
  setSize(path, kSparseSize);
  return t.read(rel);
}

// Whether the file system keeps holes: a sparse file has far fewer blocks than bytes.
bool hasHoles(const struct stat& st) {
  return st.st_blocks * 512 < st.st_size / 4;
}

TEST(KeptProperties, HolesStayHolesInTheFileAndInItsBackup) {
  for (Way way : kWays) {
    SCOPED_TRACE(nameOf(way));
    TempTree t;
    const QByteArray original = makeSparse(t, "big.htm");
    prepare(t, "big.htm", way);
    const QByteArray path = t.abs("big.htm");
    const struct stat before = statOf(path);
    if (!hasHoles(before))
      GTEST_SKIP() << "the file system of " << t.rootBytes().constData() << " keeps no holes";

    clean::BackupRun run(clean::RunKind::Clean, true, kSig);
    clean::Options o;
    o.keeper = &run;
    run.next(path);
    const clean::CleanResult result = clean::cleanFile(path, kSig, o);
    ASSERT_TRUE(result.ok());
    run.outcome(result, platform::identityOf(statOf(path)));
    run.finish(false);

    expectWay(before, path, way);
    EXPECT_EQ(t.read("big.htm"), clean::removeSignature(original, kSig, 1 << 20));
    const struct stat after = statOf(path);
    // The data, the written zeros and a block or two more where the removals
    // moved data across a block's edge; not the whole size.
    EXPECT_LE(after.st_blocks, before.st_blocks + 64)
        << "allocated " << after.st_blocks * 512 << " bytes, was " << before.st_blocks * 512;
    // Zeros that were written stay written: only holes become holes.
    EXPECT_GE(after.st_blocks * 512, kWrittenZeros);

    clean::Store store;
    ASSERT_EQ(store.open(false), 0);
    const auto m = clean::readRun(store.fd(), run.name());
    ASSERT_TRUE(m && m->files.size() == 1u);
    const struct stat copy = statOf(store.path() + '/' + run.name() + '/' + m->files[0].copy);
    EXPECT_EQ(copy.st_size, kSparseSize);
    EXPECT_TRUE(hasHoles(copy)) << "the backup has " << copy.st_blocks * 512 << " bytes allocated";
    (void)clean::removeRun(store.fd(), run.name());
  }
}

// The number of runs of data in a file's first version, counted as the runs of
// blocks that are not all zeros (written zeros count as holes here, which only
// makes the count larger).
int dataRuns(const QByteArray& content) {
  int runs = 0;
  bool inData = false;
  for (qsizetype at = 0; at < content.size(); at += 4096) {
    const QByteArray block = content.mid(at, 4096);
    const bool data = block.count('\0') != block.size();
    runs += data && !inData;
    inData = data;
  }
  return runs;
}

// Random layouts of holes, data, written zeros and occurrences (some across
// the edge of a block), cleaned in pieces of random sizes: every byte lands
// where the cleaned content has it, wherever the removals move the holes.
TEST(KeptProperties, RandomSparseLayoutsCleanToExactlyTheCleanedContent) {
  constexpr off_t kBlock = 4096;
  std::mt19937 random(20261207);
  for (int trial = 0; trial < 24; ++trial) {
    const Way way = kWays[trial % 2];
    TempTree t;
    const QByteArray path = t.abs("f.htm");
    const int blocks = 8 + int(random() % 40);
    writeAt(path, 0, "");
    for (int b = 0; b < blocks; ++b) {
      switch (random() % 4) {
        case 0:  // written zeros
          writeAt(path, b * kBlock, QByteArray(kBlock, '\0'));
          break;
        case 1: {  // text with occurrences, maybe running into the next block
          QByteArray text;
          while (text.size() < kBlock)
            text += random() % 3 == 0 ? kSigBytes : QByteArray("<p>") + char('a' + random() % 26);
          const off_t at = b * kBlock + off_t(random() % kBlock);
          writeAt(path, at, text.left(qsizetype((b + 1) * kBlock - at + (random() % 2) * 30)));
          break;
        }
        default:  // a hole
          break;
      }
    }
    setSize(path, blocks * kBlock + off_t(random() % kBlock));
    const QByteArray original = t.read("f.htm");
    prepare(t, "f.htm", way);
    const struct stat before = statOf(path);
    clean::Options o;
    o.chunkSize = 1 + random() % 6000;
    SCOPED_TRACE(std::string(nameOf(way)) + ", trial " + std::to_string(trial) + ", pieces of " +
                 std::to_string(o.chunkSize));

    ASSERT_TRUE(clean::cleanFile(path, kSig, o).ok());

    expectWay(before, path, way);
    ASSERT_EQ(t.read("f.htm"), clean::removeSignature(original, kSig, 1 << 20));
    // Moved by the removals, a run of data may reach into one more block; in
    // place, the blocks at both ends of a hole punched partly stay allocated.
    EXPECT_LE(statOf(path).st_blocks, before.st_blocks + 3 * 8 * (dataRuns(original) + 1));
  }
}

// Copies `from` into `to` as the stream engine does, a piece at a time: each
// piece read, then handed to the writer. `between` runs after each read.
int copySparse(int from, int to, std::size_t piece, const std::function<void(off_t)>& between) {
  const clean::Steps& steps = clean::plainSteps();
  clean::SparseWriter sparse(from, to);
  if (!sparse.active())
    return -1;
  std::vector<uint8_t> buf(piece);
  off_t readAt = 0;
  off_t at = 0;
  for (;;) {
    const off_t source = readAt;
    const ssize_t n = ::pread(from, buf.data(), buf.size(), readAt);
    if (n <= 0)
      break;
    readAt += n;
    if (between)
      between(readAt);
    if (const int e =
            sparse.write(steps, clean::Step::WriteInPlace, buf.data(), std::size_t(n), at, source))
      return e;
  }
  return sparse.finish(steps, clean::Step::WriteInPlace, at);
}

// An in-place write that grows a file (a restore puts back the longer
// original): where the original has a hole that runs past the file's old end,
// every old byte up to that end goes, the last one too.
TEST(KeptProperties, AHoleWrittenAcrossTheOldEndOfAFileLeavesNoOldByte) {
  TempTree t;
  const QByteArray from = t.abs("original");
  writeAt(from, 0, QByteArray(8192, 'a'));
  writeAt(from, 73728, QByteArray(100, 'b'));
  t.write("shorter", QByteArray(72828, 'y'));  // ends inside the original's hole
  platform::UniqueFd in(::open(from.constData(), O_RDONLY | O_CLOEXEC));
  platform::UniqueFd out(::open(t.abs("shorter").constData(), O_RDWR | O_CLOEXEC));
  const int e = copySparse(in.get(), out.get(), 4096, nullptr);
  if (e == -1)
    GTEST_SKIP() << "the file system of " << t.rootBytes().constData() << " keeps no holes";
  ASSERT_EQ(e, 0);
  const QByteArray now = t.read("shorter");
  ASSERT_EQ(now.size(), 73828);
  EXPECT_EQ(now.indexOf('y'), -1) << "an old byte at " << now.indexOf('y');
  EXPECT_EQ(now, t.read("original"));
}

// Bytes read from what was a hole when the writer looked are written unless
// they are zeros: the file may have been written there since.
TEST(KeptProperties, BytesWrittenIntoAHoleSinceItWasSeenAreCopied) {
  TempTree t;
  const QByteArray from = t.abs("original");
  writeAt(from, 0, QByteArray(4096, 'a'));
  writeAt(from, 69632, QByteArray(4096, 'b'));
  t.write("copy", "");
  platform::UniqueFd in(::open(from.constData(), O_RDWR | O_CLOEXEC));
  platform::UniqueFd out(::open(t.abs("copy").constData(), O_RDWR | O_CLOEXEC));
  // Once the writer has seen the hole, data lands in it ahead of the reads.
  const int e = copySparse(in.get(), out.get(), 4096, [&](off_t readTo) {
    if (readTo == 12288)
      writeAt(from, 16384, QByteArray(4096, 'x'));
  });
  if (e == -1)
    GTEST_SKIP() << "the file system of " << t.rootBytes().constData() << " keeps no holes";
  ASSERT_EQ(e, 0);
  EXPECT_EQ(t.read("copy"), t.read("original"));
  EXPECT_EQ(t.read("copy").count('x'), 4096);
}

// ---- Inode flags ------------------------------------------------------------------

std::optional<unsigned> flagsOf(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int v = 0;
  const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &v) == 0;
  if (fd >= 0)
    ::close(fd);
  return ok ? std::optional<unsigned>(unsigned(v)) : std::nullopt;
}

// Adds `add` to the flags of `path`; errno when the file system refuses.
int chattr(const QByteArray& path, unsigned add, unsigned remove = 0) {
  const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno;
  int v = 0;
  int e = ::ioctl(fd, FS_IOC_GETFLAGS, &v) == 0 ? 0 : errno;
  if (e == 0) {
    v = int((unsigned(v) | add) & ~remove);
    e = ::ioctl(fd, FS_IOC_SETFLAGS, &v) == 0 ? 0 : errno;
  }
  ::close(fd);
  return e;
}

// The reason to skip where the temporary folder's file system has no flags.
std::optional<std::string> noFlags(const TempTree& t, const QByteArray& probe, unsigned flags) {
  if (const int e = chattr(t.abs(probe), flags))
    return std::string("these inode flags cannot be set in ") + t.rootBytes().constData() + ": " +
           std::strerror(e);
  return std::nullopt;
}

TEST(KeptProperties, InodeFlagsAreKept) {
  const QByteArray content = "<html>" + kSigBytes + "</html>\r\n";
  // No dump and no access time everywhere flags are kept; the others where the
  // file system takes them.
  const unsigned required = FS_NODUMP_FL | FS_NOATIME_FL;
  const unsigned optional[] = {FS_SECRM_FL,  FS_UNRM_FL,  FS_COMPR_FL,  FS_SYNC_FL,
                               FS_NOTAIL_FL, FS_NOCOW_FL, FS_NOCOMP_FL, FS_DAX_FL};
  for (Way way : kWays) {
    SCOPED_TRACE(nameOf(way));
    TempTree t;
    t.write("a.htm", content);
    if (auto why = noFlags(t, "a.htm", required))
      GTEST_SKIP() << *why;
    unsigned asked = required;
    for (unsigned flag : optional) {
      if (chattr(t.abs("a.htm"), flag) == 0)
        asked |= flag;
    }
    // Some are taken without error and not kept (no compression on ext4).
    const unsigned kept = flagsOf(t.abs("a.htm")).value_or(0) & asked;
    ASSERT_EQ(kept & required, required);
    prepare(t, "a.htm", way);
    const struct stat before = statOf(t.abs("a.htm"));

    ASSERT_TRUE(clean::cleanFile(t.abs("a.htm"), kSig).ok());

    expectWay(before, t.abs("a.htm"), way);
    EXPECT_EQ(t.read("a.htm"), "<html></html>\r\n");
    const auto flags = flagsOf(t.abs("a.htm"));
    ASSERT_TRUE(flags);
    EXPECT_EQ(*flags & kept, kept) << std::hex << "flags " << *flags << ", set before " << kept;
  }
}

TEST(KeptProperties, AFlagTheNewFileGotFromItsFolderIsDropped) {
  TempTree t;
  t.write("www/a.htm", "<html>" + kSigBytes + "</html>\r\n");
  if (auto why = noFlags(t, "www", FS_NODUMP_FL))
    GTEST_SKIP() << *why;
  // Files made in the folder from now on get "no dump"; the old one does not have it.
  ASSERT_EQ(flagsOf(t.abs("www/a.htm")).value_or(0) & FS_NODUMP_FL, 0u);
  const struct stat before = statOf(t.abs("www/a.htm"));

  ASSERT_TRUE(clean::cleanFile(t.abs("www/a.htm"), kSig).ok());

  expectWay(before, t.abs("www/a.htm"), Way::Replace);
  const auto flags = flagsOf(t.abs("www/a.htm"));
  ASSERT_TRUE(flags);
  EXPECT_EQ(*flags & FS_NODUMP_FL, 0u);
}

TEST(KeptProperties, AFlagTheNewFileCannotTakeIsKeptByWritingInPlace) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "setting data journalling needs root";
  TempTree t;
  t.mkdir("www");
  ASSERT_EQ(::chown(t.abs("www").constData(), 65534, 65534), 0);
  t.write("www/a.htm", "<html>" + kSigBytes + "</html>\r\n");
  if (auto why = noFlags(t, "www/a.htm", FS_JOURNAL_DATA_FL))
    GTEST_SKIP() << *why;
  const QByteArray path = t.abs("www/a.htm");
  ASSERT_EQ(::chown(path.constData(), 65534, 65534), 0);
  const struct stat before = statOf(path);

  // Its owner may clean it but not set that flag on a new file.
  const int rc = runUnprivileged([&] { return clean::cleanFile(path, kSig).ok() ? 0 : 1; });
  ASSERT_EQ(rc, 0);

  expectWay(before, path, Way::InPlace);
  EXPECT_EQ(t.read("www/a.htm"), "<html></html>\r\n");
  EXPECT_NE(flagsOf(path).value_or(0) & FS_JOURNAL_DATA_FL, 0u);
  (void)chattr(path, 0, FS_JOURNAL_DATA_FL);
}

TEST(KeptProperties, ImmutableAndAppendOnlyFilesAreRefusedUntouched) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "setting immutable or append-only needs root";
  const QByteArray content = "<html>" + kSigBytes + "</html>\r\n";
  for (unsigned flag : {unsigned(FS_IMMUTABLE_FL), unsigned(FS_APPEND_FL)}) {
    SCOPED_TRACE(flag);
    TempTree t;
    t.write("a.htm", content);
    if (auto why = noFlags(t, "a.htm", flag))
      GTEST_SKIP() << *why;
    const struct stat before = statOf(t.abs("a.htm"));

    const clean::CleanResult result = clean::cleanFile(t.abs("a.htm"), kSig);

    (void)chattr(t.abs("a.htm"), 0, flag);  // so that the tree can be removed
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().reason, clean::Reason::ReadOnly);
    EXPECT_EQ(statOf(t.abs("a.htm")).st_ino, before.st_ino);
    EXPECT_EQ(t.read("a.htm"), content);
  }
}

// ---- Set-ID bits --------------------------------------------------------------

// A group the plain user belongs to besides their own, and a group they do not.
constexpr gid_t kUser = 65534;
constexpr gid_t kTheirOtherGroup = 65533;
constexpr gid_t kStrangersGroup = 65532;

// Runs `fn` as user 65534 in groups 65534 and 65533; -1 when that cannot be.
int asUserWithTwoGroups(const std::function<int()>& fn) {
  const pid_t pid = ::fork();
  if (pid < 0)
    return -1;
  if (pid == 0) {
    const gid_t groups[] = {kTheirOtherGroup};
    if (::setgroups(1, groups) != 0 || ::setgid(kUser) != 0 || ::setuid(kUser) != 0)
      ::_exit(99);
    ::_exit(fn());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

TEST(KeptProperties, SetIdBitsAreKeptWhereThePlainUserMaySetThem) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "making a user with a second group needs root";
  const QByteArray content = "#!/bin/sh\n# " + kSigBytes + "\necho hi\n";
  struct Case {
    gid_t group;
    mode_t mode;
    mode_t expected;
  };
  const Case cases[] = {
      // Their own file in a group of theirs: both bits stay.
      {kTheirOtherGroup, 06755, 06755},
      {kUser, 04750, 04750},
      {kTheirOtherGroup, 02775, 02775},
      // A group they are not in (set by root): the new file cannot have that
      // group, so it is written in place; its owner may set the user bit again,
      // the system forbids the group bit.
      {kStrangersGroup, 06755, 04755},
  };
  for (Way way : kWays) {
    for (const Case& c : cases) {
      SCOPED_TRACE(QStringLiteral("%1, group %2, mode %3")
                       .arg(QString::fromLatin1(nameOf(way)))
                       .arg(c.group)
                       .arg(c.mode, 4, 8, QChar(u'0'))
                       .toStdString());
      TempTree t;
      t.mkdir("bin");
      ASSERT_EQ(::chown(t.abs("bin").constData(), kUser, kUser), 0);
      t.write("bin/run.cgi", content);
      const QByteArray path = t.abs("bin/run.cgi");
      ASSERT_EQ(::chown(path.constData(), kUser, c.group), 0);
      ASSERT_EQ(::chmod(path.constData(), c.mode), 0);
      prepare(t, "bin/run.cgi", way);
      const struct stat before = statOf(path);

      const int rc = asUserWithTwoGroups([&] { return clean::cleanFile(path, kSig).ok() ? 0 : 1; });
      ASSERT_EQ(rc, 0);

      const struct stat after = statOf(path);
      if (c.group != kStrangersGroup)
        expectWay(before, path, way);
      EXPECT_EQ(t.read("bin/run.cgi"), "#!/bin/sh\n# \necho hi\n");
      EXPECT_EQ(after.st_mode & 07777, c.expected) << std::oct << (after.st_mode & 07777);
      EXPECT_EQ(after.st_uid, kUser);
      EXPECT_EQ(after.st_gid, c.group);
    }
  }
}

TEST(KeptProperties, SetIdBitsComeBackWithTheRollBackOfAKilledInPlaceRewrite) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "making a user with a second group needs root";
  TempTree t;
  for (const char* dir : {"bin", "data"}) {
    t.mkdir(dir);
    ASSERT_EQ(::chown(t.abs(dir).constData(), kUser, kUser), 0);
  }
  QByteArray content = "#!/bin/sh\n";
  for (int i = 0; i < 50; ++i)
    content += "# " + kSigBytes + "\necho " + QByteArray::number(i) + "\n";
  t.write("bin/run.cgi", content);
  const QByteArray path = t.abs("bin/run.cgi");
  ASSERT_EQ(::chown(path.constData(), kUser, kTheirOtherGroup), 0);
  ASSERT_EQ(::chmod(path.constData(), 06755), 0);
  prepare(t, "bin/run.cgi", Way::InPlace);
  const QByteArray data = t.abs("data");

  // Killed at its third write over the file, with the journal kept in the user's store.
  const int killed = asUserWithTwoGroups([&] {
    ::setenv("XDG_DATA_HOME", data.constData(), 1);
    clean::BackupRun journal(clean::RunKind::Clean, false, kSig);
    clean::Options o;
    o.chunkSize = 64;
    o.keeper = &journal;
    int writes = 0;
    o.fault = [&](clean::Step s, const QByteArray&) {
      if (s == clean::Step::WriteInPlace && ++writes == 3)
        ::raise(SIGKILL);
      return 0;
    };
    journal.next(path);
    (void)clean::cleanFile(path, kSig, o);
    return 0;
  });
  ASSERT_EQ(killed, -1) << "the rewrite was not killed";
  ASSERT_NE(t.read("bin/run.cgi"), content);  // half written

  // The next run, as the same user, puts it back.
  const int recovered = asUserWithTwoGroups([&] {
    ::setenv("XDG_DATA_HOME", data.constData(), 1);
    const auto notes = clean::recoverInterrupted();
    return notes.size() == 1 && notes[0].what == clean::RecoveryNote::What::RolledBack ? 0 : 1;
  });
  ASSERT_EQ(recovered, 0);
  EXPECT_EQ(t.read("bin/run.cgi"), content);
  EXPECT_EQ(statOf(path).st_mode & 07777, 06755u) << std::oct << (statOf(path).st_mode & 07777);
}

}  // namespace
