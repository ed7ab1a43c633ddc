// Code page 936 (GBK as Windows defines it; 0x80 is the euro sign), decoding only.
//
// The mapping comes from ICU's "windows-936-2000" converter, turned into a table
// once. Decoding is structural: a lead byte (0x81-0xFE) followed by a trail byte
// (0x40-0x7E, 0x80-0xFE) is one character; a lead byte without a trail byte is
// invalid and decodes on its own to a lone low surrogate (U+DC00 + byte), which no
// signature typed by a user can contain, and the byte after it is decoded afresh.
#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace gbk {

inline constexpr bool isLead(uint8_t b) {
  return b >= 0x81 && b <= 0xFE;
}
inline constexpr bool isTrail(uint8_t b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

// The character an invalid lead byte decodes to.
inline constexpr char16_t invalidByteChar(uint8_t b) {
  return char16_t(0xDC00 + b);
}

struct Tables {
  char16_t single[256];       // bytes that decode alone (lead bytes: their invalid char)
  char16_t pair[126][191];    // [lead - 0x81][trail - 0x40]; 0x7F and 0xFF columns unused
  char16_t singleLower[256];  // the same, lower-cased
  char16_t pairLower[126][191];
};

namespace detail {
const Tables& buildTables();
}

// Built on first use; thread-safe. Inline, since decoding asks for it per character.
inline const Tables& tables() {
  static const Tables& t = detail::buildTables();
  return t;
}

// Decodes one character at p (p < end). Returns the bytes used (1 or 2), or 0 when
// p is the last byte, a lead byte, and more input may follow (!final).
inline int decodeOne(const uint8_t* p, const uint8_t* end, bool final, char16_t* out,
                     bool lower = false) {
  const Tables& t = tables();
  const uint8_t b = *p;
  if (!isLead(b)) {
    *out = lower ? t.singleLower[b] : t.single[b];
    return 1;
  }
  if (p + 1 == end) {
    if (!final)
      return 0;
    *out = t.single[b];
    return 1;
  }
  const uint8_t tr = p[1];
  if (!isTrail(tr)) {
    *out = t.single[b];
    return 1;
  }
  *out = lower ? t.pairLower[b - 0x81][tr - 0x40] : t.pair[b - 0x81][tr - 0x40];
  return 2;
}

// Whole-buffer decode.
QString decode(QByteArrayView bytes);

}  // namespace gbk
