#include "platform/pathjson.h"

#include <QJsonValue>
#include <QStringDecoder>

namespace platform {

namespace {

QString bytesKey(const QString& key) {
  return key + QStringLiteral("_bytes");
}

}  // namespace

void putPath(QJsonObject& object, QByteArrayView bytes, const QString& key) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = decoder.decode(bytes);
  object.insert(key, text);
  if (decoder.hasError())
    object.insert(bytesKey(key), QString::fromLatin1(bytes.toByteArray().toBase64()));
}

std::optional<QByteArray> takePath(const QJsonObject& object, const QString& key) {
  const QJsonValue exact = object.value(bytesKey(key));
  if (exact.isString()) {
    const auto decoded = QByteArray::fromBase64Encoding(exact.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
      return std::nullopt;
    return decoded.decoded;
  }
  if (!exact.isUndefined())
    return std::nullopt;
  const QJsonValue text = object.value(key);
  if (!text.isString())
    return std::nullopt;
  return text.toString().toUtf8();
}

}  // namespace platform
