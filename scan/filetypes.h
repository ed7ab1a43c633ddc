#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

namespace scan {

// The entry that "全部文件" becomes: every file, whether or not its path holds a
// dot. No other entry holds a "*".
inline constexpr QStringView kEveryFile = u"*";

// The filter box's text as a list of lower-case path fragments: cut at "|",
// every "*" dropped, "全部文件" meaning every file (kEveryFile). Empty entries
// keep their place.
QStringList parseFileTypes(QStringView filterText);

// How many non-empty filter entries occur in `path`. Both are compared in lower
// case (text::lowerCase, as the content), so INDEX.PHP is a ".php" file.
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
  // Whether an entry occurs in the folder's path or is kEveryFile.
  std::vector<bool> inFolder_;
  // Per entry, the lengths k of its beginnings that end the folder: an
  // occurrence across the border needs the name to start with the rest.
  std::vector<std::vector<qsizetype>> borders_;
};

}  // namespace scan
