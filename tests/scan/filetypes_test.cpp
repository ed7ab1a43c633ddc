#include "scan/filetypes.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(FileTypes, ParseFilterText) {
  using scan::parseFileTypes;
  EXPECT_EQ(parseFileTypes(u"*.ASP|*.PHP|*.JS"), (QStringList{u".asp"_s, u".php"_s, u".js"_s}));
  // "全部文件" is every file; "*.*" the fragment ".".
  EXPECT_EQ(parseFileTypes(u"全部文件"), QStringList{scan::kEveryFile.toString()});
  EXPECT_EQ(parseFileTypes(u"*.*"), QStringList{u"."_s});
  EXPECT_TRUE(parseFileTypes(u"").isEmpty());
  EXPECT_EQ(parseFileTypes(u"*.a||*.B|"), (QStringList{u".a"_s, QString(), u".b"_s, QString()}));
  EXPECT_EQ(parseFileTypes(u"*|**"), (QStringList{QString(), QString()}));
  EXPECT_EQ(parseFileTypes(u" *.Htm "), QStringList{u" .htm "_s});  // nothing trimmed
  EXPECT_EQ(parseFileTypes(u"*全部文件*"), QStringList{scan::kEveryFile.toString()});
}

TEST(FileTypes, CountsEveryNonEmptyEntryInLowerCase) {
  const QStringList types = scan::parseFileTypes(u"*.HTM||*.html");
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a/x.html"), 2);
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a/INDEX.HTM"), 1);
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a/Main.Html"), 2);
  EXPECT_EQ(scan::countMatchingEntries(types, u"/A.HTM/readme"), 1);
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a/readme"), 0);
  // Full-width capitals lower-case as the content does.
  EXPECT_EQ(scan::countMatchingEntries(scan::parseFileTypes(u"*.ＰＨＰ"), u"/a/Ｘ.Ｐｈｐ"), 1);
  // Every file, with or without a dot; "*.*" only those with one.
  EXPECT_EQ(scan::countMatchingEntries(scan::parseFileTypes(u"全部文件"), u"/cgi-bin/run"), 1);
  EXPECT_EQ(scan::countMatchingEntries(scan::parseFileTypes(u"*.*"), u"/cgi-bin/run"), 0);
  EXPECT_EQ(scan::countMatchingEntries(scan::parseFileTypes(u"*.*"), u"/cgi-bin/run.sh"), 1);
  // The folder's filter counts as the whole path's, capitals on either side of
  // the border included.
  const QStringList php = scan::parseFileTypes(u"*.PHP");
  const scan::FolderFilter folder(php, u"/www/X.P");
  EXPECT_EQ(folder.count(u"Hp"), 1);
  EXPECT_EQ(folder.count(u"x"), 0);
  const QStringList all = scan::parseFileTypes(u"全部文件");
  EXPECT_EQ(scan::FolderFilter(all, u"/www/").count(u"run"), 1);
}
