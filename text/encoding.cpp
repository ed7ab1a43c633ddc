#include "text/encoding.h"

#include <QChar>

#include <algorithm>
#include <string_view>

#include "text/declaration.h"
#include "text/gbk.h"
#include "text/utf16.h"
#include "text/utf8.h"

namespace text {

namespace {

using Bytes = std::string_view;

// Bytes as text, a code point at a time by `decode` (returns the bytes used).
template <typename Decode>
QString decodeWith(QByteArrayView bytes, Decode decode) {
  QString out;
  out.reserve(bytes.size());
  auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* end = p + bytes.size();
  while (p < end) {
    char32_t cp = 0;
    p += decode(p, end, &cp);
    if (QChar::requiresSurrogates(cp)) {
      out.append(QChar(QChar::highSurrogate(cp)));
      out.append(QChar(QChar::lowSurrogate(cp)));
    } else {
      out.append(QChar(char16_t(cp)));
    }
  }
  return out;
}

QString decodeUtf16(QByteArrayView content, bool bigEndian) {
  return decodeWith(content, [bigEndian](const uint8_t* p, const uint8_t* end, char32_t* cp) {
    return utf16::decodeOne(p, end, bigEndian, true, cp);
  });
}

}  // namespace

HeadReading readingOfHead(QByteArrayView head) {
  const Bytes s(head.data(), std::size_t(std::min<qsizetype>(head.size(), kDeclarationBytes)));
  if (s.starts_with("\xEF\xBB\xBF"))
    return {Encoding::Utf8, Decider::Bom, {}};
  if (s.starts_with("\xFF\xFE"))
    return {Encoding::Utf16Le, Decider::Bom, {}};
  if (s.starts_with("\xFE\xFF"))
    return {Encoding::Utf16Be, Decider::Bom, {}};
  return declaredReading(s).value_or(HeadReading{});
}

Reading resolveReading(Encoding choice, const HeadReading& head, bool countReadsUtf8) {
  if (choice != Encoding::Auto)
    return {choice, Decider::Option, {}};
  if (head.encoding != Encoding::Auto)
    return {head.encoding, head.decider, {}};
  return {countReadsUtf8 ? Encoding::Utf8 : Encoding::Gbk, Decider::Count, head.unreadLabel};
}

void ReadingFinder::feed(const std::uint8_t* p, std::size_t n) {
  if (decided())
    return;
  if (!headSeen_) {
    const std::size_t take = std::min(n, kDeclarationBytes - std::size_t(first_.size()));
    first_.append(reinterpret_cast<const char*>(p), qsizetype(take));
    if (std::size_t(first_.size()) == kDeclarationBytes) {
      headSeen_ = true;
      head_ = readingOfHead(first_);
      if (decided())
        return;
    }
  }
  counter_.feed(p, n);
}

Reading ReadingFinder::finish() {
  if (!headSeen_) {
    headSeen_ = true;
    head_ = readingOfHead(first_);
  }
  if (decided())
    return resolveReading(choice_, head_, true);
  counter_.finish();
  return resolveReading(choice_, head_, counter_.readsAsUtf8());
}

Reading readingOf(QByteArrayView content, Encoding choice) {
  if (choice != Encoding::Auto)
    return {choice, Decider::Option, {}};
  const HeadReading head = readingOfHead(content);
  return resolveReading(choice, head,
                        head.encoding == Encoding::Auto && utf8::readsAsUtf8(content));
}

QString decodeUtf8(QByteArrayView bytes) {
  return decodeWith(bytes, [](const uint8_t* p, const uint8_t* end, char32_t* cp) {
    return utf8::decodeOne(p, end, true, cp);
  });
}

QString decodeContent(QByteArrayView content, Encoding choice) {
  switch (encodingOf(content, choice)) {
    case Encoding::Gbk:
      return gbk::decode(content);
    case Encoding::Utf16Le:
      return decodeUtf16(content, false);
    case Encoding::Utf16Be:
      return decodeUtf16(content, true);
    case Encoding::Utf8:
    case Encoding::Auto:
      break;
  }
  return decodeUtf8(content);
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

QString encodingName(Encoding encoding) {
  switch (encoding) {
    case Encoding::Auto:
      return QStringLiteral("auto");
    case Encoding::Gbk:
      return QStringLiteral("gbk");
    case Encoding::Utf8:
      return QStringLiteral("utf-8");
    case Encoding::Utf16Le:
      return QStringLiteral("utf-16le");
    case Encoding::Utf16Be:
      return QStringLiteral("utf-16be");
  }
  return {};
}

QString deciderName(Decider decider) {
  switch (decider) {
    case Decider::Option:
      return QStringLiteral("option");
    case Decider::Bom:
      return QStringLiteral("bom");
    case Decider::Declaration:
      return QStringLiteral("declaration");
    case Decider::Count:
      return QStringLiteral("count");
  }
  return {};
}

}  // namespace text
