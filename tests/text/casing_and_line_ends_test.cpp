// The lower-casing and the line-end conversion at their edges: every code unit
// against a plain reference, and line feeds where nothing precedes them or a
// carriage return does.
#include <gtest/gtest.h>

#include <QChar>
#include <QString>

#include <cstring>

#include "text/lineends.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace {

// The simple lower case of one code unit, with no fast path: a surrogate, or a
// character whose lower case lies outside the BMP, stays as it is.
char16_t referenceLower(char16_t c) {
  if (QChar::isSurrogate(c))
    return c;
  const char32_t l = QChar::toLower(char32_t(c));
  return l <= 0xFFFF ? char16_t(l) : c;
}

}  // namespace

TEST(Casing, EveryCodeUnitLowerCasesAsTheReference) {
  QString all;
  QString expected;
  for (char32_t u = 0; u <= 0xFFFF; ++u) {
    const auto c = char16_t(u);
    ASSERT_EQ(text::lowerChar(c), referenceLower(c)) << "U+" << std::hex << unsigned(u);
    // Lone surrogates only: a pair would be lower-cased as one character.
    if (!QChar::isSurrogate(c)) {
      all.append(QChar(c));
      expected.append(QChar(referenceLower(c)));
    }
  }
  EXPECT_EQ(text::lowerCase(all), expected);
  // The ends of the ASCII letters, spelled out.
  EXPECT_EQ(text::lowerCase(u"@AZ[`az{"), u"@az[`az{");
}

// The set's forms of a letter look for its upper cases up to kLastCased only.
TEST(Casing, NoCodePointPastTheLastCasedOneHasACase) {
  for (char32_t c = text::kLastCased + 1; c <= 0x10FFFF; ++c)
    ASSERT_EQ(text::lowerCodePoint(c), c) << "U+" << std::hex << unsigned(c);
  EXPECT_NE(text::lowerCodePoint(0x1E900), char32_t(0x1E900));  // Adlam, the last cased script
}

TEST(LineEnds, LeadingRepeatedAndCarriageReturnPrecededFeeds) {
  EXPECT_EQ(text::toCrLf(u"\nx"), u"\r\nx");
  EXPECT_EQ(text::toCrLf(u"\n"), u"\r\n");
  EXPECT_EQ(text::toCrLf(u"\n\n"), u"\r\n\r\n");
  // The feed has its carriage return already; the one before it stays alone.
  EXPECT_EQ(text::toCrLf(u"\r\r\n"), u"\r\r\n");
  EXPECT_EQ(text::toCrLf(u"\r\n\n"), u"\r\n\r\n");
  EXPECT_EQ(text::fromCrLf(u"\r\r\n"), u"\r\n");
}

TEST(LineEnds, EachLineBreakOfASignatureBecomesOneLf) {
  EXPECT_EQ(text::lineBreaksAsLf(u"a\r\nb\nc\rd"), u"a\nb\nc\nd");
  // CR CR LF is two line breaks, LF CR two as well; a CR LF is never cut.
  EXPECT_EQ(text::lineBreaksAsLf(u"\r\r\n"), u"\n\n");
  EXPECT_EQ(text::lineBreaksAsLf(u"\n\r"), u"\n\n");
  EXPECT_EQ(text::lineBreaksAsLf(u"\r"), u"\n");
  EXPECT_EQ(text::lineBreaksAsLf(u"x\t "), u"x\t ");

  const auto length = [](const char* s, bool final) {
    const auto* p = reinterpret_cast<const uint8_t*>(s);
    return text::lineBreakLength(p, p + std::strlen(s), final);
  };
  EXPECT_EQ(length("\r\nx", false), 2);
  EXPECT_EQ(length("\rx", false), 1);
  EXPECT_EQ(length("\n\r", false), 1);
  // A CR at the end of what is known may still be followed by its LF.
  EXPECT_EQ(length("\r", false), 0);
  EXPECT_EQ(length("\r", true), 1);
}
