// The way back from the window: the clean runs kept in the backup store, the
// removal of one, and its restore, which works on the main window's state as the
// clean does (the current file shown, a log in the results box, one message for
// what failed). The restore is the command line's: clean/restore.h.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <vector>

#include "clean/restore.h"
#include "window/windowstate.h"

class Restorer {
 public:
  explicit Restorer(WindowState& state) : w_(state) {}

  // One clean run of the store.
  struct Run {
    QByteArray name;
    QDateTime started;              // local time
    QString folder;                 // the common folder of its files, as a line of the log
    qsizetype files = 0;            // files whose originals it kept
    qsizetype cleaned = 0;          // files it changed: cleaned or quarantined
    qsizetype quarantined = 0;      // of those, files it took out whole
    qsizetype done = 0;             // files it came through (changed, or nothing to remove)
    qint64 bytes = 0;               // what its backups take in the store
    bool complete = false;          // it came to its end
    bool repaired = false;          // cut short, and dealt with by a later run
    bool restored = false;          // a restore put every file back
    std::vector<QByteArray> paths;  // its files, in list order
    bool restorable() const { return files > 0; }
    // What became of it: "完整", "未完成", "已恢复", "失败" (it changed nothing) or
    // "正在进行".
    QString state() const;
  };
  struct Store {
    int error = 0;          // 0, or the errno of opening the store (ENOENT: none yet)
    std::vector<Run> runs;  // newest first
    qint64 bytes = 0;       // what the store takes on disk, every run included
  };
  // Repairs what runs cut short left first (a note says what was done), then
  // lists the store.
  Store store();

  // Whether a restore put every file of run `name` back (from any window or the
  // command line).
  static bool wasRestored(const QByteArray& name);

  // Removes a run's backups: 0, or errno (EBUSY: the run is still going).
  static int remove(const Run& run);

  // Puts back the originals of the clean run `name` (the latest that kept any,
  // when empty): asks first; files edited since the clean are named and left
  // unless the user agrees to overwrite them. The results box gets the restore
  // log, ended by a summary line. Returns whether the restore ran.
  bool restore(const QByteArray& name = {});
  // Whether the last restore put back every file of its run.
  bool allBack() const { return allBack_; }

 private:
  void note(const QString& text);
  // Files changed since the clean: overwritten only when the user says so, and
  // only those the question named, as they were; their results in `report` are
  // then the forced ones.
  void forceEdited(clean::RestoreReport& report, const clean::RestoreOptions& options,
                   const QByteArray& run);
  // The restore log in the results box, and a message when files failed.
  void showResults(const clean::RestoreReport& report);
  WindowState& w_;
  bool allBack_ = false;
};
