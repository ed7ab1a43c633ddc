#include "scan/filetypes.h"

#include "text/textops.h"

namespace scan {

QStringList parseFileTypes(QStringView filterText) {
  QStringList entries = text::split(filterText, u"|");
  for (QString& e : entries) {
    if (e.isEmpty())
      continue;
    e = text::lowerCase(text::removeAll(e, u"*"));
    if (e == u"全部文件")
      e = QStringLiteral(".");
  }
  return entries;
}

qsizetype countMatchingEntries(const QStringList& fileTypes, QStringView path) {
  qsizetype n = 0;
  for (const QString& e : fileTypes) {
    if (!e.isEmpty() && path.contains(e))
      ++n;
  }
  return n;
}

}  // namespace scan
