// Names an intruder chooses: line breaks, escape sequences, GBK bytes, quotes.
// The log holds one line per found file whatever its name, and the clean reads
// each line back to exactly that file, with or without the scan's identities.
#include <gtest/gtest.h>

#include <QSet>

#include "hostile.h"
#include "platform/pathline.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;
using hostile::kSignature;

namespace {

const QByteArray kDirty = "a" + kSignature.toUtf8() + "b";

class Names : public ::testing::TestWithParam<int>, public hostile::ScanFixture {
 protected:
  Names() : hostile::ScanFixture(GetParam()) {}

  // The log's lines, the last CR LF dropped.
  QStringList lines() const {
    QStringList l = text::split(w.cleaningLog(), text::kCrLf);
    if (!l.isEmpty())
      l.removeLast();
    return l;
  }
  void clean(bool withIdentities = true) {
    if (!withIdentities)
      w.scannedFiles.clear();
    Cleaner(w).Command2_Click();
  }
  TempTree outside;
};

INSTANTIATE_TEST_SUITE_P(Threads, Names, ::testing::Values(1, 3),
                         [](const auto& p) { return "threads" + std::to_string(p.param); });

bool holdsControl(const QString& s) {
  for (QChar c : s) {
    if (platform::needsEscape(c.unicode()))
      return true;
  }
  return false;
}

}  // namespace

TEST_P(Names, LineBreakInAFolderNameNeverReachesOutside) {
  // tree/"q\n/…/victim"/x.php: split at the line break, the log would name
  // tree/q and the victim's x.php.
  outside.write("victim/x.php", kDirty);
  const QByteArray inside = "q\n" + outside.abs("victim/x.php");
  t.write(inside, kDirty);
  t.write("q", kDirty);
  for (const bool withIdentities : {true, false}) {
    scan();
    ASSERT_EQ(lines().size(), 1) << w.Text1.toStdString();
    EXPECT_FALSE(holdsControl(lines().front()));
    EXPECT_EQ(w.resultItems.back(), lines().front());
    clean(withIdentities);
    EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').toStdString();
    EXPECT_EQ(t.read(inside), "ab");
    EXPECT_EQ(outside.read("victim/x.php"), kDirty);
    EXPECT_EQ(t.read("q"), kDirty);
    t.write(inside, kDirty);
  }
}

TEST_P(Names, NamesThatLookAlikeStayApartAndEachLineCleansItsOwnFile) {
  const QByteArray names[] = {
      "\xE6\xB5\x8B\xE8\xAF\x95.php",  // 测试.php in UTF-8
      "\xB2\xE2\xCA\xD4.php",          // 测试.php in GBK
      "\"q.php",                       // reads as a quoted line if left plain
      "e\x1B]0;owned\x07.php",         // a terminal title sequence
      "\xFF\xFE.php",                  // neither UTF-8 nor GBK
  };
  for (const QByteArray& n : names)
    t.write(n, kDirty);
  scan();
  const QStringList found = lines();
  ASSERT_EQ(found.size(), qsizetype(std::size(names)));
  EXPECT_EQ(QSet<QString>(found.begin(), found.end()).size(), found.size());
  for (const QString& line : found)
    EXPECT_FALSE(holdsControl(line)) << line.toStdString();
  for (const QString& shown : w.shown)
    EXPECT_FALSE(holdsControl(shown)) << shown.toStdString();

  // Each line on its own, typed back without the scan's identities, cleans its
  // own file and no other.
  for (const QString& line : found) {
    const auto bytes = platform::bytesOfLine(line);
    ASSERT_TRUE(bytes.has_value()) << line.toStdString();
    w.Text1 = line + u"\r\n"_s;
    clean(false);
    EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').toStdString();
    for (const QByteArray& n : names)
      EXPECT_EQ(t.read(n), t.abs(n) == *bytes ? QByteArray("ab") : kDirty) << line.toStdString();
    t.write(bytes->mid(t.rootBytes().size() + 1), kDirty);
  }
}

TEST_P(Names, MalformedQuotedLineIsRefusedAndTouchesNothing) {
  t.write("\"x", kDirty);  // the file a careless reading would take
  w.Text1 = u"\"x\r\n"_s;
  ASSERT_EQ(::chdir(t.rootBytes().constData()), 0);
  clean(false);
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages.front().contains(u"这不是一个文件的路径。"_s));
  EXPECT_EQ(t.read("\"x"), kDirty);
  EXPECT_EQ(w.cleaningLog(), QString());
}
