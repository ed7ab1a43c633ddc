#include "platform/pathline.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/pathcodec.h"
#include "text/gbk.h"
#include "text/textops.h"

namespace platform {

namespace {

// What decodePath and the GBK decode make of a byte that is not part of text.
bool isByteChar(char32_t c) {
  return c >= 0xDC80 && c <= 0xDCFF;
}

char16_t hexDigit(int v) {
  return u"0123456789ABCDEF"[v & 15];
}

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9')
    return c - u'0';
  if (c >= u'a' && c <= u'f')
    return c - u'a' + 10;
  if (c >= u'A' && c <= u'F')
    return c - u'A' + 10;
  return -1;
}

void appendByteEscape(QString& out, uint8_t b) {
  out += u"\\x";
  out += QChar(hexDigit(b >> 4));
  out += QChar(hexDigit(b));
}

// The controls a terminal acts on: written as their bytes.
bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

void appendCodePointEscape(QString& out, char32_t c) {
  out += u"\\u{";
  out += QString::number(uint(c), 16).toUpper();
  out += u'}';
}

// A character that a line or a message does not hold as it is, escaped: a
// control by its UTF-8 bytes, any other by its code point.
void appendEscaped(QString& out, char32_t c) {
  if (!isControl(c)) {
    appendCodePointEscape(out, c);
    return;
  }
  uint8_t buf[4];
  int32_t len = 0;
  [[maybe_unused]] UBool err = false;
  U8_APPEND(buf, len, 4, UChar32(c), err);
  for (int32_t k = 0; k < len; ++k)
    appendByteEscape(out, buf[k]);
}

bool isEscaped(char32_t c) {
  return needsEscape(c) || isInvisible(c);
}

// The short escapes of C, for the controls that have one: the control and its
// letter, for writing a quoted line and for reading one back.
constexpr std::array<std::pair<char, char16_t>, 7> kShortEscapes{{{'\a', u'a'},
                                                                  {'\b', u'b'},
                                                                  {'\t', u't'},
                                                                  {'\n', u'n'},
                                                                  {'\v', u'v'},
                                                                  {'\f', u'f'},
                                                                  {'\r', u'r'}}};

// The letter of `c`'s short escape; 0 for none.
char16_t shortEscape(char32_t c) {
  for (const auto& [control, letter] : kShortEscapes) {
    if (c == char32_t(control))
      return letter;
  }
  return 0;
}

// The control a short escape's letter stands for; 0 for none.
char controlOf(char16_t letter) {
  for (const auto& [control, l] : kShortEscapes) {
    if (letter == l)
      return control;
  }
  return 0;
}

void appendCodePoint(QString& out, char32_t c) {
  if (c > 0xFFFF) {
    out += QChar(QChar::highSurrogate(c));
    out += QChar(QChar::lowSurrogate(c));
  } else {
    out += QChar(char16_t(c));
  }
}

// One character of a quoted line.
void appendQuoted(QString& out, char32_t c) {
  if (c == u'\\' || c == u'"') {
    out += u'\\';
    out += QChar(char16_t(c));
  } else if (const char16_t e = shortEscape(c)) {
    out += u'\\';
    out += QChar(e);
  } else if (isEscaped(c)) {
    appendEscaped(out, c);
  } else {
    appendCodePoint(out, c);
  }
}

bool isUtf8(QByteArrayView bytes) {
  return invalidUtf8At(bytes) < 0;
}

// Valid UTF-8 holding no character that is escaped.
bool isPlainText(QByteArrayView bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int32_t n = int32_t(bytes.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0 || isEscaped(char32_t(c)))
      return false;
  }
  return true;
}

// The GBK bytes of each character that a GBK decode can give, the first pair
// (or single byte) that decodes to it: 0 for none, a value below 0x100 for one
// byte, else lead * 256 + trail.
class GbkEncoder {
 public:
  GbkEncoder() {
    codes_.fill(0);
    const gbk::Tables& t = gbk::tables();
    for (int b = 0x80; b <= 0xFF; ++b) {
      const char16_t c = t.single[b];
      if (!gbk::isLead(uint8_t(b)) && usable(c) && codes_[c] == 0)
        codes_[c] = uint16_t(b);
    }
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        if (!gbk::isTrail(uint8_t(trail)))
          continue;
        const char16_t c = t.pair[lead - 0x81][trail - 0x40];
        if (usable(c) && codes_[c] == 0)
          codes_[c] = uint16_t(lead << 8 | trail);
      }
    }
  }
  // Appends the bytes of `c` (not ASCII); false when GBK has none.
  bool append(QByteArray& out, char16_t c) const {
    const uint16_t code = codes_[c];
    if (code == 0)
      return false;
    if (code > 0xFF)
      out += char(code >> 8);
    out += char(code & 0xFF);
    return true;
  }

 private:
  static bool usable(char16_t c) { return c >= 0x80 && !QChar::isSurrogate(c) && c != 0xFFFD; }
  std::array<uint16_t, 0x10000> codes_;
};

const GbkEncoder& gbkEncoder() {
  static const std::unique_ptr<const GbkEncoder> e = std::make_unique<const GbkEncoder>();
  return *e;
}

// A part of a path that is not UTF-8, as GBK text for a quoted line; false when
// it is not GBK text that reads back to the same bytes. A character that would
// be escaped (the private use area included, which is no text anyone could
// read) does not count.
bool appendGbkPart(QString& out, QByteArrayView part) {
  const auto* p = reinterpret_cast<const uint8_t*>(part.data());
  const uint8_t* end = p + part.size();
  QString text;
  text.reserve(part.size());
  QByteArray again;
  while (p < end) {
    char16_t c;
    const int used = gbk::decodeOne(p, end, true, &c);
    if (c < 0x80) {
      appendQuoted(text, c);
    } else {
      if (isByteChar(c) || QChar::isSurrogate(c) || isEscaped(c))
        return false;
      again.clear();
      if (!gbkEncoder().append(again, c) ||
          again != QByteArrayView(reinterpret_cast<const char*>(p), used))
        return false;
      text += QChar(c);
    }
    p += used;
  }
  out += u"\\g";
  out += text;
  return true;
}

// A part of a path for a quoted line, as UTF-8 where it is, "\xHH" elsewhere.
void appendUtf8Part(QString& out, QByteArrayView part) {
  const auto* s = reinterpret_cast<const uint8_t*>(part.data());
  const int32_t n = int32_t(part.size());
  for (int32_t i = 0; i < n;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0) {
      appendByteEscape(out, s[start]);
      i = start + 1;
    } else {
      appendQuoted(out, char32_t(c));
    }
  }
}

QString quotedLine(QByteArrayView path) {
  QString out;
  out.reserve(path.size() + 16);
  out += u'"';
  qsizetype start = 0;
  for (;;) {
    const qsizetype slash = path.indexOf('/', start);
    const QByteArrayView part = path.sliced(start, (slash < 0 ? path.size() : slash) - start);
    if (isUtf8(part) || !appendGbkPart(out, part))
      appendUtf8Part(out, part);
    if (slash < 0)
      break;
    out += u'/';
    start = slash + 1;
  }
  out += u'"';
  return out;
}

}  // namespace

bool needsEscape(char32_t c) {
  return isControl(c) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         (c >= 0xFDD0 && c <= 0xFDEF);
}

bool isInvisible(char32_t c) {
  // Below U+00A0 every character is visible or a control.
  if (c < 0xA0 || c > 0x10FFFF)
    return false;
  switch (u_charType(UChar32(c))) {
    case U_FORMAT_CHAR:
    case U_UNASSIGNED:
    case U_PRIVATE_USE_CHAR:
      return true;
    default:
      return u_hasBinaryProperty(UChar32(c), UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
  }
}

QString lineOfBytes(QByteArrayView path) {
  if ((path.isEmpty() || path[0] != '"') && isPlainText(path))
    return decodePath(path);
  return quotedLine(path);
}

QString lineOfPath(const QString& path) {
  bool plain = path.isEmpty() || path[0] != u'"';
  for (qsizetype i = 0; plain && i < path.size(); ++i) {
    const char16_t u = path[i].unicode();
    // Surrogates are rare in names: valid pairs take the long way as well.
    plain = u >= 0x20 && u != 0x7F && !(u >= 0x80 && u < 0xA0) && !QChar::isSurrogate(u) &&
            !(u >= 0xA0 && (isInvisible(u) || (u >= 0x600 && needsEscape(u))));
  }
  return plain ? path : lineOfBytes(encodePath(path));
}

namespace {

// The character of a "\u{...}" escape whose brace starts at `i` (moved past
// it), in UTF-8 or, in a part marked GBK, in GBK. False when malformed.
bool readCodePointEscape(QStringView line, qsizetype& i, bool gbk, QByteArray& out) {
  const qsizetype n = line.size();
  // One to six hex digits in braces: the character, as if it stood here.
  if (i >= n || line[i] != u'{')
    return false;
  ++i;
  char32_t code = 0;
  int digits = 0;
  for (; i < n && hexValue(line[i].unicode()) >= 0 && digits < 7; ++i, ++digits)
    code = code << 4 | char32_t(hexValue(line[i].unicode()));
  if (digits == 0 || digits > 6 || i >= n || line[i] != u'}' || code > 0x10FFFF ||
      (code >= 0xD800 && code <= 0xDFFF))
    return false;
  ++i;
  if (gbk && code >= 0x80)
    return code <= 0xFFFF && gbkEncoder().append(out, char16_t(code));
  uint8_t buf[4];
  int32_t len = 0;
  [[maybe_unused]] UBool err = false;
  U8_APPEND(buf, len, 4, UChar32(code), err);
  out.append(reinterpret_cast<const char*>(buf), len);
  return true;
}

// The escape whose backslash is at `i` (moved past it) into `out`; "\g" marks
// the rest of the part GBK. False when malformed.
bool readEscape(QStringView line, qsizetype& i, bool& gbk, QByteArray& out) {
  const qsizetype n = line.size();
  if (i + 1 >= n)
    return false;
  const char16_t e = line[i + 1].unicode();
  i += 2;
  if (e == u'\\' || e == u'"') {
    out += char(e);
    return true;
  }
  if (const char control = controlOf(e)) {
    out += control;
    return true;
  }
  switch (e) {
    case u'x': {
      const int hi = i < n ? hexValue(line[i].unicode()) : -1;
      const int lo = i + 1 < n ? hexValue(line[i + 1].unicode()) : -1;
      if (hi < 0 || lo < 0)
        return false;
      out += char(hi << 4 | lo);
      i += 2;
      return true;
    }
    case u'u':
      return readCodePointEscape(line, i, gbk, out);
    case u'g':
      gbk = true;
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<QByteArray> bytesOfLine(QStringView line) {
  if (line.isEmpty() || line[0] != u'"')
    return encodePath(line);
  QByteArray out;
  out.reserve(line.size());
  bool gbk = false;
  // Characters taken as they are, from `run` to the current position.
  qsizetype run = -1;
  const qsizetype n = line.size();
  qsizetype i = 1;
  auto flush = [&] {
    if (run >= 0)
      out += encodePath(line.sliced(run, i - run));
    run = -1;
  };
  while (i < n) {
    const char16_t c = line[i].unicode();
    if (c == u'"') {
      flush();
      if (i != n - 1)
        return std::nullopt;
      return out;
    }
    if (c == u'\\') {
      flush();
      if (!readEscape(line, i, gbk, out))
        return std::nullopt;
      continue;
    }
    if (c == u'/')
      gbk = false;
    if (gbk && c >= 0x80) {
      flush();
      if (isByteChar(c))
        out += char(c - 0xDC00);
      else if (!gbkEncoder().append(out, c))
        return std::nullopt;
      ++i;
      continue;
    }
    if (run < 0)
      run = i;
    ++i;
  }
  return std::nullopt;  // no closing quote
}

QString visibleText(QStringView text) {
  QString out;
  out.reserve(text.size());
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    char32_t c = text[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < n && text[i + 1].isLowSurrogate()) {
      const char32_t pair = QChar::surrogateToUcs4(char16_t(c), text[i + 1].unicode());
      if (isEscaped(pair))
        appendEscaped(out, pair);
      else
        appendCodePoint(out, pair);
      ++i;
    } else if (isByteChar(c)) {
      appendByteEscape(out, uint8_t(c - 0xDC00));
    } else if (QChar::isSurrogate(c)) {
      out += QChar(QChar::ReplacementCharacter);
    } else if (isEscaped(c)) {
      appendEscaped(out, c);
    } else {
      out += QChar(char16_t(c));
    }
  }
  return out;
}

QString visibleLines(QStringView text) {
  QString out;
  out.reserve(text.size());
  const QStringList lines = text::split(text, text::kCrLf);
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (i > 0)
      out += u'\n';
    out += visibleText(lines[i]);
  }
  return out;
}

QString errorText(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace platform
