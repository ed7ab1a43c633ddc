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
      e = kEveryFile.toString();
  }
  return entries;
}

namespace {

// A plain search: with a short entry and a path, it beats the general one,
// and it runs once per entry for every file of a scan.
bool occursIn(QStringView path, QStringView entry) {
  if (entry == kEveryFile)
    return true;
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
  const QString lower = text::lowerCase(path);
  qsizetype n = 0;
  for (const QString& e : fileTypes) {
    if (!e.isEmpty() && occursIn(lower, e))
      ++n;
  }
  return n;
}

FolderFilter::FolderFilter(const QStringList& fileTypes, QStringView folderAsSpelled)
    : fileTypes_(fileTypes) {
  const QString folder = text::lowerCase(folderAsSpelled);
  inFolder_.reserve(std::size_t(fileTypes.size()));
  borders_.resize(std::size_t(fileTypes.size()));
  for (qsizetype i = 0; i < fileTypes.size(); ++i) {
    const QStringView e = fileTypes[i];
    inFolder_.push_back(!e.isEmpty() && occursIn(folder, e));
    for (qsizetype k = 1; k < e.size(); ++k) {
      if (folder.endsWith(e.first(k)))
        borders_[std::size_t(i)].push_back(k);
    }
  }
}

qsizetype FolderFilter::count(QStringView nameAsSpelled) const {
  // Lower case goes character by character, so the folder's and the name's
  // lower cases joined are the whole path's.
  const QString name = text::lowerCase(nameAsSpelled);
  qsizetype n = 0;
  for (qsizetype i = 0; i < fileTypes_.size(); ++i) {
    const QStringView e = fileTypes_[i];
    if (e.isEmpty())
      continue;
    if (inFolder_[std::size_t(i)] || occursIn(name, e)) {
      ++n;
      continue;
    }
    for (qsizetype k : borders_[std::size_t(i)]) {
      if (name.startsWith(e.sliced(k))) {
        ++n;
        break;
      }
    }
  }
  return n;
}

}  // namespace scan
