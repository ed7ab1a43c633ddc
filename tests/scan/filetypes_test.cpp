#include "scan/filetypes.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(FileTypes, ParseFilterText) {
  using scan::parseFileTypes;
  EXPECT_EQ(parseFileTypes(u"*.ASP|*.PHP|*.JS"), (QStringList{u".asp"_s, u".php"_s, u".js"_s}));
  EXPECT_EQ(parseFileTypes(u"全部文件"), QStringList{u"."_s});
  EXPECT_EQ(parseFileTypes(u"*.*"), QStringList{u"."_s});
  EXPECT_TRUE(parseFileTypes(u"").isEmpty());
  EXPECT_EQ(parseFileTypes(u"*.a||*.B|"), (QStringList{u".a"_s, QString(), u".b"_s, QString()}));
  EXPECT_EQ(parseFileTypes(u"*|**"), (QStringList{QString(), QString()}));
  EXPECT_EQ(parseFileTypes(u" *.Htm "), QStringList{u" .htm "_s});  // nothing trimmed
  EXPECT_EQ(parseFileTypes(u"*全部文件*"), QStringList{u"."_s});
}

TEST(FileTypes, CountsEveryNonEmptyEntryAsSpelled) {
  const QStringList types{u".htm"_s, QString(), u".html"_s};
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a/x.html"), 2);
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a/INDEX.HTM"), 0);
  EXPECT_EQ(scan::countMatchingEntries(types, u"/a.htm/readme"), 1);
}
