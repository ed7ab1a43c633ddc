#include "scan/filematch.h"

#include <gtest/gtest.h>

#include "platform/pathcodec.h"
#include "readingrule.h"
#include "testsupport.h"
#include "text/encoding.h"
#include "text/gbk.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;
using scan::MatchResult;
using scan::SignatureMatcher;

namespace {

const QString kSample = QStringLiteral(
    "<iframe src=\"http://example.com/index.php\" width=0 \r\nheight=0></iframe>\r\n");

// The plain definition of an infected content: decode it whole, lower-case it,
// search.
bool reference(QByteArrayView bytes, const QString& signature,
               text::LineEnds lineEnds = text::LineEnds::Any) {
  return reading::contains(bytes, signature, text::Encoding::Auto, lineEnds);
}

// Every chunk size from one byte up, so borders fall everywhere.
void expectAllChunkings(QByteArrayView bytes, const QString& signature, bool expected,
                        text::LineEnds lineEnds = text::LineEnds::Any) {
  SignatureMatcher m(signature, text::Encoding::Auto, lineEnds);
  for (std::size_t chunk = 1; chunk <= std::size_t(bytes.size()) + 1; ++chunk) {
    ASSERT_EQ(m.matchBytes(bytes, chunk), expected) << "chunk " << chunk;
  }
  ASSERT_EQ(reference(bytes, signature, lineEnds), expected);
}

}  // namespace

TEST(FileMatch, CaseOfTheFileDoesNotMatter) {
  const QString signature = text::signatureFrom(kSample);
  QByteArray upper = kSample.toUpper().toLatin1();
  expectAllChunkings("<html>" + upper + "</html>", signature, true);
  expectAllChunkings(kSample.toLatin1(), signature, true);
}

TEST(FileMatch, ExactLineEndsMustMatchByteForByte) {
  const QString signature = text::signatureFrom(kSample);
  QByteArray lf = kSample.toLatin1();
  lf.replace("\r\n", "\n");
  expectAllChunkings(lf, signature, false, text::LineEnds::Exact);
  expectAllChunkings(lf + kSample.toLatin1(), signature, true, text::LineEnds::Exact);
}

TEST(FileMatch, AnyLineBreakMatchesAnyLineBreak) {
  // The sample (CR LF) and the same text copied from an LF file find pages
  // with LF, CR LF and CR line ends alike.
  const QByteArray crlf = kSample.toLatin1();
  QByteArray lf = crlf;
  lf.replace("\r\n", "\n");
  QByteArray cr = crlf;
  cr.replace("\r\n", "\r");
  for (const QByteArray& sig : {crlf, lf, cr}) {
    const QString signature = text::signatureFrom(QString::fromLatin1(sig));
    for (const QByteArray& page : {crlf, lf, cr})
      expectAllChunkings("<p>" + page + "</p>", signature, true);
  }
  // A file's CR LF is one line break: it takes one of the signature's, never two.
  expectAllChunkings("a\r\nb", u"a\n\nb"_s, false);
  expectAllChunkings("a\r\rb", u"a\r\nb"_s, false);
  expectAllChunkings("a\r\n\nb", u"a\n\nb"_s, true);
  // A signature that ends with a line break takes the whole CR LF; one that
  // begins with one never starts at the LF of a CR LF.
  expectAllChunkings("a\r\n", u"a\r"_s, true);
  expectAllChunkings("x\r\nabc", u"\nabc"_s, true);
  expectAllChunkings("x\r\nabc", u"\n\nabc"_s, false);
  // A lead byte before a line break does not take it in GBK.
  expectAllChunkings("\xB0\r\nabc", u"\nabc"_s, true);
}

TEST(FileMatch, ChineseContentAndSignature) {
  // "木马" in GBK is C4 BE C2 ED; the file is GBK, the signature typed text.
  expectAllChunkings("\xD5\xE2\xCA\xC7\xC4\xBE\xC2\xED!", u"木马!"_s, true);
  expectAllChunkings("\xD5\xE2\xCA\xC7\xC4\xBE!", u"木马"_s, false);
  // Full-width capitals in the file match a lower-cased full-width signature.
  expectAllChunkings("x\xA3\xC1\xA3\xC2y", text::signatureFrom(u"ＡＢ"), true);
}

TEST(FileMatch, CharacterAlignmentDecidesAsciiMatches) {
  const QString signature = u"iframe"_s;
  // 0xB0 0x69 is one double-byte character: the "i" belongs to it.
  expectAllChunkings("\xB0iframe", signature, false);
  // Two lead-range bytes form a character, so the "i" starts a character.
  expectAllChunkings("\xB0\xB0iframe", signature, true);
  // A lead byte before a byte that cannot trail is invalid alone.
  expectAllChunkings("\xB0<iframe", u"<iframe"_s, true);
  expectAllChunkings("\xB0\xB0\xB0iframe", signature, false);
  expectAllChunkings("\x80\xB0iframe", signature, false);  // 0x80 is a character of its own
  expectAllChunkings("\xFF\xB0\xB0iframe", signature, true);
}

TEST(FileMatch, InvalidBytesNeverMatchAndNeverSwallowTheSignature) {
  expectAllChunkings("\xD6", u"x"_s, false);
  expectAllChunkings("\xD6\r\nabc", u"\r\nabc"_s, true);
  expectAllChunkings("abc\xD6", u"abc"_s, true);
  expectAllChunkings("", u"a"_s, false);
}

TEST(FileMatch, SignatureAtEveryPositionOfALargeFile) {
  const QString signature = text::signatureFrom(kSample);
  QByteArray filler;
  for (int i = 0; i < 3000; ++i)
    filler += "\xD6\xD0\xCE\xC4 text\r\n";
  const QByteArray sig = kSample.toLatin1();
  SignatureMatcher m(signature);
  for (qsizetype at :
       {qsizetype(0), qsizetype(1), filler.size() / 2, filler.size() - 1, filler.size()}) {
    QByteArray content = filler;
    content.insert(at, sig);
    const bool expected = reference(content, signature);
    for (std::size_t chunk : {std::size_t(7), std::size_t(64), std::size_t(4096), std::size_t(0)}) {
      EXPECT_EQ(m.matchBytes(content, chunk), expected) << at << " " << chunk;
    }
  }
  EXPECT_FALSE(m.matchBytes(filler));
}

TEST(FileMatch, ReadsRegularFilesOnly) {
  TempTree t;
  t.write("a.htm", "x" + kSample.toUpper().toLatin1());
  t.write("clean.htm", "nothing here");
  t.symlink(t.abs("a.htm"), "link.htm");
  t.fifo("pipe.htm");
  SignatureMatcher m(text::signatureFrom(kSample));
  EXPECT_EQ(m.matchFile(t.abs("a.htm")), MatchResult::Match);
  EXPECT_EQ(m.matchFile(t.abs("clean.htm")), MatchResult::NoMatch);
  EXPECT_EQ(m.matchFile(t.abs("missing.htm")), MatchResult::Error);
  EXPECT_EQ(m.matchFile(t.abs("link.htm")), MatchResult::Error);  // links are not followed
  EXPECT_EQ(m.matchFile(t.abs("pipe.htm")), MatchResult::Error);  // and a FIFO never blocks
  EXPECT_EQ(m.matchFile(t.rootBytes()), MatchResult::Error);      // nor is a directory read
}

TEST(FileMatch, FileAcrossReadBuffers) {
  TempTree t;
  const QString signature = text::signatureFrom(kSample);
  QByteArray big(qsizetype(SignatureMatcher::kReadSize) * 3, 'a');
  // The signature straddles the first buffer border; a GBK character straddles
  // the second.
  big.replace(qsizetype(SignatureMatcher::kReadSize) - 10, kSample.size(), kSample.toLatin1());
  big[qsizetype(SignatureMatcher::kReadSize) * 2 - 1] = '\xB0';
  big[qsizetype(SignatureMatcher::kReadSize) * 2] = 'i';
  t.write("big.htm", big);
  EXPECT_EQ(SignatureMatcher(signature).matchFile(t.abs("big.htm")), MatchResult::Match);
  EXPECT_EQ(SignatureMatcher(u"iaaa"_s).matchFile(t.abs("big.htm")), MatchResult::NoMatch);
  EXPECT_EQ(SignatureMatcher(u"aaa"_s).matchFile(t.abs("big.htm")), MatchResult::Match);
}

// Searching each file first for the signature without its edge blanks changes
// no answer, and no reading to tell, whatever the line break, the reading or a
// mark; a file that lacks the core in every reading is read once.
TEST(FileMatch, TheCoreSearchedFirstChangesNoAnswer) {
  const QString signature = text::signatureFrom(u"Eval(x)\r\n"_s);
  const SignatureMatcher plain(signature);
  const SignatureMatcher withCore(signature, text::Encoding::Auto, text::LineEnds::Any,
                                  u"eval(x)"_s);
  QByteArray utf16 = "\xFF\xFE";
  for (char c : QByteArray("eval(x)\r\n"))
    utf16 += QByteArray(1, c) + '\0';
  struct Case {
    QByteArray content;
    MatchResult result;
    text::Encoding told;
    bool holdsCore;
  };
  const auto no = MatchResult::NoMatch;
  const auto yes = MatchResult::Match;
  const auto none = text::Encoding::Auto;
  // Read as GBK, \xA8 takes the "e" that follows; read as UTF-8 it does not.
  const QByteArray gbkTakes = "/*\xFF\xFF*/\xE2\x80\xA8";
  const std::vector<Case> cases = {
      {"a\nEVAL(x)\r\nb", yes, none, true},
      {"eval(x)\n", yes, none, true},
      {"eval(x)\r", yes, none, true},
      {"x\xB0\xB0"
       "eval(x)\r\n",
       yes, none, true},
      {utf16, yes, none, true},
      {"eval(x) \n", no, none, true},
      {"eval(x)", no, none, true},
      {gbkTakes + "eval(x)", no, none, false},
      {gbkTakes + "eval(x)\r\n", no, text::Encoding::Utf8, false},
      {"\xFF\xFE"
       "eval(x)\n",
       no, text::Encoding::Utf8, false},
      {"clean", no, none, false},
  };
  TempTree t;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.content.toHex(' ').toStdString());
    const QByteArray name = QByteArray::number(qulonglong(i)) + ".js";
    t.write(name, c.content);
    scan::ReadStats alone, first;
    const MatchResult expected = plain.matchFile(t.abs(name), nullptr, &alone);
    EXPECT_EQ(withCore.matchFile(t.abs(name), nullptr, &first), expected);
    EXPECT_EQ(expected, c.result);
    EXPECT_EQ(first.otherReading, alone.otherReading);
    EXPECT_EQ(alone.otherReading, c.told);
    EXPECT_EQ(first.holdsCore, c.holdsCore);
    EXPECT_FALSE(alone.holdsCore);
    // Without the core anywhere, nothing is read again.
    if (c.content == "clean") {
      EXPECT_EQ(first.bytes, std::uint64_t(c.content.size()));
    }
  }
}
