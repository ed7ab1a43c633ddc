#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

namespace scan {

// The filter box's text as a list of lower-case path fragments: cut at "|",
// every "*" dropped, "全部文件" meaning ".". Empty entries keep their place.
QStringList parseFileTypes(QStringView filterText);

// How many non-empty filter entries occur in `path` (compared as spelled).
qsizetype countMatchingEntries(const QStringList& fileTypes, QStringView path);

// The same count for the files of one folder, `folder` + name: whether an entry
// occurs in the folder's own path is settled once, so each file costs a look at
// its name and at the folder's last characters only.
class FolderFilter {
 public:
  // Both must outlive the filter.
  FolderFilter(const QStringList& fileTypes, QStringView folder);
  qsizetype count(QStringView name) const;

 private:
  const QStringList& fileTypes_;
  std::vector<bool> inFolder_;
  // Per entry, the lengths k of its beginnings that end the folder: an
  // occurrence across the border needs the name to start with the rest.
  std::vector<std::vector<qsizetype>> borders_;
};

}  // namespace scan
