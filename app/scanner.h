// The scan: Scan and Stop, the directory walk, the file match and the hand-off of
// the results, working on the main window's state.
#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/windowstate.h"
#include "platform/fd.h"
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

  // With several threads: read ahead of the matchers from the first file, not
  // only once the cache turns out cold (for tests and measurements).
  bool readAheadAlways = false;

  // What the last scan did, for reports.
  struct Totals {
    qint64 visited = 0;  // files shown
    qint64 tested = 0;   // files read, each once whatever its number of filter entries
    quint64 bytesRead = 0;
    qint64 found = 0;       // files logged, each once
    qint64 unreadable = 0;  // files and folders in scope that could not be read
  };
  const Totals& totals() const { return totals_; }

  // A file found infected, while it can still be opened as the file that was
  // read: `name` below the directory `dirFd` (AT_FDCWD for a path).
  struct Found {
    const QString& path;
    platform::FileIdentity identity;
    int dirFd;
    const QByteArray& name;
  };
  // Called for every file logged, once, in log order (for the command line's report).
  std::function<void(const Found&)> onFound;

  // A signature set's text (app/signatureset.h), searched instead of the
  // signature box's text when not empty.
  void setSignatureSet(const QString& setText) { signatureSet_ = setText; }

  // When the last scan walked something at the backup store's place that is not
  // the store: the message saying so; empty otherwise.
  const QString& storeNotSkipped() const { return storeNotSkipped_; }

  // The one message about the files the scan could not read: their number and
  // the first few paths.
  static QString unreadableMessage(const QList<WindowState::Unreadable>& files);

  // The walk of one directory tree; `ApPath` ends in "/".
  void SonMuLu(const QString& ApPath, const QString& GJZ);
  // Shows the file being visited, as its one line (platform/pathline.h).
  void LabelTxt(const QString& t);
  // Tests one file and logs its path `times` times (once per filter entry that the
  // path holds) when it is infected. The file is read once whatever `times` is.
  void OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times = 1);
  // Copies the results log into the results list, or says that nothing was found
  // (or, after Stop, nothing up to then).
  void ToFRM2();

  // The folder a location box's text names (a drive entry as its root), as the
  // scan takes it; empty for all drives.
  static QString locationFolder(const QString& location);

 private:
  QString signatureSet_;
  void prepareSkips(const QStringList& allDriveRoots, const QString& currentRoot);
  // The names of the subdirectories a listing found, to be walked after it, in
  // order, with the directory the listing found under each name.
  using Pending = std::vector<std::pair<QString, platform::FileIdentity>>;
  // Yields, shows and tests the files of one listing; returns its subdirectories.
  Pending listAndTest(const QString& ApPath, const QString& GJZ,
                      std::shared_ptr<const platform::OpenDirectory> dir);
  // Opens a directory, waiting out a shortage of descriptors: the files queued
  // for the reading threads are finished first, which closes their directories;
  // then a few waits, half a second in all.
  std::shared_ptr<const platform::OpenDirectory> openPatiently(
      const std::function<std::shared_ptr<const platform::OpenDirectory>()>& open);
  // Settles one file read: logged, counted as unreadable, or neither.
  void settle(const scan::FileOutcome& file);
  void noteUnreadable(const QString& path, int error);

  // With worker threads the walk runs ahead of what the user sees: each thing the
  // one-thread walk does in sight (a yield, the file shown, a file tested, a folder
  // that could not be read, the end of a listing) is queued as a step, and the
  // steps are carried out in order as soon as the files they test have been read.
  // The window thus sees exactly the one-thread walk. A Stop seen at a yield ends
  // the scan where that walk would have ended: at the end of the listing, after
  // which it lists no folder. Whatever the walk had done beyond it is dropped
  // unseen. Without worker threads each step is carried out at once.
  struct Step {
    enum class Kind { Yield, Show, Test, Unreadable, ListingEnd } kind;
    QString path;
    int error = 0;  // Unreadable
  };
  void step(Step::Kind kind, const QString& path = {}, int error = 0);
  // Carries out the steps whose files have been read; with `all`, waits for them.
  void replay(bool all);
  // A file read on a worker thread, kept until its Test step is carried out. Its
  // folder stays open with it.
  struct Read {
    QString path;
    qsizetype times;
    scan::MatchResult result;
    platform::FileIdentity identity;
    scan::ReadStats stats;
    std::shared_ptr<const platform::OpenDirectory> dir;
    QByteArray native;
  };
  void yieldStep();
  std::deque<Step> steps_;
  std::deque<Read> reads_;  // in the order of the Test steps
  bool stopSeen_ = false;   // a yield found ScanFlag down
  bool cut_ = false;        // the one-thread walk would have ended here
  // The walk may run this many steps ahead before it waits for the files it queued.
  static constexpr std::size_t kMaxSteps = 16384;
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
  Totals totals_;
  // Directories (ending in "/") that the walk never enters: pseudo file systems,
  // and during an all-drives scan the other drives' mount points, which are walked
  // as drives of their own.
  QSet<QString> skipDirs_;
  // The backup store, which holds the originals of cleaned files: walking it would
  // list them as infected, and a clean would then spoil the way back.
  std::optional<platform::FileIdentity> storeId_;
  QString storeNotSkipped_;
  // What the store's path leads to when it is not a genuine store, and whether
  // the walk reached it.
  std::optional<platform::FileIdentity> falseStoreId_;
  bool falseStoreWalked_ = false;
  QString storeRefusal_;
  // Finds the store (clean/backupstore.h), once a scan.
  void lookUpStore();
};
