// The scan: Scan and Stop, the directory walk, the file match and the hand-off of
// the results, working on the main window's state.
#pragma once

#include <QSet>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

#include "app/windowstate.h"
#include "platform/fs.h"
#include "scan/filematch.h"
#include "scan/matchpool.h"

class Scanner {
 public:
  explicit Scanner(WindowState& state) : w_(state) {}

  // Scan. Refused (does nothing) while a scan is running: the walk it would
  // interrupt must be able to go on with its own listing.
  void Command1_Click();
  // Stop: the walk stops listing new directories.
  void Command7_Click() { w_.ScanFlag = false; }

  bool isScanning() const { return scanning_; }

  // The walk of one directory tree; `ApPath` ends in "/".
  void SonMuLu(const QString& ApPath, const QString& GJZ);
  // Shows the file being visited, as its one line (platform/pathline.h).
  void LabelTxt(const QString& t);
  // Tests one file and logs its path `times` times (once per filter entry that the
  // path holds) when it is infected. The file is read once whatever `times` is.
  void OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times = 1);
  // Copies the results log into the results list, or says that nothing was found.
  void ToFRM2();

 private:
  void prepareSkips(const QStringList& allDriveRoots, const QString& currentRoot);
  // The subdirectories a listing found, to be walked after it, in order.
  using Pending = std::vector<std::pair<QString, platform::FileIdentity>>;
  // The walk below the start directory: `listedAs` is the directory that the
  // parent's listing found, which the path must still lead to.
  void SonMuLu(const QString& ApPath, const QString& GJZ, const platform::FileIdentity& listedAs);
  // Yields, shows and tests the files of one listing; returns its subdirectories.
  // Kept out of line so that its locals are not on the stack once per level.
  [[gnu::noinline]] Pending listAndTest(const QString& ApPath, const QString& GJZ,
                                        std::shared_ptr<const platform::OpenDirectory> dir);
  // OpenFiles for the file `name` of the open directory `dir`, which the walk is
  // listing: the file read is the one listed, whatever became of its path.
  void OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times,
                 const std::shared_ptr<const platform::OpenDirectory>& dir, const QString& name);
  void prepareMatcher(const QString& GJZ);
  void logDetection(const QString& NameX, qsizetype times, const platform::FileIdentity& identity);

  WindowState& w_;
  bool scanning_ = false;
  std::optional<scan::SignatureMatcher> matcher_;
  QString matcherFor_;
  // During a scan on several threads: the files being read, logged in walk order.
  std::optional<scan::OrderedMatchPool> pool_;
  // The walk's start directory, open while the walk is below it, and its path.
  int startFd_ = -1;
  QString startPath_;
  // Directories (ending in "/") that the walk never enters: pseudo file systems,
  // and during an all-drives scan the other drives' mount points, which are walked
  // as drives of their own.
  QSet<QString> skipDirs_;
};
