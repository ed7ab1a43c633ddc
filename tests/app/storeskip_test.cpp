// The backup store holds the infected originals of cleaned files. A scan that
// reaches it (a home folder, all files) must not list them, or a clean would strip
// the signature from the only copies that can undo it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/cleaner.h"
#include "scanfixture.h"

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
