// Signature sets: the one-pass set search and the set's removal against the
// plain definition (decode the whole content, lower-case it, look for each
// member; remove the longest member at each position from the start).
#include "text/signatureset.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "clean/remover.h"
#include "readingrule.h"
#include "scan/filematch.h"
#include "scan/setpieces.h"
#include "scan/signaturesetmatch.h"
#include "testsupport.h"
#include "text/gbk.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;
using scan::MatchResult;
using scan::SignatureMatcher;

namespace {

QByteArray encodeGbk(const QString& s) {
  const gbk::Tables& t = gbk::tables();
  QByteArray out;
  for (QChar c : s) {
    bool done = false;
    for (int b = 0; b < 256 && !done; ++b) {
      if (!gbk::isLead(uint8_t(b)) && t.single[b] == c.unicode()) {
        out += char(b);
        done = true;
      }
    }
    for (int l = 0x81; l <= 0xFE && !done; ++l) {
      for (int tr = 0x40; tr <= 0xFE && !done; ++tr) {
        if (gbk::isTrail(uint8_t(tr)) && t.pair[l - 0x81][tr - 0x40] == c.unicode()) {
          out += char(l);
          out += char(tr);
          done = true;
        }
      }
    }
    if (!done)
      throw std::runtime_error("not in code page 936");
  }
  return out;
}

std::vector<QString> signatureTextsOf(const QStringList& boxTexts) {
  std::vector<QString> out;
  for (const QString& t : boxTexts)
    out.push_back(text::signatureFrom(t));
  return out;
}

QString packed(const std::vector<QString>& signatureTexts) {
  std::vector<text::SetMember> members;
  for (std::size_t i = 0; i < signatureTexts.size(); ++i)
    members.push_back({u"m"_s + QString::number(i), signatureTexts[i]});
  return text::packSignatureSet(members);
}

// Pieces of the members as files hold them (in both cases, in GBK and UTF-8,
// cut short, with other line breaks) and the bytes that trip a GBK reading.
class Contents {
 public:
  Contents(const std::vector<QString>& signatureTexts, uint32_t seed) : rng_(seed) {
    for (const QString& g : signatureTexts) {
      for (const QString& form : {g, g.toUpper(), QString(g).replace(u"\n"_s, u"\r\n"_s)}) {
        try {
          pieces_.push_back(encodeGbk(form));
        } catch (const std::runtime_error&) {
        }
        pieces_.push_back(form.toUtf8());
      }
      // The Kelvin sign reads in lower case as "k", in three bytes; the dotted
      // capital I stays itself.
      pieces_.push_back(
          QString(g).replace(u'k', QChar(0x212A)).replace(u'i', QChar(0x130)).toUtf8());
      const QByteArray whole = encodeGbk(g);
      pieces_.push_back(whole.left(whole.size() - 1));
      pieces_.push_back(whole.mid(1));
    }
  }

  QByteArray next(int maxParts) {
    QByteArray out;
    const int parts = int(r() % unsigned(maxParts + 1));
    for (int i = 0; i < parts; ++i) {
      switch (r() % 7) {
        case 0:
        case 1:
        case 2:
          out += pieces_[r() % pieces_.size()];
          break;
        case 3:
          for (uint32_t n = r() % 4; n > 0; --n)
            out += char(0x81 + r() % 0x7E);
          break;
        case 4:
          out += "\xD6\xD0\xCE\xC4";  // 中文
          break;
        case 5:
          out += (r() % 2) ? "\r\n" : "\r";
          break;
        default:
          out += char(r() % 256);
          break;
      }
    }
    return out;
  }

 private:
  uint32_t r() { return uint32_t(rng_()); }
  std::mt19937 rng_;
  std::vector<QByteArray> pieces_;
};

// The bytes left after removing `ranges`.
QByteArray without(const QByteArray& content, const std::vector<clean::ByteRange>& ranges) {
  QByteArray out;
  qint64 at = 0;
  for (const clean::ByteRange& r : ranges) {
    out += content.mid(at, r.offset - at);
    at = r.offset + r.length;
  }
  out += content.mid(at);
  return out;
}

void expectSameAsReference(const QStringList& boxTexts, uint32_t seed, int rounds) {
  const std::vector<QString> signatureTexts = signatureTextsOf(boxTexts);
  int matches = 0;
  int checks = 0;
  for (const text::Encoding encoding :
       {text::Encoding::Auto, text::Encoding::Gbk, text::Encoding::Utf8}) {
    for (const text::LineEnds lineEnds : {text::LineEnds::Any, text::LineEnds::Exact}) {
      Contents gen(signatureTexts, seed);
      const SignatureMatcher m(packed(signatureTexts), encoding, lineEnds);
      const scan::SetMatcher set(signatureTexts, encoding, lineEnds);
      ASSERT_TRUE(set.error().isEmpty()) << set.error().toStdString();
      // The set as the set cache gives it back answers as the one just built.
      const std::unique_ptr<const scan::SetMatcher> kept =
          scan::SetMatcher::fromImage(signatureTexts, encoding, lineEnds, set.image());
      ASSERT_TRUE(kept);
      for (int i = 0; i < rounds; ++i) {
        const QByteArray content = gen.next(i % 10 == 0 ? 60 : 10);
        const std::vector<std::uint32_t> expected =
            reading::membersIn(content, signatureTexts, encoding, lineEnds);
        matches += !expected.empty();
        ++checks;
        for (std::size_t chunk : {1, 2, 3, 7, 64, 0}) {
          const auto where = [&] {
            return "encoding " + std::to_string(int(encoding)) + " chunk " + std::to_string(chunk) +
                   " content " + content.toHex(' ').toStdString();
          };
          ASSERT_EQ(m.matchBytes(content, chunk), !expected.empty()) << where();
          for (const scan::SetMatcher* built : {&set, kept.get()}) {
            std::vector<std::uint32_t> found;
            ASSERT_EQ(built->matchBytes(content, chunk, &found), !expected.empty()) << where();
            ASSERT_EQ(found, expected) << where();
          }
          std::vector<clean::ByteRange> ranges;
          const QByteArray cleaned = clean::removeSignature(content, packed(signatureTexts), chunk,
                                                            &ranges, encoding, lineEnds);
          ASSERT_EQ(cleaned, without(content, ranges)) << where();
          // Members joined by a removal go too: a rescan, read as the content
          // was, finds nothing.
          const text::Encoding read = text::encodingOf(content, encoding);
          ASSERT_TRUE(reading::membersIn(cleaned, signatureTexts, read, lineEnds).empty())
              << where();
        }
      }
    }
  }
  // The generator must give both outcomes, or the comparison proves little.
  EXPECT_GT(matches, checks / 10);
  EXPECT_LT(matches, checks - checks / 10);
}

}  // namespace

TEST(SignatureSet, MembersThatOverlapAndContainEachOther) {
  // "abc"/"bcd" overlap, "<iframe" is a prefix of the other, "frame" lies
  // inside it, and the window's sample has its CR LF.
  expectSameAsReference({u"abc"_s, u"bcd"_s, u"<iframe"_s, u"<iFrame src=x>"_s, u"frame"_s,
                         u"<i src=0 \r\nh=0>\r\n"_s},
                        21, 600);
}

TEST(SignatureSet, ChineseMembersSharingTrailBytes) {
  // 中 is D6 D0 and 文 CE C4: "中文" also holds D0 CE, the GBK form of another
  // character, only across a boundary; "@" (40) and "`" (60) are trail bytes.
  const QString across = gbk::decode(QByteArray("\xD0\xCE"));
  expectSameAsReference({u"中文"_s, u"文"_s, across, u"木马@"_s, u"`x"_s, u"Дом"_s, u"€z"_s}, 22,
                        600);
}

TEST(SignatureSet, FormsOfAnotherLength) {
  // Members whose letters have UTF-8 forms of another length, searched apart:
  // the Kelvin sign for "k", the Ohm sign for "ω".
  expectSameAsReference({u"kit"_s, u"bike"_s, u"<IFRAME"_s, u"k"_s, u"中文"_s, u"ωk"_s}, 23, 600);
  const scan::SetMatcher set({u"kit"_s, u"zz"_s}, text::Encoding::Auto, text::LineEnds::Any);
  std::vector<std::uint32_t> found;
  for (std::size_t chunk : {1, 2, 4, 0}) {
    EXPECT_TRUE(set.matchBytes("x\xE2\x84\xAAiT", chunk, &found)) << chunk;
    EXPECT_EQ(found, (std::vector<std::uint32_t>{0}));
    // The dotted capital I stays itself in lower case: no "i".
    EXPECT_FALSE(set.matchBytes("x\xE2\x84\xAA\xC4\xB0T", chunk)) << chunk;
  }
}

TEST(SignatureSet, CandidatesFromAPieceInsideTheMember) {
  // A member's candidates come from its longest piece whose forms differ only
  // in ASCII letter case, which need not start it: behind Chinese characters,
  // behind letters with forms of another length ("k", "i"), behind a GBK trail
  // byte, across an exact line break, and past the characters the search holds.
  expectSameAsReference({u"中<scr"_s, u"kit src"_s, u"木马@abcd"_s, u"kkkk"_s, u"ab\r\ncd"_s,
                         u"ik中文xyzw"_s, u"ab"_s, u"0123456789abcdefghij0123456789ab中cdefgh"_s},
                        24, 600);
}

TEST(SignatureSet, LargeSetsFindEachMemberAsTheReadingsDefine) {
  // Large sets are made in batches on two threads and compiled in two halves:
  // each member is found where it occurs, in either reading, and nowhere
  // else, in the set as built and as the set cache gives it back.
  std::vector<QString> signatureTexts;
  for (int i = 0; i < 9000; ++i)
    signatureTexts.push_back(i % 3 == 0   ? u"<script src=//m%1.example>"_s.arg(i)
                             : i % 3 == 1 ? u"木马%1 eval("_s.arg(i)
                                          : u"kit-%1-\r\nend"_s.arg(i));
  const scan::SetMatcher built(signatureTexts, text::Encoding::Auto, text::LineEnds::Any);
  ASSERT_TRUE(built.error().isEmpty());
  const std::unique_ptr<const scan::SetMatcher> kept = scan::SetMatcher::fromImage(
      signatureTexts, text::Encoding::Auto, text::LineEnds::Any, built.image());
  ASSERT_TRUE(kept);
  const QByteArray content = "<p>" + signatureTexts[127].toUpper().toUtf8() + " x " +
                             signatureTexts[128].toUtf8() + signatureTexts[256].toUtf8() + " " +
                             signatureTexts[299].toUtf8() + signatureTexts[8999].toUtf8() + "</p>";
  const std::vector<std::uint32_t> expected = reading::membersIn(content, signatureTexts);
  ASSERT_EQ(expected, (std::vector<std::uint32_t>{127, 128, 256, 299, 8999}));
  // 木马 in GBK: C4 BE C2 ED.
  const QByteArray gbkContent(
      "x\xC4\xBE\xC2\xED"
      "8998 EVAL( y \xC4\xBE\xC2\xED"
      "1 eval(");
  ASSERT_EQ(reading::membersIn(gbkContent, signatureTexts), (std::vector<std::uint32_t>{1, 8998}));
  for (const scan::SetMatcher* set : {&built, kept.get()}) {
    for (std::size_t chunk : {7, 0}) {
      std::vector<std::uint32_t> found;
      EXPECT_TRUE(set->matchBytes(content, chunk, &found));
      EXPECT_EQ(found, expected) << chunk;
    }
    std::vector<std::uint32_t> found;
    EXPECT_TRUE(set->matchBytes(gbkContent, 0, &found));
    EXPECT_EQ(found, (std::vector<std::uint32_t>{1, 8998}));
    EXPECT_FALSE(set->matchBytes("<script src=//m3.exampl>", 0));
  }
}

TEST(SignatureSet, OneSetIsOneSignature) {
  // A set of one behaves as the signature alone, on the fast path.
  const QString one = packed({u"<iframe"_s});
  EXPECT_TRUE(SignatureMatcher(one).matchBytes("x<IFRAME y"));
  EXPECT_FALSE(SignatureMatcher(one).matchBytes("x<IFRAM y"));
  const QByteArray cleaned = clean::removeSignature("a<IFrame b", one, 3);
  EXPECT_EQ(cleaned, "a b");
}

TEST(SignatureSet, OverlappingMembersInOneFile) {
  const std::vector<QString> signatureTexts{u"abc"_s, u"bcd"_s};
  const scan::SetMatcher set(signatureTexts, text::Encoding::Auto, text::LineEnds::Any);
  std::vector<std::uint32_t> found;
  EXPECT_TRUE(set.matchBytes("xABCDx", 0, &found));
  EXPECT_EQ(found, (std::vector<std::uint32_t>{0, 1}));
  // The clean takes "abc" first and goes on behind it: "d" stays.
  std::vector<clean::ByteRange> ranges;
  EXPECT_EQ(clean::removeSignature("xABCDx", packed(signatureTexts), 2, &ranges), "xDx");
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0], (clean::ByteRange{1, 3, 0}));
}

TEST(SignatureSet, MembersJoinedByARemovalGoToo) {
  // "cd" out of "<ab cd>" joins "ab" and "<a": each goes in a round of its own.
  const std::vector<QString> signatureTexts{u"ab"_s, u"cd"_s, u"<a>"_s};
  const scan::SetMatcher set(signatureTexts, text::Encoding::Auto, text::LineEnds::Any);
  for (std::size_t chunk : {1, 3, 64}) {
    std::vector<clean::ByteRange> ranges;
    const QByteArray cleaned =
        clean::removeSignature("x<aAcdB>y", packed(signatureTexts), chunk, &ranges);
    EXPECT_EQ(cleaned, "xy") << chunk;
    EXPECT_FALSE(set.matchBytes(cleaned, 0));
    // One range, named by the member found last around the others.
    EXPECT_EQ(ranges, (std::vector<clean::ByteRange>{{1, 7, 2}})) << chunk;
  }
}

TEST(SignatureSet, LongestMemberAtAPositionWins) {
  const std::vector<QString> signatureTexts{u"<iframe"_s, u"<iframe src=x>"_s};
  std::vector<clean::ByteRange> ranges;
  for (std::size_t chunk : {1, 4, 0}) {
    EXPECT_EQ(
        clean::removeSignature("a<iframe src=x>b<IFRAME c", packed(signatureTexts), chunk, &ranges),
        "ab c")
        << chunk;
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], (clean::ByteRange{1, 14, 1}));
    EXPECT_EQ(ranges[1], (clean::ByteRange{16, 7, 0}));
  }
}

TEST(SignatureSet, MemberAcrossAGbkBoundaryIsNeverReported) {
  // C4 D6 D0 CE: the characters C4D6 and D0CE; "中" (D6 D0) lies across them.
  const std::vector<QString> signatureTexts{u"中"_s, u"木马"_s};
  const QByteArray content("<p>\xC4\xD6\xD0\xCE</p>");
  ASSERT_TRUE(reading::membersIn(content, signatureTexts).empty());
  const scan::SetMatcher set(signatureTexts, text::Encoding::Auto, text::LineEnds::Any);
  std::vector<std::uint32_t> found;
  for (std::size_t chunk : {1, 2, 3, 5, 0}) {
    EXPECT_FALSE(set.matchBytes(content, chunk, &found)) << chunk;
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(clean::removeSignature(content, packed(signatureTexts), chunk), content);
  }
  // Where it starts a character it is found.
  EXPECT_TRUE(set.matchBytes("<p>\xD6\xD0\xCE\xC4</p>", 0, &found));
  EXPECT_EQ(found, (std::vector<std::uint32_t>{0}));
}

TEST(SignatureSet, FilesReadOnceThroughTheBuffer) {
  TempTree t;
  const std::vector<QString> signatureTexts{u"<script>evil()</script>"_s, u"木马"_s, u"<iframe"_s};
  const SignatureMatcher m(packed(signatureTexts));
  const qsizetype k = qsizetype(SignatureMatcher::kReadSize);
  int n = 0;
  for (qsizetype at : {qsizetype(0), k - 3, k - 1, k, 2 * k + 1}) {
    QByteArray content(2 * k + 40, 'a');
    content.replace(at, 4, encodeGbk(u"木马"_s));
    const QByteArray name = QByteArray::number(n++) + ".htm";
    t.write(name, content);
    scan::ReadStats stats;
    EXPECT_EQ(m.matchFile(t.abs(name), nullptr, &stats), MatchResult::Match) << at;
    EXPECT_EQ(stats.members, (std::vector<std::uint32_t>{1})) << at;
    content.replace(at, 4, "\xC4\xBE\xC2\x00");  // 木 and half of 马
    t.write(name, content);
    EXPECT_EQ(m.matchFile(t.abs(name)), MatchResult::NoMatch) << at;
  }
}

TEST(SignatureSet, ASetKeepsTheTextItsMembersView) {
  // The members view the set's text; the set outlives the text it was made
  // from, and its patterns are made from them only on a first candidate.
  const std::vector<QString> members{u"<script src=//kept-one.example>"_s,
                                     u"<iframe src=//kept-two.example>"_s};
  const qsizetype size = packed(members).size();
  std::shared_ptr<const scan::SetMatcher> set;
  {
    const QString text = packed(members);
    const std::vector<QString> views = text::memberSignaturesViewing(text);
    ASSERT_EQ(views, members);
    set = scan::SetMatcher::shared(views, text::Encoding::Auto, text::LineEnds::Any, text);
  }
  // Whatever takes freed characters next must not become the members.
  std::vector<QString> fillers;
  for (int i = 0; i < 16; ++i)
    fillers.emplace_back(size, u'x');
  EXPECT_TRUE(set->matchBytes("<p><IFRAME src=//kept-two.example></p>", 0));
}

// The counts choose each member's piece: a run shared by members is counted
// once per member, in every bucket of the index, and only within a member's
// first characters.
TEST(SignatureSet, SharedRunsAreCountedOncePerMember) {
  using namespace scan::setpieces;
  const QString tail(int(kPieceChars), u'z');
  std::vector<QString> members = {u"abcdefghij"_s, u"xbcdefghiy"_s, u"bcdefghibcdefghi"_s,
                                  tail + u"qqqqqqqq"_s};
  for (int i = 0; i < 3000; ++i)  // runs spread over many buckets
    members.push_back(u"m%1-common"_s.arg(i, 6, 10, QChar(u'0')));
  const GramCounts counts = countSharedRuns(members);
  const auto count = [&counts](const char* run) { return counts.count(gramAt(run)); };
  EXPECT_EQ(count("bcdefghi"), 3u);
  EXPECT_EQ(count("abcdefgh"), 1u);
  EXPECT_EQ(count("cdefghij"), 1u);
  EXPECT_EQ(count("qqqqqqqq"), 0u);  // past the first characters
  EXPECT_EQ(count("zzzzzzzz"), 1u);
  EXPECT_EQ(count("0-common"), 300u);
  EXPECT_EQ(count("m001234-"), 1u);
  EXPECT_EQ(counts.members, 3004u);
}

TEST(SignatureSet, PackedTextRoundTrips) {
  const std::vector<text::SetMember> members{{u"a"_s, u"x\ny"_s}, {u"b"_s, u"中"_s}};
  const QString p = text::packSignatureSet(members);
  EXPECT_TRUE(text::isSignatureSet(p));
  const std::vector<text::SetMember> back = text::unpackSignatureSet(p);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].name, u"b"_s);
  EXPECT_EQ(back[0].signature, u"x\ny"_s);
  EXPECT_FALSE(text::isSignatureSet(u"<iframe"_s));
  EXPECT_EQ(text::unpackSignatureSet(u"<iframe"_s).size(), 1u);
}

TEST(SignatureSet, LongMembersAreFoundWhole) {
  // The search looks for a long member's beginning and confirms the rest: a
  // text that shares its first 256 characters and differs at its end is none.
  QString longText;
  for (int i = 0; i < 700; ++i)
    longText += QChar(u'a' + i % 26);
  longText += u"中"_s;
  const std::vector<QString> signatureTexts{longText, u"zz"_s};
  const scan::SetMatcher set(signatureTexts, text::Encoding::Auto, text::LineEnds::Any);
  ASSERT_TRUE(set.error().isEmpty()) << set.error().toStdString();
  const QByteArray whole = "xy" + longText.toUpper().toUtf8() + "!";
  QByteArray nearMiss = whole;
  nearMiss.replace(nearMiss.size() - 4, 3, "\xE4\xB8\xAE");  // 丮, not 中
  for (std::size_t chunk : {1, 3, 100, 257, 0}) {
    std::vector<std::uint32_t> found;
    EXPECT_TRUE(set.matchBytes(whole, chunk, &found)) << chunk;
    EXPECT_EQ(found, (std::vector<std::uint32_t>{0})) << chunk;
    EXPECT_FALSE(set.matchBytes(nearMiss, chunk)) << chunk;
    EXPECT_EQ(clean::removeSignature(whole, packed(signatureTexts), chunk), "xy!") << chunk;
  }
}
