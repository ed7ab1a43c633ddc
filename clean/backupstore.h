// The backup store: a copy of every file a clean rewrites, taken before any of
// its bytes change, and a manifest of what the run did, so that the clean can be
// undone (restore) and a run cut short by a crash can be finished or rolled
// back by the next one.
//
// Where: $XDG_DATA_HOME/tervane/backups (when XDG_DATA_HOME is an absolute path),
// otherwise ~/.local/share/tervane/backups; the folders are created with mode
// 0700 and must belong to the running user. Each run gets a folder named for
// the time it started (UTC, to the microsecond) and a random suffix, so names
// sort in time order and never collide. In it:
// - manifest.jsonl: JSON Lines, one object per record, appended and flushed to
//   disk as the run goes (see the records in storelayout.h); a last line cut
//   short by a crash is ignored by readers;
// - 000000, 000001, ...: the copies, named by the file's place in the list.
//
// Everything in the store is reached through the store's own descriptors,
// created exclusively and never through a link; each copy and its manifest
// record are on disk before the file they protect is touched.
#pragma once

#include <sys/stat.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>
#include <vector>

#include "clean/rewrite.h"
#include "platform/fd.h"

namespace clean {

// The store's path; empty when neither XDG_DATA_HOME nor HOME says where it is.
QByteArray backupStorePath();

// The store's folder, open.
class Store {
 public:
  // 0 or errno. With `create`, missing folders are made (0700).
  [[nodiscard]] int open(bool create);
  int fd() const { return fd_.get(); }
  const QByteArray& path() const { return path_; }
  // The runs' folder names, oldest first.
  std::vector<QByteArray> runs() const;

 private:
  platform::UniqueFd fd_;
  QByteArray path_;
};

// What lies at the store's place, for the scan, which skips the store: the
// store's identity when a genuine store is there (opened as Store opens it).
// `refusal`: the errno why what is there is not taken for the store (a link on
// the way, a folder of another owner or open to others); 0 when nothing is there.
struct StoreLookup {
  QByteArray path;
  std::optional<platform::FileIdentity> identity;
  int refusal = 0;
};
StoreLookup lookUpStore();

enum class RunKind { Clean, Restore };

// What a run's manifest says about one file of its list.
struct FileRecord {
  int n = -1;
  QByteArray path;  // as listed; relative paths count from the run's `cwd`
  quint64 dev = 0, ino = 0;
  qint64 size = 0;
  uint mode = 0, uid = 0, gid = 0;
  qint64 mtimeSec = 0, mtimeNsec = 0;
  QByteArray sha256, sha256Cleaned;  // hex; empty when not recorded
  QByteArray copy;                   // the copy's name in the run folder, or empty
  QByteArray temp;                   // the new file's name beside the file
  bool inPlace = false;              // an in-place rewrite was started
  QByteArray copySha256;             // hex, of the copy it started from; empty in
                                     // manifests written before it was recorded
  bool quarantine = false;           // to be quarantined: the name is removed, not rewritten
  QString outcome;                   // "cleaned", "unchanged", "quarantined", "restored",
                                     // "failed"; empty: none
  QString reason;
  std::optional<platform::FileIdentity> after;  // the file at the path afterwards
};

struct RunManifest {
  QByteArray name;
  RunKind kind = RunKind::Clean;
  QString started;  // ISO 8601, UTC
  QString signature;
  QByteArray cwd;                 // empty when the run could not record it
  bool full = true;               // a copy of every file was kept
  bool ended = false;             // the run came to its end (finished or stopped at a failure)
  bool recovered = false;         // a later run dealt with what this one left unfinished
  bool restored = false;          // a restore put every file of it back
  std::vector<FileRecord> files;  // in list order
  qint64 copyBytes = 0;           // the size of the copies kept
  qint64 storedBytes = 0;         // what its folder takes on disk, manifest included
};

// Reads a run's manifest; nothing when the run folder or its manifest cannot be
// read. `storeFd`: the store's folder.
std::optional<RunManifest> readRun(int storeFd, const QByteArray& name);

// When a run started, as the window and the command line show it: local time,
// to the second.
QString shownTime(const QDateTime& started);

// Appends a record of `type`, stamped with the time, to the open manifest
// `manifest` and flushes it. 0 or errno.
int appendMark(int manifest, QStringView type);

// Removes a run's folder and everything in it. 0 or errno.
int removeRun(int storeFd, const QByteArray& name);

// The path a record names, made absolute with the run's folder of origin; empty
// for a relative path when the run recorded no folder.
QByteArray absolutePath(const RunManifest& run, const FileRecord& file);

// One run's record in the store, made as the run goes; it keeps each file for
// the rewrite (see Keeper).
class BackupRun final : public Keeper {
 public:
  // `full`: a copy of every file is kept (the clean's backups). Otherwise only
  // the journal and copies of files rewritten in place are written, and the run
  // folder goes when the run ends.
  BackupRun(RunKind kind, bool full, QStringView signature);
  ~BackupRun() override;
  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;

  // The next file of the list is `path` (its bytes as listed); gives its
  // number, for the calls that follow about it.
  int next(const QByteArray& path);
  [[nodiscard]] int before(int file, int fd, const struct stat& st, const QByteArray& tempName,
                           const Steps& steps) override;
  [[nodiscard]] int beforeInPlace(int file, int fd, const struct stat& st, const Steps& steps,
                                  platform::UniqueFd& copy, QByteArray& copyPath) override;
  [[nodiscard]] int beforeQuarantine(int file, int fd, const struct stat& st,
                                     const QByteArray& tempName, const Steps& steps) override;
  void holdSyncs(bool hold) override;
  [[nodiscard]] HeldSync syncHeld() override;
  // What became of a file (-1: the last one); `after`: the file now at its path.
  void outcome(int file, const CleanResult& result, const platform::FileIdentity& after,
               const QString& reason = {});
  void outcome(const CleanResult& result, const platform::FileIdentity& after,
               const QString& reason = {}) {
    outcome(-1, result, after, reason);
  }
  // The file was kept but never changed: the run stopped at an earlier one.
  void notReached(int file);
  // The run has ended; `stopped`: at a failure.
  void finish(bool stopped);

  // The run folder's name; empty until the first file made it.
  const QByteArray& name() const { return name_; }
  // The run folder's name for the next run made, instead of a new one (tests).
  static std::function<QByteArray()> nameForTests;

 private:
  // What the run knows of one file of the list until its outcome.
  struct Entry {
    int n = -1;
    QByteArray path;
    bool hasCopy = false;
    bool inPlace = false;
    bool recorded = false;             // its file record is written or held
    QByteArray sha, cleanedSha;        // of its content and its cleaned form
    const Steps* heldSteps = nullptr;  // its steps, while its flushes are held
  };

  int start();
  // The file's copy and record (before() and beforeQuarantine()).
  int keep(int file, int fd, const struct stat& st, const QByteArray& tempName, const Steps& steps,
           bool quarantine);
  int append(const QJsonObject& record, bool sync);
  Entry* entry(int file);
  // A copy of the file's content as the entry's copy; flushed to disk unless
  // `flush` is false.
  int writeCopy(Entry& e, int fd, const Steps& steps, bool flush);
  static QByteArray copyName(int n);

  RunKind kind_;
  bool full_;
  QString signature_;
  Store store_;
  platform::UniqueFd run_;
  platform::UniqueFd manifest_;
  QByteArray name_;
  QByteArray cwd_;  // the working folder recorded; empty when it could not be named
  int n_ = -1;
  std::vector<Entry> entries_;  // the files without an outcome yet, in list order
  bool hold_ = false;
  QByteArray held_;  // records not yet written, while flushes are held
  std::vector<int> heldFiles_;
  bool damaged_ = false;
};

// The name of a run folder for a run starting now.
QByteArray newRunName();

}  // namespace clean
