#include "text/encoding.h"

#include <QChar>

#include "text/gbk.h"
#include "text/utf8.h"

namespace text {

Encoding encodingOf(QByteArrayView content, Encoding choice) {
  if (choice != Encoding::Auto)
    return choice;
  return resolveEncoding(choice, utf8::readsAsUtf8(content));
}

QString decodeContent(QByteArrayView content, Encoding choice) {
  if (encodingOf(content, choice) == Encoding::Gbk)
    return gbk::decode(content);
  QString out;
  out.reserve(content.size());
  auto* p = reinterpret_cast<const uint8_t*>(content.data());
  const uint8_t* end = p + content.size();
  while (p < end) {
    char32_t cp = 0;
    p += utf8::decodeOne(p, end, true, &cp);
    if (QChar::requiresSurrogates(cp)) {
      out.append(QChar(QChar::highSurrogate(cp)));
      out.append(QChar(QChar::lowSurrogate(cp)));
    } else {
      out.append(QChar(char16_t(cp)));
    }
  }
  return out;
}

std::optional<Encoding> encodingNamed(QStringView name) {
  if (name == u"auto")
    return Encoding::Auto;
  if (name == u"gbk")
    return Encoding::Gbk;
  if (name == u"utf-8")
    return Encoding::Utf8;
  return std::nullopt;
}

}  // namespace text
