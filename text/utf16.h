// UTF-16 in either byte order, decoding only, one character at a time.
#pragma once

#include <cstdint>

namespace utf16 {

// The code unit at p (two bytes).
inline char16_t unitAt(const uint8_t* p, bool bigEndian) {
  return bigEndian ? char16_t((p[0] << 8) | p[1]) : char16_t(p[0] | (p[1] << 8));
}

// Decodes one character at p (p < end). Returns the bytes used (2 or 4; 1 for a
// last odd byte), or 0 when more input may complete it (!final). A surrogate
// without its partner is a character of its own, which matches no typed
// signature; so is a last odd byte (U+DC00 + byte, as a stray UTF-8 byte).
inline int decodeOne(const uint8_t* p, const uint8_t* end, bool bigEndian, bool final,
                     char32_t* out) {
  if (end - p < 2) {
    if (!final)
      return 0;
    *out = char32_t(0xDC00 + *p);
    return 1;
  }
  const char16_t u = unitAt(p, bigEndian);
  if (u >= 0xD800 && u <= 0xDBFF) {
    if (end - p < 4) {
      if (!final)
        return 0;
    } else if (const char16_t v = unitAt(p + 2, bigEndian); v >= 0xDC00 && v <= 0xDFFF) {
      *out = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(v) - 0xDC00);
      return 4;
    }
  }
  *out = u;
  return 2;
}

// The bytes of the line break (CR LF, CR or LF) that starts at p, whose
// character is `first` (a CR or LF): 2 or 4, or 0 when a CR may yet be
// followed by an LF (!final).
inline int lineBreakLength(const uint8_t* p, const uint8_t* end, bool bigEndian, bool final,
                           char32_t first) {
  if (first == U'\n')
    return 2;
  if (end - p < 4)
    return final ? 2 : 0;
  return unitAt(p + 2, bigEndian) == u'\n' ? 4 : 2;
}

}  // namespace utf16
