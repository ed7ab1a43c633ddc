// Target for the cleaning: the output must be the input with exactly the
// occurrences of the signature removed, as bytes, in left-to-right passes
// repeated until one finds nothing (a rescan of the output finds nothing), as
// the scan finds them (the content decoded as UTF-8 if it is mostly UTF-8, else
// as GBK, lower-cased, a line break of the signature taking any line break of
// the content), and nothing else changed: bytes that do not decode
// pass through untouched. Checked against a plain reference on the
// whole content, for the streaming remover fed in pieces of every size the input
// chooses, and now and then for a real file rewritten by cleanFile.
//
// Input: flags, signature length (bit 7: exact line ends, else any line break
// matches any), signature bytes, piece sizes, content.
//   flags bit 0: signature and content go through the GBK-heavy alphabet
//   flags bit 1: the signature is UTF-16 code units instead of GBK bytes
//   flags bit 2: the signature is empty (nothing may change)
//   flags bit 3: also clean a temporary file
//   flags bit 4: signature and content go through the UTF-8 alphabet instead
//   flags bit 5: one byte near the end of the content is made invalid UTF-8
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <vector>

#include "clean/remover.h"
#include "clean/rewrite.h"
#include "fuzzsupport.h"
#include "text/encoding.h"
#include "text/gbk.h"
#include "text/textops.h"

namespace {

struct Reference {
  QByteArray bytes;
  qint64 removed = 0;
  bool gaveUp = false;
};

// Cut the content into characters: by the naive UTF-8 cut (fuzzsupport.h) when
// the reading rule reads it as UTF-8, else by GBK's structure (a lead byte and
// a byte that may trail it make one character, any other byte is one on its
// own); with any line end, a CR LF is one character too. Lower-case each, a
// line break as one LF, then walk the characters once, dropping the bytes of
// each occurrence. `utf8`: how the content the clean began with was read.
// How the clean reads `content`: its head (byte-order mark, declaration) first,
// then the count.
bool readsAsUtf8(const QByteArray& content) {
  const text::Encoding head = fuzz::headReading(content);
  return head == text::Encoding::Auto ? fuzz::utf8Pieces(content).readsAsUtf8()
                                      : head == text::Encoding::Utf8;
}

Reference oneRound(const QByteArray& content, const QString& signatureAsGiven,
                   text::LineEnds lineEnds, bool utf8) {
  const bool any = lineEnds == text::LineEnds::Any;
  QString signature = signatureAsGiven;
  if (any) {
    signature.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    signature.replace(u'\r', u'\n');
  }
  const fuzz::Utf8Pieces pieces = fuzz::utf8Pieces(content);
  std::vector<qsizetype> starts;
  for (qsizetype i = 0; i < content.size();) {
    starts.push_back(i);
    if (any && content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') {
      i += 2;
    } else if (utf8) {
      i = *std::upper_bound(pieces.starts.begin(), pieces.starts.end(), i);
    } else {
      const bool pair = i + 1 < content.size() && gbk::isLead(uint8_t(content[i])) &&
                        gbk::isTrail(uint8_t(content[i + 1]));
      i += pair ? 2 : 1;
    }
  }
  starts.push_back(content.size());
  const qsizetype chars = qsizetype(starts.size()) - 1;
  std::vector<QString> decoded;
  for (qsizetype c = 0; c < chars; ++c) {
    const QByteArray bytes = content.mid(starts[c], starts[c + 1] - starts[c]);
    QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString one;
    if (any && (bytes == "\r\n" || bytes == "\r" || bytes == "\n"))
      one = QStringLiteral("\n");
    else if (utf8 && bytes.size() == 1 && uint8_t(bytes[0]) >= 0x80)
      one = QChar(char16_t(0xDC00 + uint8_t(bytes[0])));  // invalid: matches nothing
    else
      one = utf8 ? QString(d.decode(bytes)) : gbk::decode(bytes);
    if (one.isEmpty() || (!utf8 && one.size() != 1))
      fuzz::fail("a character of the reference does not decode to one");
    decoded.push_back(text::lowerCase(one));
  }
  // The signature's characters: code points.
  std::vector<QString> sig;
  for (qsizetype i = 0; i < signature.size(); ++i) {
    const bool pair = signature[i].isHighSurrogate() && i + 1 < signature.size() &&
                      signature[i + 1].isLowSurrogate();
    sig.push_back(signature.mid(i, pair ? 2 : 1));
    i += pair;
  }

  Reference r;
  const qsizetype m = qsizetype(sig.size());
  qsizetype c = 0;
  while (c < chars) {
    bool at = m > 0 && c + m <= chars;
    for (qsizetype k = 0; at && k < m; ++k)
      at = decoded[std::size_t(c + k)] == sig[std::size_t(k)];
    if (at) {
      ++r.removed;
      c += m;
    } else {
      r.bytes.append(content.mid(starts[c], starts[c + 1] - starts[c]));
      ++c;
    }
  }
  return r;
}

// Rounds until one removes nothing, all read as the first content was; more
// than the remover's rounds is giving up.
Reference reference(const QByteArray& content, const QString& signature, text::LineEnds lineEnds) {
  const bool utf8 = readsAsUtf8(content);
  Reference r{content};
  for (int round = 1;; ++round) {
    const Reference next = oneRound(r.bytes, signature, lineEnds, utf8);
    if (next.removed == 0)
      return r;
    if (round == clean::SignatureRemover::kMaxRounds) {
      r.gaveUp = true;
      return r;
    }
    r.bytes = next.bytes;
    r.removed += next.removed;
  }
}

QString signatureOf(const QString& raw) {
  const QString s = text::signatureFrom(raw);
  QString out;
  for (qsizetype i = 0; i < s.size(); ++i) {
    const QChar c = s[i];
    if (c.isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
      out.append(c);
      out.append(s[++i]);
    } else if (!c.isSurrogate()) {
      out.append(c);  // lone surrogates stand for undecodable bytes; no one types them
    }
  }
  return out;
}

[[noreturn]] void disagree(const char* how, const QByteArray& content, const QString& signature,
                           const QByteArray& expected, const QByteArray& got) {
  std::fprintf(stderr, "%s\n", how);
  fuzz::dump("signature", signature);
  fuzz::dump("content", content);
  fuzz::dump("expected", expected);
  fuzz::dump("got", got);
  fuzz::fail("the cleaning disagrees with the plain removal");
}

void writeFile(const QByteArray& content) {
  const int fd = ::open(fuzz::tempFile(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    fuzz::fail("cannot create the temporary file");
  if (::write(fd, content.constData(), std::size_t(content.size())) != content.size())
    fuzz::fail("cannot write the temporary file");
  ::close(fd);
}

QByteArray readFile() {
  QByteArray out;
  const int fd = ::open(fuzz::tempFile(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    fuzz::fail("the cleaned file is gone");
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    out.append(buf, n);
  ::close(fd);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.byte();
  const uint8_t lengthByte = in.byte();
  const std::size_t sigLen = 1 + lengthByte % 128;
  const text::LineEnds lineEnds = (lengthByte & 128) ? text::LineEnds::Exact : text::LineEnds::Any;
  QByteArray sigBytes = in.bytes((flags & 2) ? sigLen * 2 : sigLen);
  const QByteArray pieces = in.bytes(4);
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
  if (fuzz::readsAsUtf16(content))
    return 0;
  const QString signature = (flags & 4) ? QString() : signatureOf(rawSignature);
  const Reference expected = reference(content, signature, lineEnds);
  if (signature.isEmpty() && expected.bytes != content)
    fuzz::fail("the reference removed something with an empty signature");

  const std::size_t n = std::size_t(content.size());
  for (std::size_t chunk : {std::size_t(1), std::size_t(2), std::size_t(3), n / 2 + 1, n + 1}) {
    bool gaveUp = false;
    const QByteArray got = clean::removeSignature(content, signature, chunk, nullptr,
                                                  text::Encoding::Auto, lineEnds, &gaveUp);
    if (gaveUp != expected.gaveUp)
      disagree("removeSignature gives up where the rounds do not, or the other way", content,
               signature, expected.bytes, got);
    if (gaveUp)
      return 0;
    if (oneRound(got, signature, lineEnds, readsAsUtf8(content)).removed != 0)
      disagree("a rescan of the cleaned content finds the signature", content, signature,
               expected.bytes, got);
    if (got != expected.bytes)
      disagree(qPrintable(QStringLiteral("removeSignature, chunk size %1").arg(chunk)), content,
               signature, expected.bytes, got);
  }

  // Pieces of uneven sizes, some empty, as a reader that gets short reads would
  // hand them over.
  {
    clean::SignatureRemover remover(signature, text::encodingOf(content), lineEnds);
    std::vector<uint8_t> out;
    const auto* p = reinterpret_cast<const uint8_t*>(content.constData());
    std::size_t at = 0;
    bool lastEmpty = false;
    for (qsizetype k = 0; at < n; ++k) {
      std::size_t want = pieces.isEmpty() ? 1 : uint8_t(pieces[k % pieces.size()]) % 17;
      if (want == 0 && lastEmpty)
        want = 1;  // empty pieces, but never two in a row: the loop must end
      lastEmpty = want == 0;
      const std::size_t take = std::min(want, n - at);
      remover.feed(p + at, take, false, out);
      at += take;
    }
    remover.feed(p + n, 0, true, out);
    const QByteArray got(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
    if (got != expected.bytes)
      disagree("SignatureRemover fed in uneven pieces", content, signature, expected.bytes, got);
    if (remover.removed() != expected.removed)
      disagree("SignatureRemover miscounts the occurrences", content, signature, expected.bytes,
               got);
  }

  if (flags & 8) {
    writeFile(content);
    clean::Options options;
    options.chunkSize = 1 + (pieces.isEmpty() ? 0 : uint8_t(pieces[0]) % 64);
    options.lineEnds = lineEnds;
    const clean::CleanResult result = clean::cleanFile(fuzz::tempFile(), signature, options);
    if (!result.ok())
      fuzz::fail("cleanFile failed on a plain temporary file");
    const QByteArray got = readFile();
    if (got != expected.bytes)
      disagree("cleanFile", content, signature, expected.bytes, got);
  }
  return 0;
}
