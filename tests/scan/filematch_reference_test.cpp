// The byte-level matcher against the plain definition (decode the whole content,
// lower-case it, search), on random GBK-heavy contents cut into every kind of
// buffer.
#include <gtest/gtest.h>

#include <random>

#include "readingrule.h"
#include "scan/filematch.h"
#include "scan/filetypes.h"
#include "testsupport.h"
#include "text/encoding.h"
#include "text/gbk.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;
using scan::MatchResult;
using scan::SignatureMatcher;

namespace {

bool reference(QByteArrayView bytes, const QString& signature) {
  return reading::contains(bytes, signature);
}

// Every GBK byte form of a text whose characters are all in code page 936, in
// the case given.
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

class Contents {
 public:
  Contents(const QString& boxText, uint32_t seed) : rng_(seed) {
    // The signature as it appears in files: in its own case, upper case, with LF
    // instead of CR LF, cut short, and each of its characters alone.
    const QString signature = text::signatureFrom(boxText);
    pieces_ = {encodeGbk(signature), encodeGbk(boxText.toUpper()), encodeGbk(signature.toUpper()),
               encodeGbk(QString(signature).replace(u"\r\n"_s, u"\n"_s))};
    const QByteArray whole = encodeGbk(signature);
    pieces_.push_back(whole.left(whole.size() - 1));
    pieces_.push_back(whole.mid(1));
    for (QChar c : signature)
      pieces_.push_back(encodeGbk(QString(c)));
  }

  QByteArray next(int maxParts) {
    QByteArray out;
    const int parts = int(r() % unsigned(maxParts + 1));
    for (int i = 0; i < parts; ++i) {
      switch (r() % 8) {
        case 0:
        case 1:
          out += pieces_[r() % pieces_.size()];
          break;
        case 2:  // lead-range bytes: runs of odd and even length
          for (uint32_t n = r() % 5; n > 0; --n)
            out += char(0x81 + r() % 0x7E);
          break;
        case 3:  // bytes that trail but do not lead, and the two loners
          out += "@`~\x80\xFF\x7F["[r() % 7];
          break;
        case 4:
          out += "\xD6\xD0\xCE\xC4";  // 中文
          break;
        case 5:
          out += (r() % 2) ? "\r\n" : "\n";
          break;
        case 6:
          out += char(r() % 256);
          break;
        default:
          out += "aZ<i"[r() % 4];
          break;
      }
    }
    return out;
  }

 private:
  uint32_t r() { return uint32_t(rng_()); }
  std::mt19937 rng_;  // deterministic: every run tests the same contents
  std::vector<QByteArray> pieces_;
};

// Runs `fn` once per search level the processor has, then restores the best.
template <typename Fn>
void atEverySearchLevel(Fn fn) {
  using L = SignatureMatcher::SearchLevel;
  const L best = SignatureMatcher::searchLevel();
  for (L level : {L::Scalar, L::Sse2, L::Avx2, L::Avx512}) {
    if (SignatureMatcher::setSearchLevel(level)) {
      SCOPED_TRACE(int(level));
      fn();
    }
  }
  SignatureMatcher::setSearchLevel(best);
}

void expectSameAsReference(const QString& boxText, uint32_t seed, int rounds) {
  const QString signature = text::signatureFrom(boxText);
  SignatureMatcher m(signature);
  Contents gen(boxText, seed);
  int matches = 0;
  for (int i = 0; i < rounds; ++i) {
    // Long contents now and then, so that the vector loops run, not only their tails.
    const QByteArray content = gen.next(i % 10 == 0 ? 120 : 12);
    const bool expected = reference(content, signature);
    matches += expected;
    atEverySearchLevel([&] {
      for (std::size_t chunk : {1, 2, 3, 5, 8, 13, 64, 300, 0}) {
        ASSERT_EQ(m.matchBytes(content, chunk), expected)
            << "signature " << boxText.toStdString() << " chunk " << chunk << " content "
            << content.toHex(' ').toStdString();
      }
    });
  }
  // The generator must produce both outcomes, or the comparison proves little.
  EXPECT_GT(matches, rounds / 20) << boxText.toStdString();
  EXPECT_LT(matches, rounds - rounds / 20) << boxText.toStdString();
}

}  // namespace

TEST(FastMatch, AsciiSignatures) {
  // A first character that cannot trail a lead byte, one that can, one that
  // trails but is not a letter, and the window's sample with its CR LF ends.
  expectSameAsReference(u"<iframe>"_s, 1, 3000);
  expectSameAsReference(u"iFrame"_s, 2, 3000);
  expectSameAsReference(u"@x~"_s, 3, 3000);
  expectSameAsReference(u"<i src=0 \r\nh=0>\r\n"_s, 4, 3000);
  expectSameAsReference(u"Z"_s, 5, 2000);
  expectSameAsReference(u"\r\n"_s, 6, 2000);
}

TEST(FastMatch, NonAsciiSignatures) {
  // Chinese, full-width and Cyrillic letters (which have case), the euro sign
  // (one byte, 0x80), and mixtures.
  expectSameAsReference(u"木马"_s, 11, 3000);
  expectSameAsReference(u"ＡｂＣ"_s, 12, 3000);
  expectSameAsReference(u"Дом"_s, 13, 3000);
  expectSameAsReference(u"€z"_s, 14, 3000);
  expectSameAsReference(u"<script>木马</Script>"_s, 15, 3000);
  expectSameAsReference(u"中i"_s, 16, 3000);
}

TEST(FastMatch, SignaturesThatCannotOccur) {
  // Characters outside code page 936 never match in GBK (they do in a UTF-8
  // file), and neither does a character that only an invalid byte decodes to
  // when that byte pairs up.
  SignatureMatcher emoji(u"a\U0001F600"_s, text::Encoding::Gbk);
  EXPECT_FALSE(emoji.matchBytes("a\xF0\x9F\x98\x80"));
  const QString lone(QChar(gbk::invalidByteChar(0xB0)));
  EXPECT_TRUE(SignatureMatcher(lone).matchBytes("x\xB0<"));
  EXPECT_TRUE(SignatureMatcher(lone).matchBytes("x\xB0"));
  EXPECT_FALSE(SignatureMatcher(lone).matchBytes("x\xB0i"));
  EXPECT_FALSE(SignatureMatcher(lone).matchBytes("\xB0\xB0"));
}

TEST(FastMatch, LongLeadRunsAcrossManyBuffers) {
  // The alignment of a hit depends on a run of lead-range bytes that began
  // several buffers earlier.
  for (int run : {0, 1, 2, 3, 301, 302}) {
    QByteArray content = "x";
    content += QByteArray(run, '\xB0');
    content += "iframe";
    const bool expected = run % 2 == 0;
    ASSERT_EQ(reference(content, u"iframe"_s), expected);
    atEverySearchLevel([&] {
      for (std::size_t chunk : {1, 7, 64, 100, 0})
        EXPECT_EQ(SignatureMatcher(u"iframe"_s).matchBytes(content, chunk), expected)
            << run << " " << chunk;
    });
  }
}

TEST(FastMatch, EverySearchLevelFindsEveryPosition) {
  // A long run of near misses with the signature at each offset: the vector
  // loops and their tails must all see it.
  const QString signature = u"<i src=0 \r\nh=0>\r\n"_s;
  const QByteArray sig = "<I SRC=0 \r\nH=0>\r\n";
  atEverySearchLevel([&] {
    SignatureMatcher m(signature);
    for (qsizetype at = 0; at < 300; at += 7) {
      QByteArray content(400, 'a');
      for (qsizetype i = 0; i + 12 < content.size(); i += 13)
        content.replace(i, 12, "<i src=0 \nh=");  // shares the start, not the end
      content.replace(at, sig.size(), sig);
      ASSERT_EQ(m.matchBytes(content), reference(content, signature)) << at;
      ASSERT_TRUE(m.matchBytes(content)) << at;
    }
  });
}

TEST(FastMatch, FilesOfEverySizeAroundTheBuffer) {
  TempTree t;
  const QString signature = u"<iframe src=x>\r\n"_s;
  const QByteArray sig = "<IFRAME SRC=X>\r\n";
  const qsizetype k = qsizetype(SignatureMatcher::kReadSize);
  SignatureMatcher m(signature);
  int n = 0;
  for (qsizetype size : {k - 1, k, k + 1, 2 * k + 5}) {
    for (qsizetype at : {qsizetype(0), k - 8, k - sig.size(), k, size - sig.size()}) {
      if (at < 0 || at + sig.size() > size)
        continue;
      QByteArray content(size, '\xC4');
      content[0] = 'a';
      content.replace(at, sig.size(), sig);
      const QByteArray name = QByteArray::number(n++) + ".htm";
      t.write(name, content);
      EXPECT_EQ(m.matchFile(t.abs(name)),
                reference(content, signature) ? MatchResult::Match : MatchResult::NoMatch)
          << size << " " << at;
      // Any line break would match; a space before it does not.
      content.replace(at, sig.size(), QByteArray(sig).replace("\r\n", " \n"));
      t.write(name, content);
      EXPECT_EQ(m.matchFile(t.abs(name)), MatchResult::NoMatch) << size << " " << at;
    }
  }
  t.write("empty.htm", "");
  EXPECT_EQ(m.matchFile(t.abs("empty.htm")), MatchResult::NoMatch);
}

// Random pages behind every kind of mark and declaration, and none: a file
// that holds nothing in its own reading is told in the reading the plain
// definition gives (reading::toldIn), found or not, through one buffer or
// several.
TEST(FastMatch, TheReadingToldIsTheOneThePlainDefinitionGives) {
  TempTree t;
  std::mt19937 rng(31);
  const char* heads[] = {
      "", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF", "<meta charset=gbk>", "<meta charset=utf-8>"};
  const char pieces[][3] = {"a", "b", "ab", " ", "\x81", "\xFE", "\xFF", "\xC3\xA9", "\xA8\xA6"};
  for (const QString& signature : {u"ab"_s, u"é"_s}) {
    const SignatureMatcher m(signature);
    int told = 0;
    for (int i = 0; i < 1000; ++i) {
      QByteArray content = heads[rng() % std::size(heads)];
      const std::size_t n = rng() % 24;
      for (std::size_t k = 0; k < n; ++k)
        content += pieces[rng() % std::size(pieces)];
      if (i % 100 == 0)  // past the first buffer
        content.append(QByteArray(qsizetype(SignatureMatcher::kReadSize), ' '))
            .append(
                "\x81"
                "ab");
      const QByteArray name = QByteArray::number(i) + ".htm";
      t.write(name, content);
      scan::ReadStats stats;
      const MatchResult r = m.matchFile(t.abs(name), nullptr, &stats);
      ASSERT_EQ(r, reference(content, signature) ? MatchResult::Match : MatchResult::NoMatch)
          << content.toHex().toStdString();
      if (r == MatchResult::Match)
        continue;
      bool either = false;
      const text::Encoding expected = reading::toldIn(content, signature, either);
      if (either)
        EXPECT_TRUE(stats.otherReading == text::Encoding::Gbk ||
                    stats.otherReading == text::Encoding::Utf8)
            << content.toHex().toStdString();
      else
        EXPECT_EQ(stats.otherReading, expected) << content.toHex().toStdString();
      told += stats.otherReading != text::Encoding::Auto;
    }
    EXPECT_GT(told, 20) << signature.toStdString();
  }
}

TEST(FastMatch, FolderFilterCountsAsTheWholePath) {
  // Entries that occur in the folder, in the name, across the border, twice,
  // not at all, and empty ones; compared with the count on the whole path.
  const QStringList types{u".asp"_s, QString(),   u".js"_s,  u"b/x"_s,
                          u"/"_s,    u"a.asp/"_s, u".php"_s, u"x"_s};
  const QStringList folders{u"/"_s, u"/srv/www/"_s, u"/srv/a.asp/"_s, u"/srv/b/"_s, u"/d.js/"_s};
  const QStringList names{u"x.php"_s, u"index.html"_s, u"a.asp"_s, u"xa.asp.js"_s, u""_s, u"q"_s};
  for (const QString& folder : folders) {
    const scan::FolderFilter filter(types, folder);
    for (const QString& name : names) {
      EXPECT_EQ(filter.count(name), scan::countMatchingEntries(types, folder + name))
          << (folder + name).toStdString();
    }
  }
  // "b/x" across the border, "/" in the folder, ".php" and "x" in the name.
  EXPECT_EQ(scan::FolderFilter(types, u"/srv/b/").count(u"x.php"), 4);
}
