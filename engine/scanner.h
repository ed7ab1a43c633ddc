// The scan, with no window: the directory walk, the file match and what the
// scan tells as it goes, to a listener. The window's Scan and Stop adapt it
// (window/windowscan.h); the command line and the watch listen to it directly.
#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/fd.h"
#include "platform/fs.h"
#include "scan/filematch.h"
#include "scan/matchpool.h"
#include "text/encoding.h"
#include "text/lineends.h"

struct ScanRequest {
  // What to look for: the signature as the signature rule gives it (trimmed,
  // lower case: text::signatureFrom), or a signature set's text
  // (text/signatureset.h). An empty one is refused.
  QString signature;
  // Where: a folder, a drive entry of `drives`, or msg::kAllDrives.
  QString location;
  // The drive list, in order: the roots of an all-drives scan.
  QStringList drives;
  // The file-type filter, entries separated by "|" (scan/filetypes.h).
  QString filter;
  // How many threads read and match files. The walk, what it tells and its
  // order are the same whatever the number.
  int threads = 1;
  text::Encoding encoding = text::Encoding::Auto;
  text::LineEnds lineEnds = text::LineEnds::Any;
};

// A file found infected, while it can still be opened as the file that was
// read: `name` below the directory `dirFd` (AT_FDCWD for a path).
struct ScanFound {
  const QString& path;
  platform::FileIdentity identity;
  int dirFd;
  const QByteArray& name;
  // Its lines in the results log: one per filter entry that the path holds.
  qsizetype times = 1;
};

// What a scan tells as it goes, in walk order whatever the number of threads.
class ScanListener {
 public:
  virtual ~ScanListener() = default;
  // What finishing or rolling back a clean cut short did, before the scan.
  virtual void note(const QString& text) = 0;
  // The scan begins: whatever the last one found is gone.
  virtual void starting() {}
  // The scan does not run, and why (no signature, a location that is no folder).
  virtual void refused(const QString& message) = 0;
  // The walk begins, with the filter list it applies.
  virtual void walking(const QStringList& fileTypes) { (void)fileTypes; }
  // The file being visited.
  virtual void visiting(const QString& path) { (void)path; }
  // A file found infected; each is told once, in log order.
  virtual void found(const ScanFound& file) = 0;
  // A file in scope that could not be read (a folder that could not be listed:
  // its path ends in "/"), and why: an errno.
  virtual void unreadable(const QString& path, int error) = 0;
  // A file the count read one way that holds the signature when read the
  // other way (`holdsIt`): not found, not cleaned, but not passed over in
  // silence either, since the scan could not tell which reading is the page's.
  virtual void otherReading(const QString& path, text::Encoding holdsIt) {
    (void)path;
    (void)holdsIt;
  }
  // Lets a user interface handle what is pending (repaint, a Stop click).
  virtual void yieldToEvents() {}
  // Asked on entering each folder and after each yield: after a stop, the walk
  // lists no further folder.
  virtual bool stopRequested() const { return false; }
};

class Scanner {
 public:
  explicit Scanner(ScanListener& listener) : l_(listener) {}

  // Runs a whole scan; false when it was refused (the listener heard why), or
  // while a scan is running: the walk it would interrupt must be able to go on
  // with its own listing.
  bool scan(const ScanRequest& request);
  bool isScanning() const { return scanning_; }

  // With several threads: read ahead of the matchers from the first file, not
  // only once the cache turns out cold (for tests and measurements).
  bool readAheadAlways = false;

  // What the last scan did, for reports.
  struct Totals {
    qint64 visited = 0;  // files shown
    qint64 tested = 0;   // files read, each once whatever its number of filter entries
    quint64 bytesRead = 0;
    qint64 found = 0;         // files logged, each once
    qint64 unreadable = 0;    // files and folders in scope that could not be read
    qint64 otherReading = 0;  // files that hold it only in the reading not taken
  };
  const Totals& totals() const { return totals_; }

  // When the last scan's signature has line breaks, tabs or spaces at its ends
  // (nearmiss::withoutEdgeBlanks; a set's text never has): how many files hold
  // it without them, those found included, counted in the scan's own walk.
  // Nothing otherwise, and when that scan was refused or stopped.
  std::optional<qint64> holdingWithoutEdgeBlanks() const { return holdingBare_; }

  using Found = ScanFound;

  // When the last scan walked something at the backup store's place that is not
  // the store: the message saying so; empty otherwise.
  const QString& storeNotSkipped() const { return storeNotSkipped_; }

  // The one message about the files the scan could not read: their number and
  // the first few paths.
  static QString unreadableMessage(const QStringList& paths);
  // The same for the files that hold the signature in the other reading only.
  static QString otherReadingMessage(const QStringList& paths);

  // The folder a location box's text names (a drive entry as its root), as the
  // scan takes it; empty for all drives.
  static QString locationFolder(const QString& location);

  // The walk of one directory tree; `folder` ends in "/".
  void walk(const QString& folder, const QString& signature);

 private:
  // The walks the location asks for; false when it is no folder.
  bool walkLocation(const QString& signature);
  void prepareSkips(const QStringList& allDriveRoots, const QString& currentRoot);
  // The names of the subdirectories a listing found, to be walked after it, in
  // order, with the directory the listing found under each name.
  using Pending = std::vector<std::pair<QString, platform::FileIdentity>>;
  // A folder being walked: the subdirectories its listing found and the next to walk.
  struct Level {
    Pending pending;
    std::size_t next = 0;
    qsizetype pathSize = 0;                      // of the directory's path in `path`
    std::shared_ptr<platform::UniqueFd> anchor;  // what its subdirectories are opened below
    qsizetype anchorSize = 0;                    // the length of the anchor's path
  };
  // Lists and tests the subdirectory `name` of `top`, its path left in `path`;
  // its level, unless it could not be opened.
  std::optional<Level> descend(const Level& top, const QString& name,
                               const platform::FileIdentity& listedAs, QString& path,
                               const QString& signature);
  // Yields, shows and tests the files of one listing; returns its subdirectories.
  Pending listAndTest(const QString& folder, const QString& signature,
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
  bool stopSeen_ = false;   // a yield found a stop requested
  bool cut_ = false;        // the one-thread walk would have ended here
  // The walk may run this many steps ahead before it waits for the files it queued.
  static constexpr std::size_t kMaxSteps = 16384;
  // Tests one file, the entry `name` of the open directory `dir` that the walk is
  // listing (so that the file read is the one listed, whatever became of its
  // path), and logs it `times` times (once per filter entry that the path holds)
  // when it is infected. It is read once whatever `times` is.
  void openFile(const QString& path, const QString& signature, qsizetype times,
                const std::shared_ptr<const platform::OpenDirectory>& dir, const QString& name);
  void prepareMatcher(const QString& signature);
  // The matcher for `signature`, which also tells the files that hold it
  // without its edge blanks.
  void makeMatcher(const QString& signature);

  ScanListener& l_;
  ScanRequest request_;
  QStringList fileTypes_;
  bool scanning_ = false;
  std::optional<scan::SignatureMatcher> matcher_;
  QString matcherFor_;
  // During a scan on several threads: the files being read, logged in walk order.
  std::optional<scan::OrderedMatchPool> pool_;
  Totals totals_;
  // The files that held the signature without its edge blanks so far, and
  // what holdingWithoutEdgeBlanks() gives once the scan is through.
  qint64 holdingBareSoFar_ = 0;
  std::optional<qint64> holdingBare_;
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
