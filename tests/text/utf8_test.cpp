// UTF-8 validity and decoding, and the rule that chooses between UTF-8 and GBK
// for a file's content.
#include "text/utf8.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringDecoder>

#include <random>

#include "text/encoding.h"

using namespace Qt::StringLiterals;

namespace {

// Valid characters of every length and the bytes that break them.
QByteArray randomBytes(std::mt19937& r) {
  static const uint8_t kBreakers[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                      0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x00};
  QByteArray b(int(r() % 80), 'x');
  const int n = int(r() % 60);
  for (int i = 0; i < n; ++i) {
    if (r() % 6 == 0) {
      b += char(kBreakers[r() % sizeof kBreakers]);
      continue;
    }
    char32_t cp = 0;
    switch (r() % 4) {
      case 0:
        cp = char32_t(r() % 0x80);
        break;
      case 1:
        cp = char32_t(0x80 + r() % 0x780);
        break;
      case 2:
        cp = char32_t(0x800 + r() % 0xF800);
        break;
      default:
        cp = char32_t(0x10000 + r() % 0x100000);
        break;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF)
      cp = 0xFFFD;
    b += QString::fromUcs4(&cp, 1).toUtf8();
  }
  return b;
}

bool validInPieces(const QByteArray& b, bool simd, qsizetype piece) {
  utf8::Validator v(simd);
  for (qsizetype i = 0; i < b.size(); i += piece)
    v.feed(reinterpret_cast<const uint8_t*>(b.constData()) + i,
           std::size_t(std::min(piece, b.size() - i)));
  return v.finish();
}

}  // namespace

TEST(Utf8, ValidatorAgreesWithQtInEveryPieceSize) {
  std::mt19937 r(17);
  int valid = 0;
  for (int i = 0; i < 20000; ++i) {
    const QByteArray b = randomBytes(r);
    const bool expected = QByteArrayView(b).isValidUtf8();
    valid += expected;
    for (bool simd : {false, true}) {
      for (qsizetype piece : {1, 2, 3, 31, 32, 33, 64, 1000}) {
        ASSERT_EQ(validInPieces(b, simd, piece), expected)
            << "simd " << simd << " piece " << piece << ": " << b.toHex(' ').toStdString();
      }
    }
  }
  EXPECT_GT(valid, 2000);
  EXPECT_LT(valid, 18000);
}

TEST(Utf8, EdgesOfValidity) {
  const struct {
    QByteArray bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"\xEF\xBB\xBFx", true},      // byte-order mark
      {"\xEF\xBF\xBE", true},       // a noncharacter is still a character
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x9F\xBF", false},      // overlong
      {"\xE4\xB8", false},          // cut short at the end
      {"\xE4\xB8\xAD\xE4\xB8", false},
      {"\xB8", false},  // a continuation alone
  };
  for (const auto& c : cases) {
    // At the start, and behind a long run of ASCII (the vector path's skip).
    const QByteArray behind = QByteArray(300, 'a') + c.bytes;
    for (bool simd : {false, true}) {
      EXPECT_EQ(validInPieces(c.bytes, simd, 1000), c.valid) << c.bytes.toHex().toStdString();
      EXPECT_EQ(validInPieces(behind, simd, 7), c.valid) << c.bytes.toHex().toStdString();
      EXPECT_EQ(validInPieces(behind, simd, 1000), c.valid) << c.bytes.toHex().toStdString();
    }
  }
}

TEST(Utf8, DecodingNeverSwallowsAValidCharacter) {
  const QByteArray b =
      "\xE4\xB8"
      "a"
      "\xF0\xE4\xB8\xAD"
      "\x80";
  auto* p = reinterpret_cast<const uint8_t*>(b.constData());
  const uint8_t* end = p + b.size();
  std::vector<char32_t> got;
  while (p < end) {
    char32_t c = 0;
    p += utf8::decodeOne(p, end, true, &c);
    got.push_back(c);
  }
  const std::vector<char32_t> want = {utf8::invalidByteChar(0xE4),
                                      utf8::invalidByteChar(0xB8),
                                      U'a',
                                      utf8::invalidByteChar(0xF0),
                                      U'中',
                                      utf8::invalidByteChar(0x80)};
  EXPECT_EQ(got, want);
  // A character cut by the end of a piece waits for the rest.
  char32_t c = 0;
  EXPECT_EQ(utf8::decodeOne(reinterpret_cast<const uint8_t*>("\xE4\xB8"),
                            reinterpret_cast<const uint8_t*>("\xE4\xB8") + 2, false, &c),
            0);
}

TEST(EncodingRule, WholeContentDecides) {
  using text::Encoding;
  const QByteArray utf8Text = u"<p>欢迎</p>"_s.toUtf8();
  const QByteArray gbkText = "<p>\xBB\xB6\xD3\xAD</p>";  // the same in GBK
  EXPECT_EQ(text::encodingOf(utf8Text), Encoding::Utf8);
  EXPECT_EQ(text::encodingOf(gbkText), Encoding::Gbk);
  EXPECT_EQ(text::decodeContent(utf8Text), u"<p>欢迎</p>"_s);
  EXPECT_EQ(text::decodeContent(gbkText), u"<p>欢迎</p>"_s);
  // One invalid byte near the end makes the whole file GBK.
  const QByteArray spoilt = utf8Text + "\xFF\r\n";
  EXPECT_EQ(text::encodingOf(spoilt), Encoding::Gbk);
  EXPECT_NE(text::decodeContent(spoilt).left(7), u"<p>欢迎</p>"_s);
  // A byte-order mark stays a character of the text.
  EXPECT_EQ(text::decodeContent("\xEF\xBB\xBFx"), u"\uFEFFx"_s);
  // A fixed choice is taken as it is.
  EXPECT_EQ(text::encodingOf(utf8Text, Encoding::Gbk), Encoding::Gbk);
  EXPECT_EQ(text::decodeContent("a\xFF", Encoding::Utf8),
            u"a"_s + QChar(char16_t(utf8::invalidByteChar(0xFF))));
  EXPECT_EQ(text::encodingNamed(u"utf-8"), Encoding::Utf8);
  EXPECT_EQ(text::encodingNamed(u"gbk"), Encoding::Gbk);
  EXPECT_EQ(text::encodingNamed(u"auto"), Encoding::Auto);
  EXPECT_FALSE(text::encodingNamed(u"UTF8"));
}
