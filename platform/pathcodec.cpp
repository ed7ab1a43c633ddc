#include "platform/pathcodec.h"

#include <unicode/utf8.h>

#include "text/encoding.h"

namespace platform {

namespace {

bool isAscii(QByteArrayView bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  }
  return true;
}

}  // namespace

QString decodePath(QByteArrayView bytes) {
  // Most names are ASCII; they need no decoding.
  if (isAscii(bytes))
    return QString::fromLatin1(bytes);
  // A name is read as a UTF-8 page is: each stray byte a lone low surrogate.
  return text::decodeUtf8(bytes);
}

qsizetype invalidUtf8At(QByteArrayView bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int32_t n = int32_t(bytes.size());
  for (int32_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0)
      return start;
  }
  return -1;
}

QByteArray encodePath(QStringView path) {
  bool ascii = true;
  for (QChar c : path) {
    if (c.unicode() >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii)
    return path.toLatin1();
  QByteArray out;
  out.reserve(path.size());
  const qsizetype n = path.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t u = path[i].unicode();
    char32_t cp = u;
    if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(path[i + 1].unicode())) {
      cp = QChar::surrogateToUcs4(u, path[i + 1].unicode());
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.append(char(u - 0xDC00));
      continue;
    } else if (QChar::isSurrogate(u)) {
      cp = 0xFFFD;  // not produced by decodePath; cannot name a file
    }
    uint8_t buf[4];
    int32_t len = 0;
    [[maybe_unused]] UBool err = false;
    U8_APPEND(buf, len, 4, UChar32(cp), err);
    out.append(reinterpret_cast<const char*>(buf), len);
  }
  return out;
}

}  // namespace platform
