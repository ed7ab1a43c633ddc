// The plain definition of what the scan and the clean see in a file, for the
// tests to compare the streaming engines with: the whole content decoded
// (forced to UTF-8 first to count, by the decoded text alone, its valid
// characters of several bytes and its invalid bytes), lower-cased, and with
// every line break written as one LF when any line break matches any.
#pragma once

#include <QByteArrayView>
#include <QChar>
#include <QString>

#include <cstdint>
#include <vector>

#include "text/encoding.h"
#include "text/lineends.h"
#include "text/textops.h"

namespace reading {

// A byte-order mark first, then a declaration in the first bytes (the
// prescan, tested on its own in text/), then the count: UTF-8 when the
// characters above U+007F of the UTF-8 reading outnumber its invalid bytes
// (each a lone low surrogate U+DC80..U+DCFF), or there are none.
inline text::Encoding countFor(QByteArrayView bytes);
inline text::Encoding ruleFor(QByteArrayView bytes) {
  if (bytes.startsWith("\xEF\xBB\xBF"))
    return text::Encoding::Utf8;
  if (bytes.startsWith("\xFF\xFE"))
    return text::Encoding::Utf16Le;
  if (bytes.startsWith("\xFE\xFF"))
    return text::Encoding::Utf16Be;
  if (const text::Encoding declared = text::readingOfHead(bytes).encoding;
      declared != text::Encoding::Auto)
    return declared;
  return countFor(bytes);
}

inline text::Encoding countFor(QByteArrayView bytes) {
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

inline bool contains(QByteArrayView bytes, const QString& signature,
                     text::Encoding choice = text::Encoding::Auto,
                     text::LineEnds lineEnds = text::LineEnds::Any) {
  const QString sig = lineEnds == text::LineEnds::Any ? text::lineBreaksAsLf(signature) : signature;
  return seen(bytes, choice, lineEnds).contains(sig);
}

// For a content that holds no occurrence in its reading: the reading it is told
// in, or Auto. When the count decided, the other reading if it holds one; when
// a mark or a declaration did, what the same bytes would be found or told in
// without them. `either`: both GBK and UTF-8 hold one, and either may be named.
inline text::Encoding toldIn(QByteArrayView bytes, const QString& signature, bool& either) {
  either = false;
  const text::Encoding taken = ruleFor(bytes);
  if (contains(bytes, signature, taken))
    return text::Encoding::Auto;
  const bool gbk = contains(bytes, signature, text::Encoding::Gbk);
  const bool utf8 = contains(bytes, signature, text::Encoding::Utf8);
  if (taken == countFor(bytes) && text::readingOfHead(bytes).encoding == text::Encoding::Auto)
    return utf8 ? text::Encoding::Utf8 : gbk ? text::Encoding::Gbk : text::Encoding::Auto;
  either = gbk && utf8;
  const text::Encoding holding = utf8  ? text::Encoding::Utf8
                                 : gbk ? text::Encoding::Gbk
                                       : text::Encoding::Auto;
  return holding == taken ? text::Encoding::Auto : holding;
}

// The members of a set (each trimmed and lower-cased) that the content holds.
inline std::vector<std::uint32_t> membersIn(QByteArrayView bytes,
                                            const std::vector<QString>& signatureTexts,
                                            text::Encoding choice = text::Encoding::Auto,
                                            text::LineEnds lineEnds = text::LineEnds::Any) {
  const QString text = seen(bytes, choice, lineEnds);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < signatureTexts.size(); ++i) {
    const QString sig = lineEnds == text::LineEnds::Any ? text::lineBreaksAsLf(signatureTexts[i])
                                                        : signatureTexts[i];
    if (!sig.isEmpty() && text.contains(sig))
      out.push_back(std::uint32_t(i));
  }
  return out;
}

// The set's removal on the text seen: from the start, the longest member at each
// position, then on behind it. The members removed, in order.
inline std::vector<std::uint32_t> longestPass(QByteArrayView bytes,
                                              const std::vector<QString>& signatureTexts,
                                              text::Encoding choice = text::Encoding::Auto,
                                              text::LineEnds lineEnds = text::LineEnds::Any) {
  const QString text = seen(bytes, choice, lineEnds);
  std::vector<std::uint32_t> out;
  for (qsizetype i = 0; i < text.size();) {
    qsizetype best = 0;
    std::uint32_t which = 0;
    for (std::size_t m = 0; m < signatureTexts.size(); ++m) {
      const QString sig = lineEnds == text::LineEnds::Any ? text::lineBreaksAsLf(signatureTexts[m])
                                                          : signatureTexts[m];
      if (sig.size() > best && QStringView(text).sliced(i).startsWith(sig)) {
        best = sig.size();
        which = std::uint32_t(m);
      }
    }
    if (best == 0) {
      ++i;
      continue;
    }
    out.push_back(which);
    i += best;
  }
  return out;
}

}  // namespace reading
