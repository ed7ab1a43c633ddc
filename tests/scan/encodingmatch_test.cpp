// The file match on UTF-8 files: each file is read as UTF-8 when it is mostly
// UTF-8 (its valid characters of several bytes outnumber its invalid bytes),
// as GBK otherwise, and a fixed encoding reads every
// file the same way. Checked on the pages that GBK-only reading got wrong, across
// the reader's buffer border, and against the plain definition on random
// UTF-8-heavy contents at every search level.
#include <gtest/gtest.h>

#include <QStringDecoder>

#include <random>

#include "readingrule.h"
#include "scan/filematch.h"
#include "testsupport.h"
#include "text/encoding.h"
#include "text/gbk.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;
using scan::MatchResult;
using scan::SignatureMatcher;
using text::Encoding;

namespace {

// The plain definition: the whole content decoded by the rule, then searched.
bool reference(const QByteArray& bytes, const QString& signature) {
  return reading::contains(bytes, signature);
}

bool matches(const QString& boxText, const QByteArray& content,
             Encoding encoding = Encoding::Auto) {
  const SignatureMatcher m(text::signatureFrom(boxText), encoding);
  // Every piece size for small contents, so that borders fall everywhere.
  const bool whole = m.matchBytes(content);
  for (std::size_t chunk = 1; chunk <= 9 && chunk < std::size_t(content.size()); ++chunk) {
    if (m.matchBytes(content, chunk) != whole)
      ADD_FAILURE() << "chunk " << chunk << " disagrees: " << content.toHex(' ').toStdString();
  }
  return whole;
}

const QString kPage = u"<html><body>欢迎<a href=\"http://x.example\">赌博网站</a></body></html>"_s;
// The same page in GBK.
const QByteArray kGbkPage =
    "<html><body>\xBB\xB6\xD3\xAD<a href=\"http://x.example\">\xB6\xC4\xB2\xA9\xCD\xF8\xD5\xBE"
    "</a></body></html>";
const QString kPhp = u"<?php //中eval(base64_decode(\"aGk=\"));"_s;

}  // namespace

TEST(Utf8Match, ChineseSignaturesInUtf8AndGbkPages) {
  ASSERT_EQ(gbk::decode(kGbkPage), kPage);
  const QByteArray utf8Page = kPage.toUtf8();
  for (const QString& sig : {u"赌博网站"_s, u"欢迎<A HREF"_s}) {
    EXPECT_TRUE(matches(sig, utf8Page)) << sig.toStdString();
    EXPECT_TRUE(matches(sig, kGbkPage)) << sig.toStdString();
    // Reading every file as GBK, as before, misses the UTF-8 page.
    EXPECT_FALSE(matches(sig, utf8Page, Encoding::Gbk)) << sig.toStdString();
    EXPECT_TRUE(matches(sig, kGbkPage, Encoding::Gbk)) << sig.toStdString();
    EXPECT_TRUE(matches(sig, utf8Page, Encoding::Utf8)) << sig.toStdString();
    EXPECT_FALSE(matches(sig, kGbkPage, Encoding::Utf8)) << sig.toStdString();
  }
}

TEST(Utf8Match, AsciiSignatureRightAfterAChineseCharacter) {
  // The last byte of 中 in UTF-8 (0xAD) is a GBK lead byte that would take the "e".
  const QByteArray php = kPhp.toUtf8();
  EXPECT_TRUE(matches(u"eval(base64_decode"_s, php));
  EXPECT_TRUE(matches(u"EVAL(BASE64_DECODE"_s, php));
  EXPECT_FALSE(matches(u"eval(base64_decode"_s, php, Encoding::Gbk));
  // One invalid byte against one valid character: GBK, where 中's last byte
  // takes the "e". Six valid characters against one: still UTF-8.
  EXPECT_FALSE(matches(u"eval(base64_decode"_s, php + "\r\n\xFF\r\n"));
  EXPECT_TRUE(matches(u"赌博网站"_s, kPage.toUtf8() + "\xC3"));
  EXPECT_FALSE(matches(u"赌博网站"_s, kPage.toUtf8() + QByteArray(6, '\xC3')));
  EXPECT_TRUE(matches(u"赌博网站"_s, kPage.toUtf8() + "\xC3\xA9"));
  // A byte-order mark is a character like any other.
  EXPECT_TRUE(matches(u"\uFEFF<?php"_s, "\xEF\xBB\xBF" + php));
  EXPECT_TRUE(matches(u"eval("_s, "\xEF\xBB\xBF" + php));
}

TEST(Utf8Match, LookAlikesOfOtherLengthsLowerCaseToTheSignature) {
  // The Kelvin sign (3 bytes) lower-cases to "k", "ẞ" (3 bytes) to "ß" (2):
  // matches in a UTF-8 file, not in a GBK one.
  EXPECT_TRUE(matches(u"<link"_s, u"x<LIN\u212A rel>"_s.toUtf8()));
  EXPECT_TRUE(matches(u"kit"_s, u"中\u212AIT"_s.toUtf8()));
  EXPECT_TRUE(matches(u"straße"_s, u"STRAẞE"_s.toUtf8()));
  EXPECT_FALSE(matches(u"<link"_s, u"x<LIN\u212A rel>"_s.toUtf8() + "\xFF"));
  // And the buffer with such a character next to a plain occurrence.
  EXPECT_TRUE(matches(u"kit"_s, u"\u212A kit"_s.toUtf8()));
  EXPECT_FALSE(matches(u"kit"_s, u"\u212A ki"_s.toUtf8()));
}

TEST(Utf8Match, CharactersAndSignaturesAcrossTheReadBuffer) {
  TempTree t;
  const qsizetype k = qsizetype(SignatureMatcher::kReadSize);
  const QByteArray zh = u"中文"_s.toUtf8();  // six bytes
  const QByteArray sig = u"赌博网站"_s.toUtf8();
  int n = 0;
  for (qsizetype shift = 0; shift < 6; ++shift) {
    // Chinese text whose characters straddle the border, a signature across
    // it; the same file with a stray byte after the border (still UTF-8), and
    // with invalid bytes from there on (GBK, learnt only after the border).
    QByteArray content(shift, 'a');
    while (content.size() < 2 * k)
      content += zh;
    for (qsizetype at : {k - 5 - shift, k - 1 - shift}) {
      QByteArray withSig = content;
      withSig.insert(at - at % 3 + shift % 3, sig);
      const QByteArray stray = QByteArray(withSig).insert(k + 20, '\xFF');
      const QByteArray spoilt = withSig.left(k + 20) + QByteArray(withSig.size() - k - 20, '\xFF');
      for (const auto& [bytes, expected] :
           {std::pair{withSig, true}, std::pair{stray, true}, std::pair{spoilt, false}}) {
        const QByteArray name = QByteArray::number(n++) + ".php";
        t.write(name, bytes);
        ASSERT_EQ(reference(bytes, u"赌博网站"_s), expected) << shift << " " << at;
        EXPECT_EQ(SignatureMatcher(u"赌博网站"_s).matchFile(t.abs(name)),
                  expected ? MatchResult::Match : MatchResult::NoMatch)
            << shift << " " << at;
      }
    }
  }
}

TEST(Utf8Match, SameAsThePlainDefinitionOnRandomContents) {
  const QStringList signatures = {
      u"<iframe src=x>"_s, u"eval("_s,      u"赌博网站"_s, u"дом"_s, u"kit"_s, u"i"_s,
      u"straße"_s,         u"a\U0001F600"_s};
  const QStringList pieces = {u"<IFRAME SRC=X>"_s,
                              u"<iframe src=x>"_s,
                              u"EVAL("_s,
                              u"ev"_s,
                              u"赌博"_s,
                              u"网站"_s,
                              u"ДОМ"_s,
                              u"Дo"_s,
                              u"\u212AIT"_s,
                              u"İ"_s,
                              u"STRAẞE"_s,
                              u"中"_s,
                              u"\U0001F600"_s,
                              u"A"_s,
                              u"\r\n"_s,
                              u"x"_s};
  std::mt19937 r(23);
  auto level = SignatureMatcher::searchLevel();
  for (const QString& sig : signatures) {
    const SignatureMatcher m(sig);
    int found = 0;
    for (int round = 0; round < 600; ++round) {
      QByteArray content;
      const int parts = int(r() % (round % 10 == 0 ? 80 : 10));
      for (int i = 0; i < parts; ++i)
        content += pieces[int(r() % pieces.size())].toUtf8();
      if (r() % 8 == 0 && !content.isEmpty())
        content.insert(qsizetype(r() % content.size()), char(0x80 + r() % 0x80));
      const bool expected = reference(content, sig);
      found += expected;
      for (auto l :
           {SignatureMatcher::SearchLevel::Scalar, SignatureMatcher::SearchLevel::Avx2, level}) {
        if (!SignatureMatcher::setSearchLevel(l))
          continue;
        for (std::size_t chunk : {1, 2, 5, 64, 0}) {
          ASSERT_EQ(m.matchBytes(content, chunk), expected)
              << sig.toStdString() << " chunk " << chunk << ": "
              << content.toHex(' ').toStdString();
        }
      }
      SignatureMatcher::setSearchLevel(level);
    }
    EXPECT_GT(found, 5) << sig.toStdString();
    EXPECT_LT(found, 595) << sig.toStdString();
  }
}

TEST(Utf8Match, AStrayByteLeavesAUtf8PageUtf8) {
  // A Chinese spam text in a UTF-8 page, then a stray byte (an old editor's
  // Latin-1 "é", a file cut in a character, or an intruder's own).
  const QString spam = u"<a href=\"http://bad.example.net/\">澳门赌场</a>"_s;
  const QByteArray page = "<meta charset=\"utf-8\">" + spam.toUtf8() + "\n";
  for (const QByteArray& stray :
       {QByteArray("\xFF"), QByteArray("caf\xE9"), QByteArray("\xE4\xB8")}) {
    EXPECT_TRUE(matches(spam, page + stray)) << stray.toHex().toStdString();
    EXPECT_TRUE(matches(spam, stray + page)) << stray.toHex().toStdString();
  }
  // An ASCII signature right after a Chinese character of such a page.
  const QByteArray php = u"<?php //中文eval(base64_decode(\"aGk=\"));"_s.toUtf8() + "\xFF";
  EXPECT_TRUE(matches(u"eval(base64_decode"_s, php));
  // The stray byte is a character that matches nothing, not even U+FFFD.
  EXPECT_FALSE(matches(u"\uFFFD"_s, page + "\xFF"));
  // As many invalid bytes as valid characters: GBK by the count, where the
  // spam is not; but a page that declares UTF-8 is read as UTF-8 whatever
  // its author adds.
  QByteArray spoilt = spam.toUtf8();
  for (int i = 0; i < 4; ++i)
    spoilt += "\xFF";
  EXPECT_FALSE(matches(spam, spoilt));
  EXPECT_TRUE(matches(spam, "<meta charset=\"utf-8\">" + spoilt));
  // The GBK page and its traps read as before.
  EXPECT_TRUE(matches(u"赌博网站"_s, kGbkPage + "\xFF"));
  EXPECT_FALSE(matches(u"iframe"_s, "\xB0iframe" + kGbkPage));
}

// The count settles as soon as the rest cannot change it, and not sooner:
// after 131,072 stray bytes, 140,000 "é" still make the file UTF-8.
TEST(Utf8Match, TheCountSettlesNoEarlierThanTheRestAllows) {
  const QByteArray content = QByteArray(131072, '\xFF') + QByteArray("\xC3\xA9").repeated(140000);
  ASSERT_EQ(reading::ruleFor(content), Encoding::Utf8);
  const SignatureMatcher m(u"é"_s);
  EXPECT_TRUE(m.matchBytes(content));
  EXPECT_TRUE(m.matchBytes(content, 4096));
  // One "é" fewer than stray bytes... and it is GBK.
  EXPECT_FALSE(m.matchBytes(QByteArray(131072, '\xFF') + QByteArray("\xC3\xA9").repeated(131072)));
}
