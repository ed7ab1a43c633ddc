// The one line a path is shown and logged as, and reading it back.
#include "platform/pathline.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/pathcodec.h"

using namespace Qt::StringLiterals;
using platform::bytesOfLine;
using platform::lineOfBytes;
using platform::lineOfPath;

namespace {

// A line holds no character that could end it or that a terminal acts on.
bool holdsEscapable(const QString& line) {
  for (qsizetype i = 0; i < line.size(); ++i) {
    const char32_t c = line[i].unicode();
    if (platform::needsEscape(c) || (c >= 0xDC80 && c <= 0xDCFF))
      return true;
  }
  return false;
}

}  // namespace

TEST(PathLine, PlainPathsAreTheirOwnText) {
  const QByteArray plain[] = {
      "/srv/www/index.php",
      "/srv/www/中文/a b.php",
      "relative/x.php",
      "/a\\b/c\"d.php",    // a backslash or a quote inside is nothing special
      "/no\xC2\xA0space",  // a no-break space
      "",
      "\xF0\x9F\x98\x80.php",
  };
  for (const QByteArray& bytes : plain) {
    const QString line = lineOfBytes(bytes);
    EXPECT_EQ(line, QString::fromUtf8(bytes)) << bytes.constData();
    EXPECT_EQ(lineOfPath(platform::decodePath(bytes)), line) << bytes.constData();
    EXPECT_EQ(bytesOfLine(line), bytes) << bytes.constData();
  }
}

TEST(PathLine, QuotedForms) {
  const std::pair<QByteArray, QString> cases[] = {
      // A line break in a name stays inside the one line.
      {"/t/q\n/abs/path/victim/x.php", uR"("/t/q\n/abs/path/victim/x.php")"_s},
      {"/t/c.php\r", uR"("/t/c.php\r")"_s},
      {"/t/\x1B]0;x\x07\x7F", uR"("/t/\x1B]0;x\a\x7F")"_s},
      {"/t/tab\there", uR"("/t/tab\there")"_s},
      // C1 controls, separators and bidirectional controls by their UTF-8 bytes.
      {"/t/\xC2\x85\xC2\x9B", uR"("/t/\xC2\x85\xC2\x9B")"_s},
      {"/t/a\xE2\x80\xA8z", uR"("/t/a\xE2\x80\xA8z")"_s},
      {"/t/gpj\xE2\x80\xAE.php", uR"("/t/gpj\xE2\x80\xAE.php")"_s},
      {"/t/\xEF\xB7\x90", uR"("/t/\xEF\xB7\x90")"_s},
      // A path that begins with a quote, and the quotes and backslashes inside it.
      {"\"x", uR"("\"x")"_s},
      {"\"a\\b\"", uR"("\"a\\b\"")"_s},
      // GBK text, marked, in the part that holds it; UTF-8 parts stay as they are.
      {"/t/\xB2\xE2\xCA\xD4.php", uR"("/t/\g测试.php")"_s},
      {"/站点/\xB2\xE2/x", uR"("/站点/\g测/x")"_s},
      {"/\xB2\xE2/\xB2\xE2", uR"("/\g测/\g测")"_s},
      // Bytes that are neither, one escape each.
      {"/t/caf\xE9", uR"("/t/caf\xE9")"_s},
      {"/t/\xFF\xFE", uR"("/t/\xFF\xFE")"_s},
      {"/t/\xE4", uR"("/t/\xE4")"_s},
      {"/t/\xE4\xB8\xAD\xFF", uR"("/t/中\xFF")"_s},
      // The private use area is no text to read: escaped, not shown as GBK.
      {"/t/\xAA\xA1", uR"("/t/\xAA\xA1")"_s},
  };
  for (const auto& [bytes, line] : cases) {
    EXPECT_EQ(lineOfBytes(bytes), line) << bytes.toHex().constData();
    EXPECT_EQ(lineOfPath(platform::decodePath(bytes)), line) << bytes.toHex().constData();
    EXPECT_EQ(bytesOfLine(line), bytes) << line.toStdString();
  }
}

TEST(PathLine, GbkAndUtf8NamesWithTheSameTextStayApart) {
  const QByteArray utf8 = "/t/\xE6\xB5\x8B\xE8\xAF\x95.php";  // 测试.php
  const QByteArray gbk = "/t/\xB2\xE2\xCA\xD4.php";           // 测试.php
  EXPECT_NE(lineOfBytes(utf8), lineOfBytes(gbk));
  EXPECT_EQ(bytesOfLine(lineOfBytes(utf8)), utf8);
  EXPECT_EQ(bytesOfLine(lineOfBytes(gbk)), gbk);
  // A trail byte that is a backslash in ASCII belongs to its character.
  const QByteArray slashTrail = "/t/\x95\x5C.php";
  EXPECT_TRUE(lineOfBytes(slashTrail).startsWith(uR"("/t/\g)"_s));
  EXPECT_EQ(bytesOfLine(lineOfBytes(slashTrail)), slashTrail);
}

TEST(PathLine, TypedLinesAndMalformedOnes) {
  // Forms a person may type: lower-case hex, a mark inside a part, a mark on
  // ASCII, escapes inside a GBK part.
  EXPECT_EQ(bytesOfLine(uR"("/t/\xe9")"_s), QByteArray("/t/\xE9"));
  EXPECT_EQ(bytesOfLine(uR"("/t/a\g测")"_s), QByteArray("/t/a\xB2\xE2"));
  EXPECT_EQ(bytesOfLine(uR"("\gabc/测")"_s), QByteArray("abc/\xE6\xB5\x8B"));
  EXPECT_EQ(bytesOfLine(uR"("\g测\t\x80")"_s), QByteArray("\xB2\xE2\t\x80"));
  EXPECT_EQ(bytesOfLine(uR"("")"_s), QByteArray());
  // Lines that do not begin with a quote are taken as they stand.
  EXPECT_EQ(bytesOfLine(uR"( "x")"_s), QByteArray(" \"x\""));
  EXPECT_EQ(bytesOfLine(uR"(a\n)"_s), QByteArray("a\\n"));
  for (const QString& bad : {
           uR"(")"_s,           // no closing quote
           uR"("abc)"_s,        //
           uR"("a"b")"_s,       // text behind the closing quote
           uR"("a\")"_s,        // the closing quote escaped
           uR"("\q")"_s,        // no such escape
           uR"("\x4")"_s,       // one hex digit
           uR"("\xZZ")"_s,      //
           uR"("\g😀")"_s,       // no GBK bytes for this character
           u"\"\\g\uAC00\""_s,  // nor for a Korean syllable
       }) {
    EXPECT_EQ(bytesOfLine(bad), std::nullopt) << bad.toStdString();
  }
}

TEST(PathLine, AnyBytesRoundTripOnOneLine) {
  // Bytes dense in what breaks lines and decoders: controls, quotes, slashes,
  // backslashes, GBK lead and trail bytes, UTF-8 pieces.
  const char alphabet[] = {'\n',   '\r',   '\x1B', '\x7F', '"',    '\\',   '/',    'a',
                           'g',    'x',    '\xB2', '\xE2', '\x81', '\x5C', '\xC2', '\x85',
                           '\xE2', '\x80', '\xAE', '\xFF', '\x40', '\xA8', '\xE6', '\x00'};
  std::mt19937 rng(77);
  for (int i = 0; i < 20000; ++i) {
    QByteArray bytes;
    const int n = int(rng() % 20);
    for (int k = 0; k < n; ++k)
      bytes += alphabet[rng() % sizeof alphabet];
    const QString line = lineOfBytes(bytes);
    ASSERT_FALSE(holdsEscapable(line)) << bytes.toHex().constData();
    ASSERT_EQ(bytesOfLine(line), bytes) << bytes.toHex().constData();
    ASSERT_EQ(lineOfPath(platform::decodePath(bytes)), line) << bytes.toHex().constData();
    // A path written plain is exactly its text and never begins with a quote.
    if (!line.startsWith(u'"')) {
      ASSERT_EQ(line.toUtf8(), bytes) << bytes.toHex().constData();
    }
  }
}

TEST(PathLine, VisibleTextForMessages) {
  EXPECT_EQ(platform::visibleText(u"a\nb"_s), u"a\nb"_s);
  EXPECT_EQ(platform::visibleText(u"\x1B[31m\r\u009B\u202E"_s),
            uR"(\x1B[31m\x0D\xC2\x9B\xE2\x80\xAE)"_s);
  EXPECT_EQ(platform::visibleText(platform::decodePath("\xFF/中")), uR"(\xFF/中)"_s);
}
