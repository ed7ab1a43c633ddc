#include "scan/confirm.h"

#include "scan/bytesearch.h"
#include "scan/pattern.h"
#include "text/gbk.h"
#include "text/lineends.h"
#include "text/textops.h"
#include "text/utf8.h"

namespace scan::confirm {

namespace {

// Bytes that are both lead and trail bytes: a run of them pairs up from its
// first byte, because the byte before such a run never leads.
bool inLeadRun(std::uint8_t b) {
  return b >= 0x81 && b <= 0xFE;
}

// Under the any-line-end rule, the line break at `at` if the signature's
// character `c` is one: the bytes it takes, or -1 when it takes none.
int lineBreakAt(const Pattern& p, char32_t c, const std::uint8_t* at, const std::uint8_t* end,
                bool final) {
  if (!p.anyLineEnd || c != U'\n')
    return -1;
  return text::isLineBreakByte(*at) ? text::lineBreakLength(at, end, final) : 0;
}

bool fitsBytes(const Pattern& p, const Window& w, std::size_t s) {
  // From the end: a look-alike tends to differ there.
  for (std::size_t k = p.bytes.size(); k-- > 0;) {
    if (!bytesearch::fits(w.buf[s + k], p.bytes[k]))
      return false;
  }
  return true;
}

// Whether the bytes from s decode, a character at a time by `decode` (which
// returns the bytes it used, 0 for more input needed, and the lower-cased
// character), to the signature's characters.
template <typename Decode>
bool decodesAt(const Pattern& p, const Window& w, std::size_t s, bool final, Decode decode,
               std::size_t* endOut) {
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
    const int used = decode(at, end, &d);
    if (used == 0 || d != c)
      return false;
    at += used;
  }
  if (endOut)
    *endOut = std::size_t(at - w.buf);
  return true;
}

}  // namespace

bool leadRunOddBefore(const Window& w, std::size_t pos) {
  std::size_t i = pos;
  while (i > 0 && inLeadRun(w.buf[i - 1]))
    --i;
  bool odd = ((pos - i) & 1) != 0;
  if (i == 0)
    odd = odd != w.carryOdd;
  return odd;
}

bool gbkAt(const Pattern& p, const Window& w, std::size_t s, bool final, std::size_t* endOut) {
  if (!p.bytes.empty() && !endOut) {
    if (!fitsBytes(p, w, s))
      return false;
  } else {
    const auto decode = [final](const std::uint8_t* at, const std::uint8_t* end, char32_t* d) {
      char16_t u = 0;
      const int used = gbk::decodeOne(at, end, final, &u, true);
      *d = u;
      return used;
    };
    if (!decodesAt(p, w, s, final, decode, endOut))
      return false;
  }
  return !(p.checkAlignment && gbk::isTrail(w.buf[s]) && leadRunOddBefore(w, s));
}

// A form begins with a byte that never continues a character, and a byte
// that begins no valid character is read alone, so a candidate always
// starts a character.
bool utf8At(const Pattern& p, const Window& w, std::size_t s, bool final, bool general,
            std::size_t* endOut) {
  if (!general && !p.bytes.empty() && !endOut)
    return fitsBytes(p, w, s);
  const auto decode = [final](const std::uint8_t* at, const std::uint8_t* end, char32_t* d) {
    const int used = utf8::decodeOne(at, end, final, d);
    *d = text::lowerCodePoint(*d);
    return used;
  };
  return decodesAt(p, w, s, final, decode, endOut);
}

}  // namespace scan::confirm
