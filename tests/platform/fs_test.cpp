#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "testsupport.h"

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

TEST(Listing, NamesThatDifferOnlyInCaseComeCapitalFirst) {
  TempTree t;
  for (const char* name : {"b.asp", "a.asp", "B.asp", "A.asp", "_.asp", "ä.asp", "Ä.asp"})
    t.write(name, "x");
  QStringList names;
  for (const platform::DirEntry& e : platform::listDirectory(t.root())) {
    if (e.name != u"." && e.name != u"..")
      names.append(e.name);
  }
  // By lower case first (so "_" comes before the letters, not between the
  // capitals and the small ones), then by code unit.
  EXPECT_EQ(names, (QStringList{u"_.asp"_s, u"A.asp"_s, u"a.asp"_s, u"B.asp"_s, u"b.asp"_s,
                                u"Ä.asp"_s, u"ä.asp"_s}));
}

TEST(Drives, EachEntryCutAtItsFirstColonIsItsMountPoint) {
  // mount point, type, device, device number
  const std::vector<platform::Mount> mounts = {
      {u"/srv"_s, u"ext4"_s, u"/dev/null"_s, u"8:2"_s},
      {u"/media/u/a:b"_s, u"vfat"_s, u"/dev/sdz1"_s, u"8:17"_s},  // a volume named "a:b"
      {u"/"_s, u"ext4"_s, u"/dev/sdz9"_s, u"8:1"_s},
      {u"/proc"_s, u"proc"_s, u"proc"_s, u"0:5"_s},
      {u"/var/again"_s, u"ext4"_s, u"/dev/null"_s, u"8:2"_s},  // the same file system again
  };
  const QStringList drives = platform::driveList(mounts, {{u"/dev/null"_s, u"DATA"_s}});
  EXPECT_EQ(drives, (QStringList{u"/:"_s, u"/srv: [DATA]"_s}));
  for (const QString& d : drives) {
    const QString cut = d.left(d.indexOf(u':') + 1);
    EXPECT_TRUE(std::any_of(mounts.begin(), mounts.end(), [&](const platform::Mount& m) {
      return platform::designatorToPath(cut) == m.mountPoint;
    })) << d.toStdString();
  }
}

TEST(Drives, TheRootIsADriveWhateverTheMountTableHolds) {
  // A chroot's table: the root itself is not a mount point there.
  const std::vector<platform::Mount> chroot = {
      {u"/proc"_s, u"proc"_s, u"proc"_s, u"0:21"_s},
      {u"/sys"_s, u"sysfs"_s, u"sysfs"_s, u"0:22"_s},
      {u"/dev"_s, u"tmpfs"_s, u"tmpfs"_s, u"0:23"_s},
      {u"/dev/pts"_s, u"devpts"_s, u"devpts"_s, u"0:24"_s},
      {u"/srv/data"_s, u"ext4"_s, u"/dev/null"_s, u"8:3"_s},
  };
  EXPECT_EQ(platform::driveList(chroot, {{u"/dev/null"_s, u"DATA"_s}}),
            (QStringList{u"/:"_s, u"/srv/data: [DATA]"_s}));
  EXPECT_EQ(platform::driveList({}, {}), QStringList{u"/:"_s});

  // A live system or container whose root is memory-backed: still the first drive.
  const std::vector<platform::Mount> tmpfsRoot = {
      {u"/home"_s, u"ext4"_s, u"/dev/null"_s, u"8:3"_s},
      {u"/"_s, u"tmpfs"_s, u"none"_s, u"0:30"_s},
  };
  EXPECT_EQ(platform::driveList(tmpfsRoot, {}), (QStringList{u"/:"_s, u"/home:"_s}));

  // File systems stacked on the root are one drive, named by the one on top
  // (listed last).
  const std::vector<platform::Mount> stacked = {
      {u"/"_s, u"rootfs"_s, u"rootfs"_s, u"0:1"_s},
      {u"/"_s, u"ext4"_s, u"/dev/null"_s, u"8:1"_s},
  };
  EXPECT_EQ(platform::driveList(stacked, {{u"/dev/null"_s, u"ROOT"_s}}),
            QStringList{u"/: [ROOT]"_s});
}
