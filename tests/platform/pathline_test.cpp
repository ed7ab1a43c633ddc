// The one line a path is shown and logged as, and reading it back.
#include "platform/pathline.h"

#include <gtest/gtest.h>

#include <QSet>

#include <iterator>
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
    if (QChar::isHighSurrogate(c) && i + 1 < line.size() &&
        platform::isInvisible(QChar::surrogateToUcs4(line[i].unicode(), line[i + 1].unicode())))
      return true;
    if (platform::isInvisible(c))
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
      // C1 controls by their UTF-8 bytes; separators, bidirectional controls and
      // the marks of the boxes by their code points.
      {"/t/\xC2\x85\xC2\x9B", uR"("/t/\xC2\x85\xC2\x9B")"_s},
      {"/t/a\xE2\x80\xA8z", uR"("/t/a\u{2028}z")"_s},
      {"/t/gpj\xE2\x80\xAE.php", uR"("/t/gpj\u{202E}.php")"_s},
      {"/t/\xEF\xB7\x90", uR"("/t/\u{FDD0}")"_s},
      // Characters that show as nothing, by their code points: format
      // characters, default-ignorable ones, unassigned and private-use code
      // points and noncharacters.
      {"/t/index\xE2\x80\x8B.php", uR"("/t/index\u{200B}.php")"_s},
      {"/t/\xF3\xA0\x81\x81x", uR"("/t/\u{E0041}x")"_s},
      {"/t/a\xCD\x8F", uR"("/t/a\u{34F}")"_s},
      {"/t/\xCD\xB8", uR"("/t/\u{378}")"_s},
      {"/t/\xEE\x80\x80", uR"("/t/\u{E000}")"_s},
      {"/t/\xF3\xB0\x80\x80", uR"("/t/\u{F0000}")"_s},
      {"/t/\xEF\xBF\xBE", uR"("/t/\u{FFFE}")"_s},
      {"/t/\xEF\xB8\x8F", uR"("/t/\u{FE0F}")"_s},
      // Beside a control, a quote and bytes that are not UTF-8.
      {"/t/\xC2\xAD\n\"\xFF", uR"("/t/\u{AD}\n\"\xFF")"_s},
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

// Names that differ only in characters that show as nothing (Unicode 15's
// default-ignorable ones, formats and tags) never print as the same line, and
// each line reads back to its own bytes.
TEST(PathLine, InvisibleCharactersKeepNamesApart) {
  const char* const invisible[] = {
      "\xE2\x80\x8B",      // U+200B ZERO WIDTH SPACE
      "\xEF\xBB\xBF",      // U+FEFF ZERO WIDTH NO-BREAK SPACE
      "\xC2\xAD",          // U+00AD SOFT HYPHEN
      "\xE2\x81\xA0",      // U+2060 WORD JOINER
      "\xF3\xA0\x81\x81",  // U+E0041 TAG LATIN CAPITAL LETTER A
      "\xE1\xA0\x8E",      // U+180E MONGOLIAN VOWEL SEPARATOR
      "\xE3\x85\xA4",      // U+3164 HANGUL FILLER
      "\xCD\x8F",          // U+034F COMBINING GRAPHEME JOINER
      "",
  };
  QSet<QString> lines;
  for (const char* c : invisible) {
    const QByteArray bytes = QByteArray("/srv/www/index") + c + ".php";
    const QString line = lineOfBytes(bytes);
    lines.insert(line);
    EXPECT_EQ(bytesOfLine(line), bytes) << line.toStdString();
    EXPECT_EQ(lineOfPath(platform::decodePath(bytes)), line) << line.toStdString();
    EXPECT_EQ(line.startsWith(u'"'), *c != 0) << line.toStdString();
  }
  EXPECT_EQ(lines.size(), qsizetype(std::size(invisible)));

  // Each class the rule names, in characters ICU knows it by.
  for (const char32_t c : {0x200Bu, 0xFEFFu, 0xADu,   0x2060u, 0xE0001u,  0xE007Fu, 0x34Fu,
                           0x115Fu, 0x1160u, 0x180Bu, 0x180Fu, 0x3164u,   0xFFA0u,  0xFE00u,
                           0xFE0Fu, 0x378u,  0xE000u, 0xF8FFu, 0x10FFFDu, 0xFFFFu,  0x1FFFEu}) {
    EXPECT_TRUE(platform::isInvisible(c)) << std::hex << uint(c);
  }
  // And what stays plain: letters, marks, symbols and spaces that show.
  for (const char32_t c : {0x41u, 0xE9u, 0xA0u, 0x4E2Du, 0x3000u, 0x301u, 0x627u, 0x1F600u, 0xAC00u,
                           0xFF21u, 0x2014u}) {
    EXPECT_FALSE(platform::isInvisible(c)) << std::hex << uint(c);
  }
  EXPECT_EQ(lineOfBytes("/www/中文/é😀 x.php"), u"/www/中文/é😀 x.php"_s);
}

TEST(PathLine, TypedLinesAndMalformedOnes) {
  // Forms a person may type: lower-case hex, a mark inside a part, a mark on
  // ASCII, escapes inside a GBK part.
  EXPECT_EQ(bytesOfLine(uR"("/t/\xe9")"_s), QByteArray("/t/\xE9"));
  EXPECT_EQ(bytesOfLine(uR"("/t/a\g测")"_s), QByteArray("/t/a\xB2\xE2"));
  EXPECT_EQ(bytesOfLine(uR"("\gabc/测")"_s), QByteArray("abc/\xE6\xB5\x8B"));
  EXPECT_EQ(bytesOfLine(uR"("\g测\t\x80")"_s), QByteArray("\xB2\xE2\t\x80"));
  EXPECT_EQ(bytesOfLine(uR"("")"_s), QByteArray());
  // A code point in any case of hex, any character; inside a GBK part its GBK
  // bytes. The byte form written before code points were keeps reading back.
  EXPECT_EQ(bytesOfLine(uR"("/t/a\u{200b}\u{41}")"_s), QByteArray("/t/a\xE2\x80\x8B"
                                                                  "A"));
  EXPECT_EQ(bytesOfLine(uR"("\u{10FFFD}")"_s), QByteArray("\xF4\x8F\xBF\xBD"));
  EXPECT_EQ(bytesOfLine(uR"("\g\u{6D4B}/\u{6D4B}")"_s), QByteArray("\xB2\xE2/\xE6\xB5\x8B"));
  EXPECT_EQ(bytesOfLine(uR"("/t/a\xE2\x80\xA8z")"_s), QByteArray("/t/a\xE2\x80\xA8z"));
  // Lines that do not begin with a quote are taken as they stand.
  EXPECT_EQ(bytesOfLine(uR"( "x")"_s), QByteArray(" \"x\""));
  EXPECT_EQ(bytesOfLine(uR"(a\n)"_s), QByteArray("a\\n"));
  for (const QString& bad : {
           uR"(")"_s,              // no closing quote
           uR"("abc)"_s,           //
           uR"("a"b")"_s,          // text behind the closing quote
           uR"("a\")"_s,           // the closing quote escaped
           uR"("\q")"_s,           // no such escape
           uR"("\x4")"_s,          // one hex digit
           uR"("\xZZ")"_s,         //
           uR"("\g😀")"_s,          // no GBK bytes for this character
           u"\"\\g\uAC00\""_s,     // nor for a Korean syllable
           uR"("\u200B")"_s,       // no braces
           uR"("\u{}")"_s,         // no digits
           uR"("\u{1234567}")"_s,  // seven digits
           uR"("\u{110000}")"_s,   // past the last code point
           uR"("\u{D800}")"_s,     // a surrogate
           uR"("\u{12")"_s,        // not closed
           uR"("\u{1G}")"_s,       //
           uR"("\g\u{1F600}")"_s,  // no GBK bytes
       }) {
    EXPECT_EQ(bytesOfLine(bad), std::nullopt) << bad.toStdString();
  }
}

TEST(PathLine, AnyBytesRoundTripOnOneLine) {
  // Bytes dense in what breaks lines and decoders: controls, quotes, slashes,
  // backslashes, GBK lead and trail bytes, UTF-8 pieces.
  const char alphabet[] = {'\n',   '\r',   '\x1B', '\x7F', '"',    '\\',   '/',    'a',    'g',
                           'x',    '\xB2', '\xE2', '\x81', '\x5C', '\xC2', '\x85', '\xE2', '\x80',
                           '\xAE', '\xFF', '\x40', '\xA8', '\xE6', '\x00', '\x8B', '\xBB', '\xBF',
                           '\xAD', '\xF3', '\xA0', '\xEF', '\xB8', 'u',    '{',    '}'};
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
  EXPECT_EQ(platform::visibleText(u"a\nb"_s), uR"(a\x0Ab)"_s);
  EXPECT_EQ(platform::visibleText(u"\x1B[31m\r\u009B\u202E\u200B"_s),
            uR"(\x1B[31m\x0D\xC2\x9B\u{202E}\u{200B})"_s);
  EXPECT_EQ(platform::visibleText(u"a\U000E0041b"_s), uR"(a\u{E0041}b)"_s);
  // Only CR LF separates the lines of a message; a LF or CR alone is part of
  // a line, and a line forged with one stays on the line it is in.
  EXPECT_EQ(platform::visibleLines(u"first\r\nx\ntervane-cli: all clean\rz\r\n"_s),
            u"first\nx\\x0Atervane-cli: all clean\\x0Dz\n"_s);
  EXPECT_EQ(platform::visibleText(platform::decodePath("\xFF/中")), uR"(\xFF/中)"_s);
}
