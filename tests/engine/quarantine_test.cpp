// The quarantine, with no window: a file that holds a member whose action is
// quarantine is taken out whole and put back byte for byte by the restore;
// other names stay; a swap between the scan and the clean, a full store and a
// file that now stands at the path are refused.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QString>

#include <cerrno>
#include <vector>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "clean/restore.h"
#include "engine/cleanrun.h"
#include "platform/fs.h"
#include "testsupport.h"
#include "text/signatureset.h"

namespace {

// Not UTF-8, so that only a byte-for-byte copy gives it back.
const QByteArray kShell = "<?php @eval($_POST['c']);?>\n\xB7\xA2\xCB\xCD\x00\xFF";
const QByteArray kFrame = "<iframe src=x width=0>";

CleanRequest setRequest() {
  CleanRequest r;
  r.signature = text::packSignatureSet(
      {{QStringLiteral("frame"), QString::fromLatin1(kFrame)},
       {QStringLiteral("shell"), QStringLiteral("@eval($_post["), text::MemberAction::Quarantine}});
  return r;
}

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.constData(), &st), 0) << path.constData();
  return st;
}

bool exists(const QByteArray& path) {
  struct stat st;
  return ::lstat(path.constData(), &st) == 0;
}

class QuarantineTest : public ::testing::Test {
 protected:
  ~QuarantineTest() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& name : s.runs())
        (void)clean::removeRun(s.fd(), name);
    }
  }
  TempTree t;
  TempTree outside;
};

TEST_F(QuarantineTest, WebShellGoesWholeAndComesBackWithItsMetadata) {
  t.mkdir("uploads");
  t.write("uploads/c.php", kShell);
  t.write("index.html", "<p>" + kFrame + "</p>");
  const QByteArray shell = t.abs("uploads/c.php");
  ::chmod(shell.constData(), 0640);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(shell.constData(), 65534, 65534), 0);
  }
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1577934245, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, shell.constData(), times, AT_SYMLINK_NOFOLLOW), 0);
  const struct stat before = statOf(shell);

  const std::vector<CleanedFile> results =
      cleanFiles(setRequest(), {{t.abs("index.html"), std::nullopt}, {shell, std::nullopt}});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].quarantined) << "a member that removes rewrites the file";
  EXPECT_EQ(t.read("index.html"), "<p></p>");
  ASSERT_TRUE(results[1].ok());
  EXPECT_TRUE(results[1].quarantined);
  EXPECT_EQ(results[1].quarantinedFor, QStringLiteral("shell"));
  EXPECT_EQ(results[1].otherNames, 0);
  EXPECT_FALSE(exists(shell));

  clean::Store store;
  ASSERT_EQ(store.open(false), 0);
  const auto run = clean::readRun(store.fd(), store.runs().back());
  ASSERT_TRUE(run && run->files.size() == 2u);
  EXPECT_TRUE(run->files[1].quarantine);
  EXPECT_EQ(run->files[1].outcome, QStringLiteral("quarantined"));

  const clean::RestoreReport back = clean::restoreRun({});
  ASSERT_EQ(back.error, 0);
  ASSERT_EQ(back.files.size(), 2u);
  EXPECT_EQ(back.files[1].result, clean::RestoredFile::Result::Restored)
      << back.files[1].reason.toStdString();
  EXPECT_EQ(t.read("uploads/c.php"), kShell);
  const struct stat after = statOf(shell);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(t.read("index.html"), "<p>" + kFrame + "</p>");
  // Twice changes nothing.
  const clean::RestoreReport again =
      clean::restoreRun(back.run.isEmpty() ? QByteArray() : back.run);
  ASSERT_EQ(again.files.size(), 2u);
  EXPECT_EQ(again.files[1].result, clean::RestoredFile::Result::Unchanged);
}

TEST_F(QuarantineTest, OtherNamesStayAndAreCounted) {
  t.write("c.php", kShell);
  ASSERT_EQ(::link(t.abs("c.php").constData(), outside.abs("kept.php").constData()), 0);
  const std::vector<CleanedFile> results =
      cleanFiles(setRequest(), {{t.abs("c.php"), std::nullopt}});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].quarantined);
  EXPECT_EQ(results[0].otherNames, 1);
  EXPECT_FALSE(exists(t.abs("c.php")));
  EXPECT_EQ(outside.read("kept.php"), kShell);
  EXPECT_EQ(statOf(outside.abs("kept.php")).st_nlink, 1u);
}

// The scan read a shell at the path; before the clean the path (or its folder)
// was swapped for a link to a file elsewhere, or for a folder.
TEST_F(QuarantineTest, SwapsSinceTheScanAreRefusedAndNothingOutsideGoes) {
  outside.write("victim.php", kShell);
  t.mkdir("up");
  t.write("up/c.php", kShell);
  t.write("d.php", kShell);
  t.write("e.php", kShell);
  const auto id = [&](const char* rel) {
    return std::make_optional(platform::identityOf(statOf(t.abs(rel))));
  };
  const std::vector<FileToClean> list{{t.abs("up/c.php"), id("up/c.php")},
                                      {t.abs("d.php"), id("d.php")},
                                      {t.abs("e.php"), id("e.php")}};
  // A folder on the way, the file itself, and a folder in the file's place.
  ASSERT_EQ(::rename(t.abs("up").constData(), t.abs("up-old").constData()), 0);
  t.symlink(outside.rootBytes(), "up");
  ASSERT_EQ(::rename(outside.abs("victim.php").constData(), outside.abs("c.php").constData()), 0);
  ASSERT_EQ(::unlink(t.abs("d.php").constData()), 0);
  t.symlink(outside.abs("c.php"), "d.php");
  ASSERT_EQ(::unlink(t.abs("e.php").constData()), 0);
  t.mkdir("e.php");

  CleanRequest r = setRequest();
  r.keepGoing = true;
  const std::vector<CleanedFile> results = cleanFiles(r, list);
  ASSERT_EQ(results.size(), 3u);
  for (const CleanedFile& f : results) {
    EXPECT_FALSE(f.ok()) << f.path.constData();
    EXPECT_FALSE(f.quarantined);
  }
  EXPECT_EQ(outside.read("c.php"), kShell);
  EXPECT_TRUE(exists(t.abs("e.php")));
  EXPECT_TRUE(S_ISLNK(statOf(t.abs("d.php")).st_mode));
}

TEST_F(QuarantineTest, NoBackupNoQuarantine) {
  t.write("c.php", kShell);
  t.write("d.php", kShell);
  CleanRequest full = setRequest();
  full.options.fault = [](clean::Step s, const QByteArray&) {
    return s == clean::Step::WriteBackup ? ENOSPC : 0;
  };
  CleanRequest none = setRequest();
  none.keepBackups = false;
  for (const auto& [request, name] : {std::pair{&full, "c.php"}, std::pair{&none, "d.php"}}) {
    const std::vector<CleanedFile> results = cleanFiles(*request, {{t.abs(name), std::nullopt}});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].ok()) << name;
    EXPECT_EQ(results[0].failure.reason, clean::Reason::BackupFailed) << name;
    EXPECT_EQ(t.read(name), kShell) << name;
  }
}

// Once the name is moved aside: a failure puts it back at once, a crash
// leaves it for the next run to put back.
TEST_F(QuarantineTest, AFileCaughtMovedAsideGoesBackUnderItsName) {
  t.write("c.php", kShell);
  CleanRequest r = setRequest();
  r.options.fault = [](clean::Step s, const QByteArray&) {
    return s == clean::Step::Quarantine ? EIO : 0;
  };
  const std::vector<CleanedFile> failed = cleanFiles(r, {{t.abs("c.php"), std::nullopt}});
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_FALSE(failed[0].ok());
  EXPECT_EQ(t.read("c.php"), kShell);

  const pid_t pid = ::fork();
  if (pid == 0) {
    r.options.fault = [](clean::Step s, const QByteArray&) {
      if (s == clean::Step::Quarantine)
        ::_exit(0);
      return 0;
    };
    (void)cleanFiles(r, {{t.abs("c.php"), std::nullopt}});
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_FALSE(exists(t.abs("c.php"))) << "the child died with the name moved aside";
  const std::vector<clean::RecoveryNote> notes = clean::recoverInterrupted();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].what, clean::RecoveryNote::What::RolledBack);
  EXPECT_EQ(t.read("c.php"), kShell);
  EXPECT_EQ(QDir(t.root()).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("c.php")});
}

TEST_F(QuarantineTest, RestoreNeverWritesOverWhatNowStandsThere) {
  t.write("c.php", kShell);
  t.write("d.php", kShell);
  const std::vector<CleanedFile> results =
      cleanFiles(setRequest(), {{t.abs("c.php"), std::nullopt}, {t.abs("d.php"), std::nullopt}});
  ASSERT_EQ(results.size(), 2u);
  ASSERT_TRUE(results[0].quarantined && results[1].quarantined);
  t.write("c.php", "<?php echo 'the new site';");
  t.symlink(outside.abs("target"), "d.php");
  clean::RestoreOptions force;
  force.force = true;
  const clean::RestoreReport back = clean::restoreRun({}, force);
  ASSERT_EQ(back.files.size(), 2u);
  for (const clean::RestoredFile& f : back.files) {
    EXPECT_EQ(f.result, clean::RestoredFile::Result::Failed) << f.path.constData();
    EXPECT_TRUE(f.reason.contains(QString::fromUtf8(f.path))) << f.reason.toStdString();
  }
  EXPECT_EQ(t.read("c.php"), "<?php echo 'the new site';");
  EXPECT_FALSE(exists(outside.abs("target")));
}

}  // namespace
