// The backup store holds the infected originals of cleaned files. A scan that
// reaches it (a home folder, all files) must not list them, or a clean would strip
// the signature from the only copies that can undo it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "scanfixture.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

class StoreSkip : public ::testing::Test, public ScanFixture {
 protected:
  StoreSkip() : ScanFixture(u"<iframe"_s, u"*.*"_s) {
    old_ = qgetenv("XDG_DATA_HOME");
    // The store inside the scanned tree, as ~/.local/share is inside a home folder.
    ::setenv("XDG_DATA_HOME", (t.root() + u"/.local/share"_s).toUtf8().constData(), 1);
  }
  ~StoreSkip() override { ::setenv("XDG_DATA_HOME", old_.constData(), 1); }
  QByteArray old_;
};

TEST_F(StoreSkip, ACleanedFilesBackupIsNotListedByTheNextScan) {
  t.write("www/index.php", "<html><iframe src=x></html>");
  scan();
  ASSERT_EQ(logged(), QStringList({u"www/index.php"_s}));
  Cleaner cleaner(w);
  cleaner.Command2_Click();
  ASSERT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  ASSERT_EQ(t.read("www/index.php"), QByteArray("<html> src=x></html>"));

  // The original is in the store now; the next scan finds nothing anywhere.
  t.write("www/new.php", "<IFRAME>");
  scan();
  EXPECT_EQ(logged(), QStringList({u"www/new.php"_s}));
}

}  // namespace

namespace {

// Something at the store's place that is not a genuine store (a link on the way,
// a folder of another owner or open to others) is walked like any folder, and the
// scan says so once after the results.
class FalseStore : public StoreSkip {
 protected:
  void expectListedWithNote() {
    scan();
    EXPECT_EQ(logged(), QStringList({u"www/up/c.php"_s}));
    ASSERT_EQ(w.messages.size(), 1) << w.messages.join(u'\n').toStdString();
    EXPECT_TRUE(w.messages[0].startsWith(u"备份文件夹的位置上不是本程序的备份文件夹（"_s))
        << w.messages[0].toStdString();
    EXPECT_TRUE(w.messages[0].endsWith(t.path(".local/share/tervane/backups")))
        << w.messages[0].toStdString();
    EXPECT_FALSE(scanner.storeNotSkipped().isEmpty());
  }
  void SetUp() override {
    t.write("www/up/c.php", "x <iframe src=x>");
    t.mkdir(".local");
    t.mkdir(".local/share");
  }
};

TEST_F(FalseStore, ALinkAtTheStoresPlaceHidesNothing) {
  t.mkdir(".local/share/tervane");
  ::chmod(t.abs(".local/share/tervane").constData(), 0700);
  ASSERT_EQ(
      ::symlink(t.abs("www/up").constData(), t.abs(".local/share/tervane/backups").constData()), 0);
  expectListedWithNote();
}

TEST_F(FalseStore, ALinkAtTheStoresParentHidesNothing) {
  t.mkdir("elsewhere");
  ::chmod(t.abs("elsewhere").constData(), 0700);
  ASSERT_EQ(::symlink(t.abs("www/up").constData(), t.abs("elsewhere/backups").constData()), 0);
  ASSERT_EQ(::symlink(t.abs("elsewhere").constData(), t.abs(".local/share/tervane").constData()),
            0);
  expectListedWithNote();
}

TEST_F(FalseStore, AFolderOpenToOthersIsNotTheStore) {
  t.mkdir(".local/share/tervane");
  ::chmod(t.abs(".local/share/tervane").constData(), 0700);
  // The store's place holds the site's folder itself, as a bind mount would.
  t.write(".local/share/tervane/backups/c.php", "y <iframe src=x>");
  ::chmod(t.abs(".local/share/tervane/backups").constData(), 0755);
  scan();
  QStringList listed = logged();
  listed.sort();
  EXPECT_EQ(listed, QStringList({u".local/share/tervane/backups/c.php"_s, u"www/up/c.php"_s}));
  ASSERT_EQ(w.messages.size(), 1);
  // Looking did not change it.
  struct stat st;
  ASSERT_EQ(::stat(t.abs(".local/share/tervane/backups").constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(FalseStore, AFolderOfAnotherOwnerIsNotTheStore) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give a folder to another user";
  t.mkdir(".local/share/tervane");
  ::chmod(t.abs(".local/share/tervane").constData(), 0700);
  t.write(".local/share/tervane/backups/c.php", "y <iframe src=x>");
  ::chmod(t.abs(".local/share/tervane/backups").constData(), 0700);
  ASSERT_EQ(::chown(t.abs(".local/share/tervane/backups").constData(), 65534, 65534), 0);
  scan();
  QStringList listed = logged();
  listed.sort();
  EXPECT_EQ(listed, QStringList({u".local/share/tervane/backups/c.php"_s, u"www/up/c.php"_s}));
  EXPECT_EQ(w.messages.size(), 1);
}

TEST_F(FalseStore, AGenuineStoreIsSkippedWithoutANote) {
  t.mkdir(".local/share/tervane");
  t.write(".local/share/tervane/backups/run/000000", "kept <iframe src=x>");
  ::chmod(t.abs(".local/share/tervane").constData(), 0700);
  ::chmod(t.abs(".local/share/tervane/backups").constData(), 0700);
  scan();
  EXPECT_EQ(logged(), QStringList({u"www/up/c.php"_s}));
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
}

}  // namespace
