// The streaming removal against the one-pass rule on the whole decoded text, with
// pieces small enough to cut characters and occurrences in two.
#include "clean/remover.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "text/gbk.h"
#include "text/lineends.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace {

QByteArray bytes(std::initializer_list<int> list) {
  QByteArray b;
  for (int c : list)
    b.append(char(c));
  return b;
}

// Whole-content reference of one round: decodes everything at once, removes the
// occurrences that text::removeAll removes, and keeps the bytes of every other
// character. `keptText` gets the kept characters. With any line end, a CR LF is one character, LF,
// as CR and LF are.
QByteArray oneRound(const QByteArray& content, const QString& signatureAsTyped, QString* keptText,
                    std::vector<clean::ByteRange>* ranges, text::LineEnds lineEnds) {
  const bool any = lineEnds == text::LineEnds::Any;
  const QString signature = any ? text::lineBreaksAsLf(signatureAsTyped) : signatureAsTyped;
  std::vector<char16_t> chars;
  std::vector<qsizetype> starts;  // byte offset of each character, plus the end
  auto* p = reinterpret_cast<const uint8_t*>(content.constData());
  const uint8_t* end = p + content.size();
  for (const uint8_t* q = p; q < end;) {
    char16_t c;
    int n = gbk::decodeOne(q, end, true, &c);
    if (any && (c == u'\r' || c == u'\n')) {
      n = c == u'\r' && q + 1 < end && q[1] == '\n' ? 2 : 1;
      c = u'\n';
    }
    chars.push_back(c);
    starts.push_back(q - p);
    q += n;
  }
  starts.push_back(content.size());
  const QStringView text(chars.data(), qsizetype(chars.size()));
  QByteArray out;
  keptText->clear();
  qsizetype from = 0;
  while (!signature.isEmpty()) {
    const qsizetype at = text.indexOf(signature, from);
    if (at < 0)
      break;
    out += content.mid(starts[from], starts[at] - starts[from]);
    keptText->append(text.mid(from, at - from));
    from = at + signature.size();
    ranges->push_back({starts[at], starts[from] - starts[at]});
  }
  out += content.mid(starts[from]);
  keptText->append(text.mid(from));
  return out;
}

// Rounds of oneRound() until one removes nothing. The ranges are in the
// content's bytes: each round's range runs from the first byte to the last byte
// it took, taking in the ranges of earlier rounds between them.
QByteArray reference(const QByteArray& content, const QString& signature, QString* keptText,
                     std::vector<clean::ByteRange>* ranges, text::LineEnds lineEnds) {
  QByteArray now = content;
  std::vector<qint64> origin(std::size_t(content.size()));
  std::iota(origin.begin(), origin.end(), 0);
  for (;;) {
    std::vector<clean::ByteRange> round;
    const QByteArray next = oneRound(now, signature, keptText, &round, lineEnds);
    if (round.empty())
      return now;
    std::vector<qint64> kept;
    qint64 at = 0;
    for (const clean::ByteRange& r : round) {
      kept.insert(kept.end(), origin.begin() + at, origin.begin() + r.offset);
      const clean::ByteRange whole{
          origin[std::size_t(r.offset)],
          origin[std::size_t(r.offset + r.length - 1)] + 1 - origin[std::size_t(r.offset)]};
      std::erase_if(*ranges, [&](const clean::ByteRange& o) {
        return o.offset >= whole.offset && o.offset + o.length <= whole.offset + whole.length;
      });
      ranges->push_back(whole);
      at = r.offset + r.length;
    }
    kept.insert(kept.end(), origin.begin() + at, origin.end());
    std::sort(ranges->begin(), ranges->end(),
              [](const auto& a, const auto& b) { return a.offset < b.offset; });
    origin = std::move(kept);
    now = next;
  }
}

// The content read as GBK (the pieces below are GBK's), line ends both ways.
void expectSameAsWhole(const QByteArray& content, const QString& signature) {
  for (const text::LineEnds lineEnds : {text::LineEnds::Exact, text::LineEnds::Any}) {
    QString kept;
    std::vector<clean::ByteRange> wantRanges;
    const QByteArray want = reference(content, signature, &kept, &wantRanges, lineEnds);
    // A rescan of what is kept finds nothing.
    if (!signature.isEmpty()) {
      ASSERT_LT(kept.indexOf(lineEnds == text::LineEnds::Any ? text::lineBreaksAsLf(signature)
                                                             : signature),
                0);
    }
    for (std::size_t chunk : {1, 2, 3, 5, 7, 16, 4096}) {
      std::vector<clean::ByteRange> ranges;
      ASSERT_EQ(
          clean::removeSignature(content, signature, chunk, &ranges, text::Encoding::Gbk, lineEnds)
              .toHex(' '),
          want.toHex(' '))
          << "chunk " << chunk << " content " << content.toHex(' ').constData();
      ASSERT_EQ(ranges, wantRanges) << "chunk " << chunk;
    }
  }
}

TEST(Remover, OnePassRules) {
  const std::size_t chunk = 2;
  // Overlapping occurrences: the first is removed, the rest stays.
  EXPECT_EQ(clean::removeSignature("ababab", u"abab", chunk), "ab");
  // A removal that joins a new occurrence: that one goes too.
  EXPECT_EQ(clean::removeSignature("aabb", u"ab", chunk), "");
  // Several occurrences in one pass.
  EXPECT_EQ(clean::removeSignature("xabyabzab", u"ab", chunk), "xyz");
  // Letter case does not count: the content is compared in lower case, as the
  // scan compares it, and the bytes of each occurrence go as they were.
  EXPECT_EQ(clean::removeSignature("<IFRAME>x<iframe><IfRaMe>", u"<iframe>", chunk), "x");
  // With exact line ends, CR LF in the signature does not match LF alone.
  const auto exact = [chunk](const QByteArray& content, QStringView signature) {
    return clean::removeSignature(content, signature, chunk, nullptr, text::Encoding::Auto,
                                  text::LineEnds::Exact);
  };
  EXPECT_EQ(exact("a\r\nb\nc\r\n", u"\r\n"), "ab\nc");
  EXPECT_EQ(exact("x\ny", u"x\r\ny"), "x\ny");
  // By default it matches any line break, and the bytes of the one it matched
  // go: a CR LF whole.
  EXPECT_EQ(clean::removeSignature("a\r\nb\nc\rd\r\n", u"\r\n", chunk), "abcd");
  EXPECT_EQ(clean::removeSignature("x\ny x\r\ny x\ry x\n\ry", u"x\r\ny", chunk), "   x\n\ry");
  EXPECT_EQ(clean::removeSignature("a\r\nb", u"a\r", chunk), "b");
  // Empty signature, empty content.
  EXPECT_EQ(clean::removeSignature("abc", u"", chunk), "abc");
  EXPECT_EQ(clean::removeSignature("", u"ab", chunk), "");
  EXPECT_EQ(clean::removeSignature("ab", u"ab", chunk), "");
  // Nothing is added at the end.
  EXPECT_EQ(clean::removeSignature("x\r\n", u"x", chunk), "\r\n");
}

TEST(Remover, MatchesOnCharactersNotBytes) {
  // 0x81 0x40 is one character (丂); its trail byte is "@" only as a byte.
  EXPECT_EQ(clean::removeSignature(bytes({0x81, 0x40, '@'}), u"@", 1), bytes({0x81, 0x40}));
  // A Chinese signature is removed as its two-byte characters ("网马").
  EXPECT_EQ(clean::removeSignature(bytes({'a', 0xCD, 0xF8, 0xC2, 0xED, 'b'}), u"网马", 1), "ab");
  // The same bytes shifted by one lead byte decode differently: no occurrence.
  const QByteArray shifted = bytes({0xB0, 0xCD, 0xF8, 0xC2, 0xED});
  EXPECT_EQ(clean::removeSignature(shifted, u"网马", 1), shifted);
}

TEST(Remover, KeepsUndecodableBytesAroundOccurrences) {
  // Invalid lead bytes (0x81 before a non-trail byte, 0xFE at the end), 0x80 and
  // 0xFF next to and between occurrences come back exactly.
  const QByteArray content =
      bytes({0xFF, 'a', 'b', 0x81, '\r', 'a', 'b', 0x80, 0x00, 'a', 'b', 0xFE});
  EXPECT_EQ(clean::removeSignature(content, u"ab", 1), bytes({0xFF, 0x81, '\r', 0x80, 0x00, 0xFE}));
  // Removal may bring a lone lead byte next to a trail byte; the bytes stay
  // as they were, they are not decoded again.
  EXPECT_EQ(clean::removeSignature(bytes({0x81, '\r', '\n', 'A'}), u"\r\n", 1), bytes({0x81, 'A'}));
}

TEST(Remover, StreamingEqualsWholeText) {
  // Pieces of content likely to form, cut and overlap occurrences.
  const std::vector<QByteArray> parts = {
      "a",
      "b",
      "ab",
      "aab",
      "\r",
      "\n",
      "\r\n",
      "x",
      bytes({0xCD, 0xF8}),
      bytes({0xC2, 0xED}),
      bytes({0xCD}),
      bytes({0x81}),
      bytes({0x81, 0x40}),
      bytes({0x40}),
      bytes({0xFF}),
      bytes({0x80}),
      bytes({0xB0}),
  };
  const std::vector<QString> signatures = {QStringLiteral(u"ab"),     QStringLiteral(u"abab"),
                                           QStringLiteral(u"a"),      QStringLiteral(u"\r\n"),
                                           QStringLiteral(u"网马"),   QStringLiteral(u"a网"),
                                           QStringLiteral(u"马\r\n"), QStringLiteral(u"丂@"),
                                           QStringLiteral(u"aab"),    QStringLiteral(u"")};
  std::mt19937 rng(12345);
  for (const QString& signature : signatures) {
    for (int round = 0; round < 300; ++round) {
      QByteArray content;
      const int n = int(rng() % 40);
      for (int i = 0; i < n; ++i)
        content += parts[rng() % parts.size()];
      expectSameAsWhole(content, signature);
      if (HasFatalFailure())
        return;
    }
  }
}

TEST(Remover, SignatureSplitByItselfLeavesNothing) {
  const QString sig = u"<script src=\"http://bad.example/x.js\"></script>"_s;
  const QByteArray one = sig.toUtf8();
  const QByteArray nested = "<p>" + one.left(7) + one.toUpper() + one.mid(7) + "</p>\n";
  for (std::size_t chunk : {1, 5, 4096}) {
    std::vector<clean::ByteRange> ranges;
    bool gaveUp = true;
    EXPECT_EQ(clean::removeSignature(nested, sig, chunk, &ranges, text::Encoding::Auto,
                                     text::LineEnds::Any, &gaveUp),
              "<p></p>\n");
    EXPECT_FALSE(gaveUp);
    // One range: the outer occurrence, holding the inner one.
    EXPECT_EQ(ranges, (std::vector<clean::ByteRange>{{3, 2 * one.size()}})) << chunk;
  }
  // Nested deeper than the rounds go: given up, never called clean.
  QByteArray deep = "ab";
  for (int i = 0; i < clean::SignatureRemover::kMaxRounds; ++i)
    deep = "a" + deep + "b";
  bool gaveUp = false;
  clean::removeSignature(deep, u"ab", 7, nullptr, text::Encoding::Auto, text::LineEnds::Any,
                         &gaveUp);
  EXPECT_TRUE(gaveUp);
  // The deepest nesting the rounds clean: each round that removes has one behind it.
  EXPECT_EQ(clean::removeSignature(deep.mid(2, deep.size() - 4), u"ab", 7, nullptr,
                                   text::Encoding::Auto, text::LineEnds::Any, &gaveUp),
            "");
  EXPECT_FALSE(gaveUp);
}

TEST(Remover, LineBreakRangesAreTheBytesMatched) {
  // The dry run's byte ranges: a CR LF counts two bytes, a CR or LF one.
  const QByteArray content = "<i>\r\n</i>|<I>\n</I>|<i>\r</i>|<i>\r\r\n</i>";
  std::vector<clean::ByteRange> ranges;
  EXPECT_EQ(clean::removeSignature(content, u"<i>\n</i>", 1, &ranges), "|||<i>\r\r\n</i>");
  const std::vector<clean::ByteRange> want = {{0, 9}, {10, 8}, {19, 8}};
  EXPECT_EQ(ranges, want);
}

TEST(Remover, LongSignatureAcrossManyPieces) {
  const QString signature = QString(300, u'q') + QStringLiteral(u"网马");
  QByteArray one = QByteArray(300, 'q') + bytes({0xCD, 0xF8, 0xC2, 0xED});
  const QByteArray content = "head" + one + QByteArray(299, 'q') + one + one.left(301) + "tail";
  expectSameAsWhole(content, signature);
  clean::SignatureRemover r(signature, text::Encoding::Gbk);
  std::vector<uint8_t> out;
  auto* p = reinterpret_cast<const uint8_t*>(content.constData());
  for (qsizetype i = 0; i < content.size(); i += 3)
    r.feed(p + i, std::size_t(std::min<qsizetype>(3, content.size() - i)), false, out);
  r.feed(nullptr, 0, true, out);
  EXPECT_EQ(r.removed(), 2);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size())),
            "head" + QByteArray(299, 'q') + one.left(301) + "tail");
}

}  // namespace
