#include "text/textops.h"

#include <gtest/gtest.h>

using namespace text;
using namespace Qt::StringLiterals;

TEST(TextOps, TrimRemovesOnlySpacesAtTheEnds) {
  EXPECT_EQ(trim(u"  a b  "), u"a b");
  EXPECT_EQ(trim(u"\t a \r\n"), u"\t a \r\n");
  EXPECT_EQ(trim(u"   "), u"");
  EXPECT_EQ(trim(u""), u"");
  EXPECT_EQ(trim(u" \u3000x\u3000 "), u"\u3000x\u3000");  // ideographic space stays
}

TEST(TextOps, LowerCaseIsSimpleAndPerCharacter) {
  EXPECT_EQ(lowerCase(u"<IFRAME Src=X>"), u"<iframe src=x>");
  EXPECT_EQ(lowerCase(u"ＡＢＣ"), u"ａｂｃ");  // full-width letters
  EXPECT_EQ(lowerCase(u"ΑΒΓ"), u"αβγ");
  EXPECT_EQ(lowerCase(u"中文\r\n"), u"中文\r\n");
  // Simple mapping: one character in, one character out (no "i̇" for U+0130).
  EXPECT_EQ(lowerCase(u"\u0130").size(), 1);
  // A character outside the BMP is lower-cased as one character.
  EXPECT_EQ(lowerCase(u"\U00010400"), u"\U00010428");
  // A lone surrogate passes unchanged.
  const QString lone(QChar(char16_t(0xDC81)));
  EXPECT_EQ(lowerCase(lone), lone);
}

TEST(TextOps, SplitKeepsEmptyPieces) {
  EXPECT_TRUE(split(u"", u"|").isEmpty());
  EXPECT_EQ(split(u"a", u"|"), QStringList{u"a"_s});
  EXPECT_EQ(split(u"a|", u"|"), (QStringList{u"a"_s, QString()}));
  EXPECT_EQ(split(u"||", u"|"), (QStringList{QString(), QString(), QString()}));
  EXPECT_EQ(split(u"a\r\nb\r\n", u"\r\n"), (QStringList{u"a"_s, u"b"_s, QString()}));
  // A lone CR or LF is not a line break of the log.
  EXPECT_EQ(split(u"a\nb\r", u"\r\n"), QStringList{u"a\nb\r"_s});
}

TEST(TextOps, RemoveAllIsOnePassLeftToRight) {
  EXPECT_EQ(removeAll(u"ababab", u"abab"), u"ab");
  EXPECT_EQ(removeAll(u"aabb", u"ab"), u"ab");  // joined text is not searched again
  EXPECT_EQ(removeAll(u"xAbx", u"ab"), u"xAbx");
  EXPECT_EQ(removeAll(u"abc", u""), u"abc");
  EXPECT_EQ(removeAll(u"abab", u"ab"), u"");
}

TEST(TextOps, SignatureIsTrimmedThenLowerCased) {
  EXPECT_EQ(signatureFrom(u"  <IFRAME>\r\nX  "), u"<iframe>\r\nx");
  EXPECT_EQ(signatureFrom(u"<A>\r\n"), u"<a>\r\n");  // a trailing CR LF stays
  EXPECT_TRUE(signatureFrom(u"    ").isEmpty());
}

// A typed text that begins as a set's text would be read as a set of other
// members (finding "c" for "\uFDD0\uFDD1ab\uFDD1c\uFDD1"): it is no signature.
TEST(TextOps, ATextBeginningAsASetsTextIsNoSignature) {
  EXPECT_TRUE(signatureFrom(u"\uFDD0\uFDD1abc").isEmpty());
  EXPECT_TRUE(signatureFrom(u"  \uFDD0\uFDD1ab\uFDD1c\uFDD1").isEmpty());
  // The same characters elsewhere are the signature's own.
  EXPECT_EQ(signatureFrom(u"a\uFDD0\uFDD1"), u"a\uFDD0\uFDD1");
  EXPECT_EQ(signatureFrom(u"\uFDD0x"), u"\uFDD0x");
}

TEST(TextOps, LineEndsConvertAtTheWidgetBoundary) {
  EXPECT_EQ(toCrLf(u"a\nb\n"), u"a\r\nb\r\n");
  EXPECT_EQ(toCrLf(u"a\r\nb"), u"a\r\nb");  // already CR LF: not doubled
  EXPECT_EQ(fromCrLf(u"a\r\nb\r\n"), u"a\nb\n");
  EXPECT_EQ(fromCrLf(toCrLf(u"x\ny\n\nz")), u"x\ny\n\nz");
}
