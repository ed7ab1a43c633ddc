// UTF-8 decoding, and the rule that chooses between UTF-8 and GBK
// for a file's content.
#include "text/utf8.h"

#include <gtest/gtest.h>

#include <QString>

#include <random>

#include "text/encoding.h"

using namespace Qt::StringLiterals;

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

// At the end of a piece only the start of a valid character waits for more;
// bytes that no more input can make valid are used one at a time at once.
TEST(Utf8, OnlyAValidBeginningWaitsAtTheEndOfAPiece) {
  const std::pair<QByteArray, int> cases[] = {{"\xC3", 0},
                                              {"\xE4\xB8", 0},
                                              {"\xF0\x9F\x98", 0},
                                              {"\xF4\x8F\xBF", 0},
                                              {"\xE0\xA0", 0},
                                              {"\xC0", 1},
                                              {"\xC1", 1},
                                              {"\xF5", 1},
                                              {"\x80", 1},
                                              {"\xE0\x80", 1},
                                              {"\xED\xA0", 1},
                                              {"\xF4\x90", 1},
                                              {"\xF0\x80", 1},
                                              {"\xC3"
                                               "a",
                                               1},
                                              {"\xE4\xB8"
                                               "a",
                                               1},
                                              {"\xE4\xB8\xAD", 3}};
  for (const auto& [bytes, used] : cases) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    char32_t c = 0;
    EXPECT_EQ(utf8::decodeOne(p, p + bytes.size(), false, &c), used) << bytes.toHex().toStdString();
    // The content's end: a character cut short is its first byte, alone.
    const int atEnd = utf8::decodeOne(p, p + bytes.size(), true, &c);
    EXPECT_EQ(atEnd, used == 0 ? 1 : used) << bytes.toHex().toStdString();
    if (atEnd == 1) {
      EXPECT_EQ(c, utf8::invalidByteChar(p[0])) << bytes.toHex().toStdString();
    }
  }
}

TEST(EncodingRule, WholeContentDecides) {
  using text::Encoding;
  const QByteArray utf8Text = u"<p>欢迎</p>"_s.toUtf8();
  const QByteArray gbkText = "<p>\xBB\xB6\xD3\xAD</p>";  // the same in GBK
  EXPECT_EQ(text::encodingOf(utf8Text), Encoding::Utf8);
  EXPECT_EQ(text::encodingOf(gbkText), Encoding::Gbk);
  EXPECT_EQ(text::decodeContent(utf8Text), u"<p>欢迎</p>"_s);
  EXPECT_EQ(text::decodeContent(gbkText), u"<p>欢迎</p>"_s);
  // As many invalid bytes as valid characters make the whole file GBK.
  const QByteArray spoilt = utf8Text + "\xFF\xFE\r\n";
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

namespace {

// The counts by their definition: decode from the start, one character at a time.
std::pair<std::uint64_t, std::uint64_t> countByDecoding(QByteArrayView bytes) {
  std::uint64_t valid = 0;
  std::uint64_t invalid = 0;
  auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* end = p + bytes.size();
  while (p < end) {
    char32_t c = 0;
    const int used = utf8::decodeOne(p, end, true, &c);
    if (used > 1)
      ++valid;
    else if (*p >= 0x80)
      ++invalid;
    p += used;
  }
  return {valid, invalid};
}

}  // namespace

TEST(EncodingRule, CounterAgreesWithDecodingInEveryPieceSize) {
  std::mt19937 rng(22);
  const std::vector<QByteArray> parts = {
      "a",        "\r\n",     "\xE4\xB8\xAD",     "\xF0\x9F\x98\x80", "\xC3\xA9",
      "\xFF",     "\x80",     "\xE4\xB8",         "\xF0\x9F",         "\xED\xA0\x80",
      "\xC0\xAF", "\xB0\xA1", QByteArray(40, 'x')};
  for (int round = 0; round < 300; ++round) {
    QByteArray b;
    const int n = int(rng() % 24);
    for (int k = 0; k < n; ++k)
      b += parts[rng() % parts.size()];
    const auto [valid, invalid] = countByDecoding(b);
    for (std::size_t piece = 1; piece <= std::size_t(b.size()) + 1; ++piece) {
      utf8::SequenceCounter c;
      for (std::size_t at = 0; at < std::size_t(b.size()); at += piece)
        c.feed(reinterpret_cast<const uint8_t*>(b.constData()) + at,
               std::min(piece, std::size_t(b.size()) - at));
      c.finish();
      ASSERT_EQ(c.validSequences(), valid) << b.toHex(' ').toStdString() << " piece " << piece;
      ASSERT_EQ(c.invalidBytes(), invalid) << b.toHex(' ').toStdString() << " piece " << piece;
    }
  }
}

TEST(EncodingRule, MostlyUtf8IsUtf8AndTheThresholdIsStrict) {
  using text::Encoding;
  const QByteArray two = u"欢迎"_s.toUtf8();
  // Two valid characters against one, then two stray bytes.
  EXPECT_EQ(text::encodingOf(two + "\xFF"), Encoding::Utf8);
  EXPECT_EQ(text::encodingOf(two + "\xFF\xFE"), Encoding::Gbk);
  EXPECT_EQ(text::encodingOf("<p>\xFF"), Encoding::Gbk);
  EXPECT_EQ(text::encodingOf("<p>ascii only</p>"), Encoding::Utf8);
  // A stray byte reads as a character that matches nothing; the rest as UTF-8.
  EXPECT_EQ(text::decodeContent(two + "\xFF!"),
            u"欢迎"_s + QChar(char16_t(utf8::invalidByteChar(0xFF))) + u"!"_s);
  // A UTF-8 character cut by the end of the file is invalid bytes.
  EXPECT_EQ(text::encodingOf(two + "\xE4\xB8"), Encoding::Gbk);
  EXPECT_EQ(text::encodingOf(two + u"文"_s.toUtf8() + "\xE4\xB8"), Encoding::Utf8);
}

TEST(EncodingRule, GbkTextStaysGbk) {
  // A paragraph of ordinary Chinese in GBK, with double-byte characters that
  // happen to be valid UTF-8 (学 is D1 A7): fewer than its invalid bytes.
  const QByteArray gbkText =
      "\xCE\xD2\xC3\xC7\xB5\xC4\xCD\xF8\xD5\xBE\xCC\xE1\xB9\xA9\xD1\xA7\xCF\xB0\xD7\xCA\xC1\xCF"
      "\xA3\xAC\xBB\xB6\xD3\xAD\xB7\xC3\xCE\xCA\xA1\xA3\xD1\xA7\xD1\xA7\xD1\xA7";
  EXPECT_EQ(text::encodingOf(gbkText), text::Encoding::Gbk);
  const auto [valid, invalid] = countByDecoding(gbkText);
  EXPECT_GT(valid, 0u);
  EXPECT_GT(invalid, valid);
}

// The rule settles early only when the bytes left cannot turn it: after 131,072
// stray bytes, 140,000 "é" still to come (280,000 bytes) make UTF-8 win, so
// nothing is settled yet, and the whole reads as UTF-8.
TEST(EncodingRule, SettlesOnlyWhenTheRestCannotTurnIt) {
  utf8::SequenceCounter counter;
  const QByteArray stray(131072, '\xFF');
  counter.feed(reinterpret_cast<const uint8_t*>(stray.constData()), std::size_t(stray.size()));
  const std::uint64_t rest = 140000 * 2;
  EXPECT_EQ(counter.settledReadsAsUtf8(rest, false), std::nullopt);
  QByteArray e;
  for (int i = 0; i < 140000; ++i)
    e += "\xC3\xA9";
  counter.feed(reinterpret_cast<const uint8_t*>(e.constData()), std::size_t(e.size()));
  EXPECT_EQ(counter.settledReadsAsUtf8(0, true), std::optional<bool>(true));
  // Were there one stray byte more than half the rest could outweigh, GBK is sure.
  utf8::SequenceCounter sure;
  const QByteArray more(140001, '\xFF');
  sure.feed(reinterpret_cast<const uint8_t*>(more.constData()), std::size_t(more.size()));
  EXPECT_EQ(sure.settledReadsAsUtf8(rest, false), std::optional<bool>(false));
}
