#include "scan/utf16search.h"

#include <QChar>

#include <algorithm>
#include <cstring>

#include "text/textops.h"
#include "text/utf16.h"

namespace scan {

Utf16Search::Utf16Search(const std::vector<QString>& needles, bool bigEndian, bool anyLineEnd,
                         std::uint8_t* buf)
    : needles_(needles), bigEndian_(bigEndian), anyLineEnd_(anyLineEnd), buf_(buf) {
  for (const QString& n : needles_)
    longest_ = std::max(longest_, n.size());
}

std::optional<bool> Utf16Search::scan(std::size_t len, bool final) {
  const std::uint8_t* p = buf_;
  const std::uint8_t* const end = buf_ + len;
  while (p < end) {
    char32_t cp = 0;
    int used = utf16::decodeOne(p, end, bigEndian_, final, &cp);
    if (used == 0)
      break;
    if (anyLineEnd_ && (cp == U'\r' || cp == U'\n')) {
      // CR LF, CR or LF: one character, as the signature's line breaks are.
      used = utf16::lineBreakLength(p, end, bigEndian_, final, cp);
      if (used == 0)
        break;
      cp = U'\n';
    } else {
      cp = text::lowerCodePoint(cp);
    }
    if (QChar::requiresSurrogates(cp)) {
      text_.append(QChar(QChar::highSurrogate(cp)));
      text_.append(QChar(QChar::lowSurrogate(cp)));
    } else {
      text_.append(QChar(char16_t(cp)));
    }
    p += used;
  }
  for (std::size_t i = 0; i < needles_.size(); ++i) {
    // Every character of the page is whole: half of a surrogate pair matches none.
    const QString& n = needles_[i];
    if (!n.isEmpty() && QStringView(n).isValidUtf16() && text_.contains(n)) {
      found_ = std::uint32_t(i);
      return true;
    }
  }
  if (final)
    return false;
  // An occurrence not yet complete starts in the last characters.
  if (text_.size() >= longest_)
    text_.remove(0, text_.size() - std::max<qsizetype>(longest_ - 1, 0));
  kept_ = std::size_t(end - p);
  std::memmove(buf_, p, kept_);
  return std::nullopt;
}

}  // namespace scan
