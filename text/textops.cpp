#include "text/textops.h"

#include <QChar>

#include "text/signatureset.h"

namespace text {

QString trim(QStringView s) {
  qsizetype b = 0;
  qsizetype e = s.size();
  while (b < e && s[b] == u' ')
    ++b;
  while (e > b && s[e - 1] == u' ')
    --e;
  return s.mid(b, e - b).toString();
}

char16_t lowerChar(char16_t c) {
  if (c < 0x80)
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
  if (QChar::isSurrogate(c))
    return c;
  const char32_t l = QChar::toLower(char32_t(c));
  return l <= 0xFFFF ? char16_t(l) : c;
}

char32_t lowerCodePoint(char32_t c) {
  if (c <= 0xFFFF)
    return lowerChar(char16_t(c));
  // A supplementary character's lower case is supplementary as well, or none.
  const char32_t l = QChar::toLower(c);
  return QChar::requiresSurrogates(l) ? l : c;
}

QString lowerCase(QStringView s) {
  // The same length in code units: a supplementary character's lower case is
  // supplementary as well, so the result is written in place.
  QString out(s.size(), Qt::Uninitialized);
  char16_t* o = reinterpret_cast<char16_t*>(out.data());
  for (qsizetype i = 0; i < s.size(); ++i) {
    const char16_t c = s[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < s.size() &&
        QChar::isLowSurrogate(s[i + 1].unicode())) {
      const char32_t l = lowerCodePoint(QChar::surrogateToUcs4(c, s[i + 1].unicode()));
      o[i] = QChar::highSurrogate(l);
      o[i + 1] = QChar::lowSurrogate(l);
      ++i;
    } else {
      o[i] = lowerChar(c);
    }
  }
  return out;
}

QStringList split(QStringView s, QStringView delim) {
  QStringList pieces;
  if (s.isEmpty())
    return pieces;
  if (delim.isEmpty()) {
    pieces.append(s.toString());
    return pieces;
  }
  qsizetype from = 0;
  for (;;) {
    const qsizetype at = s.indexOf(delim, from);
    if (at < 0)
      break;
    pieces.append(s.mid(from, at - from).toString());
    from = at + delim.size();
  }
  pieces.append(s.mid(from).toString());
  return pieces;
}

QString removeAll(QStringView s, QStringView needle) {
  if (needle.isEmpty())
    return s.toString();
  QString out;
  out.reserve(s.size());
  qsizetype from = 0;
  for (;;) {
    const qsizetype at = s.indexOf(needle, from);
    if (at < 0)
      break;
    out.append(s.mid(from, at - from));
    from = at + needle.size();
  }
  out.append(s.mid(from));
  return out;
}

QString signatureFrom(QStringView signatureBoxText) {
  QString signature = lowerCase(trim(signatureBoxText));
  // Text that begins as a set's text would be read as a set of other members:
  // such a text (two noncharacters, kept for internal use) is no signature.
  if (isSignatureSet(signature))
    return {};
  return signature;
}

QString toCrLf(QStringView widgetText) {
  QString out;
  out.reserve(widgetText.size() + widgetText.size() / 16);
  for (qsizetype i = 0; i < widgetText.size(); ++i) {
    const QChar c = widgetText[i];
    if (c == u'\n' && (i == 0 || widgetText[i - 1] != u'\r'))
      out.append(u'\r');
    out.append(c);
  }
  return out;
}

QString fromCrLf(QStringView crlfText) {
  QString out = crlfText.toString();
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

}  // namespace text
