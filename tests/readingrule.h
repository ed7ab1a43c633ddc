// The plain definition of what the scan and the clean see in a file, for the
// tests to compare the streaming engines with: the whole content decoded
// (forced to UTF-8 first to count, by the decoded text alone, its valid
// characters of several bytes and its invalid bytes), lower-cased, and with
// every line break written as one LF when any line break matches any.
#pragma once

#include <QByteArrayView>
#include <QChar>
#include <QString>

#include "text/encoding.h"
#include "text/lineends.h"
#include "text/textops.h"

namespace reading {

// UTF-8 when the characters above U+007F of the UTF-8 reading outnumber its
// invalid bytes (each a lone low surrogate U+DC80..U+DCFF), or there are none.
inline text::Encoding ruleFor(QByteArrayView bytes) {
  const QString asUtf8 = text::decodeContent(bytes, text::Encoding::Utf8);
  qsizetype valid = 0;
  qsizetype invalid = 0;
  for (QChar c : asUtf8) {
    if (c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF)
      ++invalid;
    else if (c.unicode() >= 0x80 && !c.isLowSurrogate())
      ++valid;
  }
  return invalid == 0 || valid > invalid ? text::Encoding::Utf8 : text::Encoding::Gbk;
}

// The content as the engines compare it with a signature.
inline QString seen(QByteArrayView bytes, text::Encoding choice = text::Encoding::Auto,
                    text::LineEnds lineEnds = text::LineEnds::Any) {
  const text::Encoding e = choice == text::Encoding::Auto ? ruleFor(bytes) : choice;
  const QString lower = text::lowerCase(text::decodeContent(bytes, e));
  return lineEnds == text::LineEnds::Any ? text::lineBreaksAsLf(lower) : lower;
}

inline bool contains(QByteArrayView bytes, const QString& gjz,
                     text::Encoding choice = text::Encoding::Auto,
                     text::LineEnds lineEnds = text::LineEnds::Any) {
  const QString sig = lineEnds == text::LineEnds::Any ? text::lineBreaksAsLf(gjz) : gjz;
  return seen(bytes, choice, lineEnds).contains(sig);
}

}  // namespace reading
