// Target for the texts the user types that are cut into pieces: the filter box
// ("|", "*", "全部文件", empty pieces), the results log (CR LF), the path bytes
// that name files and the one line each path is shown as, and the line-end
// conversion at the widget boundary. Each is
// checked against a character-by-character reference written here, and for
// properties that must hold for any text: very long ones, lone surrogates and
// NUL included.
//
// Input: mode byte, then the text. Mode bits 0-1 choose how bytes become text:
// 0 UTF-8, 1 UTF-16 code units, 2 and 3 an alphabet of the delimiters and the
// characters around them. Mode bit 2 cuts the text at its first U+0001 into a
// filter text and a path.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include "fuzzsupport.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "scan/filetypes.h"
#include "text/textops.h"

namespace {

constexpr char16_t kAlphabet[] = {
    u'|',      u'*',      u'\r',     u'\n',     u'.',      u'a',      u'A',  u' ',   u'全', u'部',
    u'文',     u'件',     u'、',     u'Ａ',     u'x',      u'\0',     u'\t', u'/',   u'\\', u'I',
    u'\u0130', u'\u212A', u'\xDC80', u'\xD800', u'\xDFFF', u'\xDCFF', u'h',  u'\x01'};

QString textOf(uint8_t mode, const QByteArray& raw) {
  switch (mode & 3) {
    case 0:
      return QString::fromUtf8(raw);
    case 1:
      return fuzz::utf16Units(raw);
    default: {
      QString s;
      s.reserve(raw.size());
      for (char b : raw)
        s.append(QChar(kAlphabet[uint8_t(b) % (sizeof kAlphabet / sizeof kAlphabet[0])]));
      return s;
    }
  }
}

// Splitting the plain way: scan for the delimiter at every position.
QStringList naiveSplit(const QString& s, const QString& delim) {
  QStringList pieces;
  if (s.isEmpty())
    return pieces;
  auto delimAt = [&](qsizetype i) {
    if (i + delim.size() > s.size())
      return false;
    for (qsizetype k = 0; k < delim.size(); ++k) {
      if (s[i + k] != delim[k])
        return false;
    }
    return true;
  };
  QString piece;
  qsizetype i = 0;
  while (i < s.size()) {
    if (delimAt(i)) {
      pieces.append(piece);
      piece.clear();
      i += delim.size();
    } else {
      piece.append(s[i]);
      ++i;
    }
  }
  pieces.append(piece);
  return pieces;
}

[[noreturn]] void failWith(const char* what, const QString& input) {
  fuzz::dump("text", input);
  fuzz::fail(what);
}

void checkSplit(const QString& s, const QString& delim) {
  const QStringList got = text::split(s, delim);
  if (got != naiveSplit(s, delim))
    failWith("text::split disagrees with the plain split", s);
  if (!s.isEmpty() && got.join(delim) != s)
    failWith("the pieces of text::split do not join back into the text", s);
}

void checkFilter(const QString& filter, const QString& path) {
  const QStringList types = scan::parseFileTypes(filter);
  const QStringList pieces = naiveSplit(filter, QStringLiteral("|"));
  if (types.size() != pieces.size())
    failWith("the filter list does not keep one entry per piece", filter);
  qsizetype matching = 0;
  for (qsizetype i = 0; i < types.size(); ++i) {
    const QString& e = types[i];
    QString stars;
    for (QChar c : pieces[i]) {
      if (c != u'*')
        stars.append(c);
    }
    const QString lowered = text::lowerCase(stars);
    const bool everyFile = lowered == u"全部文件";
    if (e.contains(u'*') && !(everyFile && e == u"*"))
      failWith("a filter entry kept a star", filter);
    if (stars.isEmpty() != e.isEmpty())
      failWith("a filter entry is empty exactly when its piece is stars alone", filter);
    const QString expected = everyFile ? QStringLiteral("*") : lowered;
    if (e != expected)
      failWith("a filter entry is not its piece without stars, in lower case", filter);
    // "全部文件" takes every path; any other entry one that holds it, both in
    // lower case.
    if (everyFile || (!e.isEmpty() && text::lowerCase(path).contains(e)))
      ++matching;
  }
  if (scan::countMatchingEntries(types, path) != matching)
    failWith("countMatchingEntries miscounts", filter + u'\x01' + path);
}

void checkPathBytes(const QByteArray& bytes) {
  const QString decoded = platform::decodePath(bytes);
  if (platform::encodePath(decoded) != bytes) {
    fuzz::dump("bytes", bytes);
    fuzz::fail("path bytes do not survive decodePath then encodePath");
  }
  // Valid UTF-8 reads as itself.
  const QString utf8 = QString::fromUtf8(bytes);
  if (utf8.toUtf8() == bytes && decoded != utf8) {
    fuzz::dump("bytes", bytes);
    fuzz::fail("decodePath reads valid UTF-8 differently");
  }
}

// Any bytes make one line that holds nothing a box or a terminal would break
// or act on, and that reads back to exactly those bytes.
void checkPathLine(const QByteArray& bytes) {
  const QString line = platform::lineOfBytes(bytes);
  for (qsizetype i = 0; i < line.size(); ++i) {
    const char16_t c = line[i].unicode();
    const bool pair =
        i + 1 < line.size() && QChar::isHighSurrogate(c) && line[i + 1].isLowSurrogate();
    const char32_t code = pair ? QChar::surrogateToUcs4(c, line[i + 1].unicode()) : c;
    if (platform::needsEscape(code) || platform::isInvisible(code) ||
        (QChar::isSurrogate(c) && !pair)) {
      fuzz::dump("bytes", bytes);
      fuzz::fail(
          "a path's line holds a control character, an invisible one or a byte that is not "
          "text");
    }
    if (pair)
      ++i;
  }
  if (platform::bytesOfLine(line) != bytes) {
    fuzz::dump("bytes", bytes);
    fuzz::fail("a path's line does not read back to its bytes");
  }
  if (platform::lineOfPath(platform::decodePath(bytes)) != line) {
    fuzz::dump("bytes", bytes);
    fuzz::fail("the line of a path's text differs from the line of its bytes");
  }
  if (!line.startsWith(u'"') && line.toUtf8() != bytes) {
    fuzz::dump("bytes", bytes);
    fuzz::fail("a line without quotes is not exactly its path's text");
  }
}

// Whatever is typed as a line: when it names a path, that path's own line names
// the same path.
void checkTypedLine(const QString& s) {
  for (const QString& piece : text::split(s, QStringLiteral("\r\n"))) {
    const std::optional<QByteArray> bytes = platform::bytesOfLine(piece);
    if (bytes && platform::bytesOfLine(platform::lineOfBytes(*bytes)) != bytes)
      failWith("a typed line and the line of its path name different paths", piece);
  }
}

void checkLineEnds(const QString& s) {
  const QString crlf = text::toCrLf(s);
  for (qsizetype i = 0; i < crlf.size(); ++i) {
    if (crlf[i] == u'\n' && (i == 0 || crlf[i - 1] != u'\r'))
      failWith("toCrLf left a bare LF", s);
  }
  if (!s.contains(u'\r') && text::fromCrLf(crlf) != s)
    failWith("fromCrLf does not undo toCrLf", s);
}

void checkTrim(const QString& s) {
  const QString t = text::trim(s);
  if (t.startsWith(u' ') || t.endsWith(u' '))
    failWith("trim left a space at an end", s);
  qsizetype lead = 0;
  while (lead < s.size() && s[lead] == u' ')
    ++lead;
  if (QStringView(s).mid(lead, t.size()) != t)
    failWith("trim changed more than the spaces at the ends", s);
  if (text::signatureFrom(s) != text::lowerCase(t))
    failWith("the signature is not the trimmed text in lower case", s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.byte();
  const QByteArray raw = in.rest();
  const QString s = textOf(mode, raw);

  QString filter = s;
  QString path = s;
  if (mode & 4) {
    const qsizetype cut = s.indexOf(u'\x01');
    filter = cut >= 0 ? s.left(cut) : s;
    path = cut >= 0 ? s.mid(cut + 1) : QString();
  }

  checkSplit(s, QStringLiteral("\r\n"));
  checkSplit(s, QStringLiteral("|"));
  checkSplit(s, QStringLiteral("、"));
  checkFilter(filter, path);
  checkPathBytes(raw);
  checkPathBytes(platform::encodePath(s));
  checkPathLine(raw);
  checkPathLine(platform::encodePath(s));
  checkTypedLine(s);
  checkLineEnds(s);
  checkTrim(s);
  return 0;
}
