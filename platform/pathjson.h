// A path's bytes in a JSON object (reports, manifests): "path" holds the path as
// UTF-8 text when its bytes are valid UTF-8. Otherwise "path" holds a readable
// form (each byte that is not UTF-8 shown as U+FFFD) and "path_bytes" holds the
// exact bytes in base64, which is what a reader must use.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace platform {

void putPath(QJsonObject& object, QByteArrayView bytes,
             const QString& key = QStringLiteral("path"));

// The exact bytes that putPath stored under `key`; nothing when the object holds
// no such path or a malformed one.
std::optional<QByteArray> takePath(const QJsonObject& object,
                                   const QString& key = QStringLiteral("path"));

}  // namespace platform
