// Differential target for the file match: whatever the engine does to be fast,
// its answer must be the plain definition's: decode the whole content as UTF-8
// if its valid UTF-8 characters of several bytes outnumber its invalid bytes
// (or it has none), each invalid byte a character that matches nothing, else
// as GBK (or as the encoding chosen); lower-case it; with any line end, write
// each line break (CR LF, CR, LF) of content and signature as one LF; search
// the signature. Both line-end rules are checked for every input, in memory at
// every chunk size for small contents (so that borders fall inside characters,
// inside CR LF and inside occurrences) and, for some inputs, through a real
// file, across the reader's buffer border.
//
// Input: flags, signature length, signature bytes, [filler byte, border offset],
// content. Every small content is also searched, and cleaned, with a set of 1 to
// 50 members made from the signature (see setFrom).
//   flags bit 0: signature and content go through the GBK-heavy alphabet
//   flags bit 1: the signature is UTF-16 code units instead of GBK bytes
//   flags bit 2: the content is put behind a run of filler bytes so that it
//                straddles the reader's buffer size; matched through a file too
//   flags bit 3: also match through a temporary file
//   flags bit 4: signature and content go through the UTF-8 alphabet instead
//   flags bit 5: one byte near the end of the content is made invalid UTF-8
//   flags bits 6-7: the encoding: 1 GBK, 2 UTF-8, otherwise the automatic rule
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <memory>

#include "clean/remover.h"
#include "fuzzsupport.h"
#include "scan/filematch.h"
#include "scan/signaturesetmatch.h"
#include "text/encoding.h"
#include "text/gbk.h"
#include "text/signatureset.h"
#include "text/textops.h"

namespace {

// The content read as UTF-8 by the naive cut (fuzzsupport.h), an invalid byte
// a lone low surrogate.
QString naiveUtf8(QByteArrayView content, const fuzz::Utf8Pieces& pieces) {
  QString out;
  for (std::size_t c = 0; c + 1 < pieces.starts.size(); ++c) {
    const QByteArrayView one =
        content.sliced(pieces.starts[c], pieces.starts[c + 1] - pieces.starts[c]);
    const uint8_t b = uint8_t(one[0]);
    if (one.size() == 1) {
      out.append(QChar(b < 0x80 ? char16_t(b) : char16_t(0xDC00 + b)));
    } else {
      QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
      out.append(QString(d.decode(one)));
    }
  }
  return out;
}

QString oneLfPerLineBreak(QString s) {
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(u'\r', u'\n');
  return s;
}

// The content as the definition compares it: decoded, lower-cased, and with one
// LF per line break under any line end.
QString seenText(QByteArrayView content, text::Encoding choice, text::LineEnds lineEnds) {
  const fuzz::Utf8Pieces pieces = fuzz::utf8Pieces(content);
  const text::Encoding head = fuzz::headReading(content);
  const bool utf8 =
      choice == text::Encoding::Utf8 ||
      (choice == text::Encoding::Auto &&
       (head == text::Encoding::Auto ? pieces.readsAsUtf8() : head == text::Encoding::Utf8));
  const QString decoded = text::lowerCase(utf8 ? naiveUtf8(content, pieces) : gbk::decode(content));
  return lineEnds == text::LineEnds::Exact ? decoded : oneLfPerLineBreak(decoded);
}

QString searchedForm(const QString& signature, text::LineEnds lineEnds) {
  return lineEnds == text::LineEnds::Exact ? signature : oneLfPerLineBreak(signature);
}

bool reference(QByteArrayView content, const QString& signature, text::Encoding choice,
               text::LineEnds lineEnds) {
  return seenText(content, choice, lineEnds).contains(searchedForm(signature, lineEnds));
}

text::Encoding encodingOf(uint8_t flags) {
  switch (flags >> 6) {
    case 1:
      return text::Encoding::Gbk;
    case 2:
      return text::Encoding::Utf8;
    default:
      return text::Encoding::Auto;
  }
}

// A signature as the scan command makes it: trimmed, lower-cased. Lone
// surrogates are dropped: they stand only for undecodable bytes and no typed
// signature holds them.
QString signatureOf(const QString& raw) {
  const QString s = text::signatureFrom(raw);
  QString out;
  out.reserve(s.size());
  for (qsizetype i = 0; i < s.size(); ++i) {
    const QChar c = s[i];
    if (c.isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
      out.append(c);
      out.append(s[++i]);
    } else if (!c.isSurrogate()) {
      out.append(c);
    }
  }
  return out;
}

void writeFile(QByteArrayView content) {
  const int fd = ::open(fuzz::tempFile(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    fuzz::fail("cannot create the temporary file");
  qsizetype off = 0;
  while (off < content.size()) {
    const ssize_t n = ::write(fd, content.data() + off, std::size_t(content.size() - off));
    if (n <= 0)
      fuzz::fail("cannot write the temporary file");
    off += n;
  }
  ::close(fd);
}

// Preparing a matcher costs far more than matching a small input, and mutations
// mostly keep the signature, so prepared matchers are kept for a while.
const scan::SignatureMatcher& matcherFor(const QString& signature, text::Encoding encoding,
                                         text::LineEnds lineEnds) {
  static QHash<QString, std::shared_ptr<const scan::SignatureMatcher>> cache;
  const QString key = QString::number(int(encoding)) + QString::number(int(lineEnds)) + signature;
  auto it = cache.constFind(key);
  if (it != cache.constEnd())
    return **it;
  if (cache.size() >= 512)
    cache.clear();
  return **cache.insert(
      key, std::make_shared<const scan::SignatureMatcher>(signature, encoding, lineEnds));
}

[[noreturn]] void disagree(const char* how, QByteArrayView content, const QString& signature,
                           bool expected, std::size_t chunk) {
  std::fprintf(stderr, "%s: reference says %s, chunk size %zu\n", how,
               expected ? "match" : "no match", chunk);
  fuzz::dump("signature", signature);
  fuzz::dump("content", content);
  fuzz::fail("the file match disagrees with the plain definition");
}

}  // namespace

// A set of 1 to 50 members made from the signature, so that they occur where it
// does: the signature, pieces of it (which overlap and contain each other), and
// the signature's bytes read from a later byte (characters that share trail
// bytes with its own). It depends on the signature alone, so that a set once
// built serves the mutations of the content.
std::vector<QString> setFrom(const QString& signature, const QByteArray& sigBytes,
                             std::uint32_t seed) {
  std::uint32_t x = seed * 2654435761u + 1;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  const std::size_t n = 1 + next() % 50;
  std::vector<QString> out{signature};
  while (out.size() < n) {
    QString m;
    switch (next() % 4) {
      case 0:
      case 1: {
        const qsizetype from = qsizetype(next() % std::uint32_t(signature.size()));
        m = signature.mid(from, qsizetype(1 + next() % std::uint32_t(signature.size() - from)));
        break;
      }
      default:
        m = signatureOf(gbk::decode(sigBytes.mid(qsizetype(1 + next() % 3))));
        break;
    }
    // The set file refuses what a set's text reserves, and a piece cut inside
    // a surrogate pair is no text a set file (UTF-8) can hold.
    if (m.isEmpty() || std::any_of(m.begin(), m.end(), text::reservedInSets) ||
        !QStringView(m).isValidUtf16())
      m = signature;
    out.push_back(m);
  }
  return out;
}

QString packed(const std::vector<QString>& signatureTexts) {
  std::vector<text::SetMember> members;
  for (std::size_t i = 0; i < signatureTexts.size(); ++i)
    members.push_back({QString::number(i), signatureTexts[i]});
  return text::packSignatureSet(members);
}

[[noreturn]] void setDisagrees(const char* how, QByteArrayView content,
                               const std::vector<QString>& signatureTexts, std::size_t chunk) {
  std::fprintf(stderr, "%s: chunk size %zu, %zu members\n", how, chunk, signatureTexts.size());
  for (const QString& g : signatureTexts)
    fuzz::dump("member", g);
  fuzz::dump("content", content);
  fuzz::fail("the signature set's search or removal disagrees with the plain definition");
}

// The set's search and removal against the definition: each member found where
// the text holds it; the removal takes the longest member at each position.
void checkSet(const std::vector<QString>& signatureTexts, const QByteArray& content,
              text::Encoding encoding, text::LineEnds lineEnds) {
  static QHash<QString, std::shared_ptr<const scan::SetMatcher>> cache;
  const QString key =
      QString::number(int(encoding)) + QString::number(int(lineEnds)) + packed(signatureTexts);
  auto it = cache.constFind(key);
  if (it == cache.constEnd()) {
    if (cache.size() >= 64)
      cache.clear();
    std::vector<QString> members = signatureTexts;
    it = cache.insert(key, std::make_shared<const scan::SetMatcher>(members, encoding, lineEnds));
  }
  const scan::SetMatcher& set = **it;
  if (!set.error().isEmpty())
    fuzz::fail("a set the search cannot build");
  const QString text = seenText(content, encoding, lineEnds);
  std::vector<std::uint32_t> expected;
  std::vector<QString> searched;
  for (std::size_t i = 0; i < signatureTexts.size(); ++i) {
    searched.push_back(searchedForm(signatureTexts[i], lineEnds));
    if (text.contains(searched.back()))
      expected.push_back(std::uint32_t(i));
  }
  std::vector<std::uint32_t> removedExpected;
  for (qsizetype i = 0; i < text.size();) {
    qsizetype best = 0;
    std::uint32_t which = 0;
    for (std::size_t m = 0; m < searched.size(); ++m) {
      if (searched[m].size() > best && QStringView(text).sliced(i).startsWith(searched[m])) {
        best = searched[m].size();
        which = std::uint32_t(m);
      }
    }
    if (best == 0) {
      ++i;
    } else {
      removedExpected.push_back(which);
      i += best;
    }
  }
  const std::size_t n = std::size_t(content.size());
  for (std::size_t chunk : {std::size_t(0), std::size_t(1), std::size_t(3), n / 2 + 1}) {
    std::vector<std::uint32_t> found;
    if (set.matchBytes(content, chunk, &found) != !expected.empty() || found != expected)
      setDisagrees("SetMatcher::matchBytes", content, signatureTexts, chunk);
    std::vector<clean::ByteRange> ranges;
    bool gaveUp = false;
    const QByteArray cleaned = clean::removeSignature(content, packed(signatureTexts), chunk,
                                                      &ranges, encoding, lineEnds, &gaveUp);
    QByteArray kept;
    qint64 at = 0;
    for (const clean::ByteRange& r : ranges) {
      kept += content.mid(at, r.offset - at);
      at = r.offset + r.length;
    }
    kept += content.mid(at);
    if (cleaned != kept || ranges.empty() != removedExpected.empty())
      setDisagrees("removeSignature with a set", content, signatureTexts, chunk);
    // A rescan, read as the content was, finds nothing.
    const QString left = seenText(cleaned, text::encodingOf(content, encoding), lineEnds);
    bool joined = false;
    for (const QString& s : searched)
      joined = joined || (!s.isEmpty() && left.contains(s));
    if (joined && !gaveUp)
      setDisagrees("removeSignature with a set leaves a member", content, signatureTexts, chunk);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.byte();
  const std::size_t sigLen = 1 + in.byte() % 128;
  QByteArray sigBytes = in.bytes((flags & 2) ? sigLen * 2 : sigLen);
  uint8_t filler = 0;
  std::size_t border = 0;
  if (flags & 4) {
    filler = in.byte();
    border = in.u16() % 64;
  }
  QByteArray content = in.rest();
  QString rawSignature;
  if (flags & 16) {
    content = fuzz::utf8Heavy(content);
    rawSignature = QString::fromUtf8(fuzz::utf8Heavy(sigBytes));
  } else {
    if (flags & 1) {
      content = fuzz::gbkHeavy(content);
      if (!(flags & 2))
        sigBytes = fuzz::gbkHeavy(sigBytes);
    }
    rawSignature = (flags & 2) ? fuzz::utf16Units(sigBytes) : gbk::decode(sigBytes);
  }
  if ((flags & 32) && !content.isEmpty())
    content[content.size() - 1 - (content.size() - 1) % 3] = char(0xB0);
  if (fuzz::readsAsUtf16(content) && !(flags >> 6))
    return 0;
  const text::Encoding encoding = encodingOf(flags);
  const QString signature = signatureOf(rawSignature);
  if (signature.isEmpty())
    return 0;  // the scan refuses an empty signature

  if (flags & 4) {
    if (flags & 1)
      filler = uint8_t(fuzz::gbkHeavy(QByteArray(1, char(filler)))[0]);
    // The content starts `border` bytes before the reader's buffer ends.
    const qsizetype lead = qsizetype(scan::SignatureMatcher::kReadSize) - qsizetype(border);
    content.prepend(QByteArray(lead, char(filler)));
  }

  // Sets: small contents only, each set built once per input's signature.
  if (!(flags & 4) && content.size() <= 256) {
    const std::uint32_t seed = std::uint32_t(qHash(sigBytes)) ^ flags;
    const std::vector<QString> signatureTexts = setFrom(signature, sigBytes, seed);
    checkSet(signatureTexts, content, encoding,
             (flags & 8) ? text::LineEnds::Exact : text::LineEnds::Any);
  }

  if (flags & 12)
    writeFile(content);
  for (const text::LineEnds lineEnds : {text::LineEnds::Any, text::LineEnds::Exact}) {
    const bool expected = reference(content, signature, encoding, lineEnds);
    const scan::SignatureMatcher& matcher = matcherFor(signature, encoding, lineEnds);
    const std::size_t n = std::size_t(content.size());
    // A padded content is large and costly to check: it is matched at the
    // reader's own buffer size, in memory and through the file below. A small
    // content is matched at every chunk size, a larger one at a few.
    if (flags & 4) {
      if (matcher.matchBytes(content, 0) != expected)
        disagree("matchBytes", content, signature, expected, 0);
    } else if (n <= 96) {
      for (std::size_t chunk = 1; chunk <= n + 1; ++chunk) {
        if (matcher.matchBytes(content, chunk) != expected)
          disagree("matchBytes", content, signature, expected, chunk);
      }
    } else {
      for (std::size_t chunk : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(3),
                                std::size_t(5), n / 2 + 1}) {
        if (matcher.matchBytes(content, chunk) != expected)
          disagree("matchBytes", content, signature, expected, chunk);
      }
    }
    if (flags & 12) {
      const scan::MatchResult r = matcher.matchFile(QByteArray(fuzz::tempFile()));
      if (r == scan::MatchResult::Error)
        fuzz::fail("matchFile could not read a plain temporary file");
      if ((r == scan::MatchResult::Match) != expected)
        disagree("matchFile", content, signature, expected, 0);
    }
  }
  return 0;
}
