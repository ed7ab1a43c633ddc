// What a run cut short (killed, a crash, a power cut) leaves, and how the next
// clean, restore or scan deals with it: a file being written in place is put
// back from its copy in the backup store (the rewrite can have reached any
// byte, so only the copy is sure) unless it holds its recorded content already,
// and only from a copy that holds that content; and the new files it had begun beside the
// listed ones are removed. Files that are replaced by a rename are always
// either old or new and need nothing. A run still going (another process) is
// left alone.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace clean {

struct RecoveryNote {
  enum class What {
    RolledBack,        // the file holds its content from before the rewrite again
    TempRemoved,       // a new file begun beside it was removed
    CouldNotRollBack,  // the file may be damaged; its content is in `copy`
    CopyDoesNotMatch,  // the copy does not hold what the run recorded: not written
                       // back; the file may be damaged, the copy is in `copy`
  };
  What what = What::RolledBack;
  QByteArray path;  // the file, or the temporary file removed
  QByteArray copy;  // for CouldNotRollBack: where the content is kept
  int error = 0;
};

// Deals with every run in the backup store that was cut short and not dealt
// with yet; marks each as dealt with.
std::vector<RecoveryNote> recoverInterrupted();

// The message that tells the user what was done; empty for no notes.
QString recoveryMessage(const std::vector<RecoveryNote>& notes);

}  // namespace clean
