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

// The offset of the first byte that is not part of valid UTF-8 (a sequence cut
// off by the end included); -1 when the bytes are UTF-8 to the last.
qsizetype invalidUtf8At(QByteArrayView bytes);

}  // namespace platform
