// Confirming a candidate: whether the bytes at a position of a buffer decode,
// as the whole-file decode would, to the signature's characters. Shared by the
// single signature's search and the set's, so that both keep one rule.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan/bytesearch.h"
#include "scan/pattern.h"
#include "text/gbk.h"
#include "text/lineends.h"
#include "text/textops.h"
#include "text/utf8.h"

namespace scan::confirm {

// A buffer of the content and what lies right before its first byte.
struct Window {
  const std::uint8_t* buf = nullptr;
  std::size_t len = 0;
  bool carryCr = false;   // whether the byte right before buf[0] is a CR
  bool carryOdd = false;  // the parity of the lead-byte run that ends right before buf[0]
};

// Bytes that are both lead and trail bytes: a run of them pairs up from its
// first byte, because the byte before such a run never leads.
inline bool inLeadRun(std::uint8_t b) {
  return b >= 0x81 && b <= 0xFE;
}

// Whether the run of lead-range bytes that ends right before `pos` has odd
// length, that is, whether its last byte leads a GBK character that takes
// buf[pos].
inline bool leadRunOddBefore(const Window& w, std::size_t pos) {
  std::size_t i = pos;
  while (i > 0 && inLeadRun(w.buf[i - 1]))
    --i;
  bool odd = ((pos - i) & 1) != 0;
  if (i == 0)
    odd = odd != w.carryOdd;
  return odd;
}

// Whether a line break of the content that the signature's first character
// would take starts at s, not inside a CR LF.
inline bool startsLineBreak(const Window& w, std::size_t s) {
  return w.buf[s] != '\n' || !(s > 0 ? w.buf[s - 1] == '\r' : w.carryCr);
}

// Under the any-line-end rule, the line break at `at` if the signature's
// character `c` is one: the bytes it takes, or -1 when it takes none.
inline int lineBreakAt(const Pattern& p, char32_t c, const std::uint8_t* at,
                       const std::uint8_t* end, bool final) {
  if (!p.anyLineEnd || c != U'\n')
    return -1;
  return text::isLineBreakByte(*at) ? text::lineBreakLength(at, end, final) : 0;
}

inline bool fitsBytes(const Pattern& p, const Window& w, std::size_t s) {
  // From the end: a look-alike tends to differ there.
  for (std::size_t k = p.bytes.size(); k-- > 0;) {
    if (!bytesearch::fits(w.buf[s + k], p.bytes[k]))
      return false;
  }
  return true;
}

// Decodes from s as the whole-file decode would if s starts a character. With
// `end`, the position right after the occurrence is stored there.
inline bool gbkAt(const Pattern& p, const Window& w, std::size_t s, bool final,
                  std::size_t* endOut = nullptr) {
  if (!p.bytes.empty() && !endOut) {
    if (!fitsBytes(p, w, s))
      return false;
  } else {
    if (p.beginsWithLineBreak && !startsLineBreak(w, s))
      return false;
    const std::uint8_t* at = w.buf + s;
    const std::uint8_t* end = w.buf + w.len;
    for (char32_t c : p.chars) {
      if (at >= end)
        return false;
      if (const int br = lineBreakAt(p, c, at, end, final); br >= 0) {
        if (br == 0)
          return false;
        at += br;
        continue;
      }
      char16_t d = 0;
      const int used = gbk::decodeOne(at, end, final, &d, true);
      if (used == 0 || d != c)
        return false;
      at += used;
    }
    if (endOut)
      *endOut = std::size_t(at - w.buf);
  }
  return !(p.checkAlignment && gbk::isTrail(w.buf[s]) && leadRunOddBefore(w, s));
}

// A form begins with a byte that never continues a character, and a byte
// that begins no valid character is read alone, so a candidate always
// starts a character.
inline bool utf8At(const Pattern& p, const Window& w, std::size_t s, bool final, bool general,
                   std::size_t* endOut = nullptr) {
  if (!general && !p.bytes.empty() && !endOut)
    return fitsBytes(p, w, s);
  if (p.beginsWithLineBreak && !startsLineBreak(w, s))
    return false;
  const std::uint8_t* at = w.buf + s;
  const std::uint8_t* end = w.buf + w.len;
  for (char32_t c : p.chars) {
    if (at >= end)
      return false;
    if (const int br = lineBreakAt(p, c, at, end, final); br >= 0) {
      if (br == 0)
        return false;
      at += br;
      continue;
    }
    char32_t d = 0;
    const int used = utf8::decodeOne(at, end, final, &d);
    if (used == 0 || text::lowerCodePoint(d) != c)
      return false;
    at += used;
  }
  if (endOut)
    *endOut = std::size_t(at - w.buf);
  return true;
}

}  // namespace scan::confirm
