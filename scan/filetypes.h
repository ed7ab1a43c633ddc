#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace scan {

// The filter box's text as a list of lower-case path fragments: cut at "|",
// every "*" dropped, "全部文件" meaning ".". Empty entries keep their place.
QStringList parseFileTypes(QStringView filterText);

// How many non-empty filter entries occur in `path` (compared as spelled).
qsizetype countMatchingEntries(const QStringList& fileTypes, QStringView path);

}  // namespace scan
