#include "platform/fs.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(Designator, LocationsEndingAtTheirFirstColonAreMountRoots) {
  EXPECT_EQ(platform::designatorToPath(u"/home:"), u"/home");
  EXPECT_EQ(platform::designatorToPath(u"/:"), u"/");
  EXPECT_EQ(platform::designatorToPath(u"/srv/a:b"), u"/srv/a:b");
  EXPECT_EQ(platform::designatorToPath(u"/a:b:"), u"/a:b:");
  EXPECT_EQ(platform::designatorToPath(u":"), u"");
}

TEST(Drives, ListHoldsMountPointsInDriveForm) {
  const QStringList drives = platform::driveList();
  ASSERT_FALSE(drives.isEmpty());
  EXPECT_TRUE(drives.first().startsWith(u"/:")) << drives.first().toStdString();
  for (const QString& d : drives) {
    EXPECT_TRUE(d.startsWith(u'/'));
    const qsizetype colon = d.indexOf(u':');
    ASSERT_GT(colon, 0);
    EXPECT_TRUE(colon == d.size() - 1 || d.mid(colon).startsWith(u": ["));
    EXPECT_FALSE(d.startsWith(u"/proc:") || d.startsWith(u"/sys:") || d.startsWith(u"/dev:"));
  }
}
