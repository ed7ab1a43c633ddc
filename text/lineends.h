// Line ends: the one rule that the scan, the clean, the dry run and the report
// share.
//
// A line break of the signature (CR LF, a lone CR or a lone LF) matches any
// line break of a file: CR LF, CR or LF. A file's CR LF is one line break, so it
// is matched whole, never by its CR alone, and an occurrence never begins at
// its LF. CR and LF are single bytes in both GBK and UTF-8 and never part of
// another character. The user may ask for line ends compared byte for byte.
#pragma once

#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>

namespace text {

enum class LineEnds {
  Any,    // any line break matches any
  Exact,  // CR and LF are characters like any other
};

inline constexpr bool isLineBreakByte(uint8_t b) {
  return b == '\r' || b == '\n';
}

// The bytes of the line break that starts at p (p < end, *p a CR or LF): 1 or
// 2, or 0 when p is the last byte, a CR, and more input may follow (!final).
inline int lineBreakLength(const uint8_t* p, const uint8_t* end, bool final) {
  if (*p == '\n')
    return 1;
  if (p + 1 == end)
    return final ? 1 : 0;
  return p[1] == '\n' ? 2 : 1;
}

// The text with each line break (CR LF, CR or LF) written as one LF: the form
// in which a signature is compared with a file's line breaks under LineEnds::Any.
QString lineBreaksAsLf(QStringView s);

}  // namespace text
