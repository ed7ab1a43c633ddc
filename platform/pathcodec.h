// File names on Linux are bytes. Tervane carries paths as text, so every byte
// sequence must survive the round trip: valid UTF-8 decodes as such, and every
// byte that is not part of valid UTF-8 becomes a lone low surrogate U+DC00 + byte,
// which encodes back to that byte.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace platform {

QString decodePath(QByteArrayView bytes);
QByteArray encodePath(QStringView path);

}  // namespace platform
