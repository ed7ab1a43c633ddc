#include "scan/filetypes.h"

#include <algorithm>

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

namespace {

// A plain search: with a short entry and a path, it beats the general one,
// and it runs once per entry for every file of a scan.
bool occursIn(QStringView path, QStringView entry) {
  const qsizetype m = entry.size();
  if (m > path.size())
    return false;
  const char16_t* h = path.utf16();
  const char16_t* e = entry.utf16();
  const qsizetype last = path.size() - m;
  for (qsizetype i = 0; i <= last; ++i) {
    if (h[i] == e[0] && std::equal(e + 1, e + m, h + i + 1))
      return true;
  }
  return false;
}

}  // namespace

qsizetype countMatchingEntries(const QStringList& fileTypes, QStringView path) {
  qsizetype n = 0;
  for (const QString& e : fileTypes) {
    if (!e.isEmpty() && occursIn(path, e))
      ++n;
  }
  return n;
}

}  // namespace scan
