#include "text/gbk.h"

#include <gtest/gtest.h>

#include "text/textops.h"

TEST(Gbk, DecodesChineseAsciiAndTheEuroSign) {
  EXPECT_EQ(gbk::decode("\xD6\xD0\xCE\xC4 abc"), u"中文 abc");
  EXPECT_EQ(gbk::decode("\x80"), u"€");
  EXPECT_EQ(gbk::decode("\xA3\xC1"), u"Ａ");  // full-width A
  EXPECT_EQ(gbk::decode("a\r\nb"), u"a\r\nb");
  EXPECT_EQ(gbk::decode(QByteArrayView("\0x", 2)), QString(QChar(u'\0')) + u'x');
}

TEST(Gbk, InvalidLeadByteDecodesAloneAndKeepsTheNextByte) {
  // A lead byte followed by a byte that cannot trail: the lead is invalid on its
  // own, and "<" still decodes as "<".
  const QString s = gbk::decode("\xB0<i");
  ASSERT_EQ(s.size(), 3);
  EXPECT_EQ(s[0].unicode(), gbk::invalidByteChar(0xB0));
  EXPECT_EQ(s.mid(1), u"<i");
  // A lead byte at the very end.
  const QString t = gbk::decode("a\xD6");
  ASSERT_EQ(t.size(), 2);
  EXPECT_EQ(t[1].unicode(), gbk::invalidByteChar(0xD6));
  // A lead byte followed by an ASCII letter in the trail range is one character.
  EXPECT_EQ(gbk::decode("\xB0i").size(), 1);
}

TEST(Gbk, InvalidBytesMatchNothingTypeable) {
  for (int b = 0x81; b <= 0xFE; ++b) {
    const char16_t c = gbk::invalidByteChar(uint8_t(b));
    EXPECT_TRUE(QChar::isLowSurrogate(c));
  }
}

TEST(Gbk, NoDoubleByteCharacterLowerCasesToAscii) {
  // The scan relies on this: an ASCII signature can only match ASCII bytes.
  const gbk::Tables& t = gbk::tables();
  for (int l = 0; l < 126; ++l) {
    for (int tr = 0; tr < 191; ++tr) {
      if (!gbk::isTrail(uint8_t(tr + 0x40)))
        continue;
      ASSERT_GE(t.pairLower[l][tr], 0x80) << std::hex << (l + 0x81) << (tr + 0x40);
      ASSERT_EQ(t.pairLower[l][tr], text::lowerChar(t.pair[l][tr]));
    }
  }
  for (int b = 0x80; b < 0x100; ++b)
    EXPECT_GE(t.singleLower[b], 0x80);
}

TEST(Gbk, DecodeOneWaitsForTheTrailByteUnlessFinal) {
  const uint8_t lead[] = {0xD6};
  char16_t out = 0;
  EXPECT_EQ(gbk::decodeOne(lead, lead + 1, false, &out), 0);
  EXPECT_EQ(gbk::decodeOne(lead, lead + 1, true, &out), 1);
  EXPECT_EQ(out, gbk::invalidByteChar(0xD6));
  const uint8_t pair[] = {0xA3, 0xC1};
  EXPECT_EQ(gbk::decodeOne(pair, pair + 2, false, &out, true), 2);
  EXPECT_EQ(out, u'ａ');
}
