// The check shared by the kill -9 tests: once a killed clean has been recovered,
// restoring its run puts back or leaves alone every file it holds.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>

#include <cerrno>
#include <string>

#include "clean/restore.h"

namespace hostile {

// Restores the latest clean run. `states` holds one 'o' per file still old; a
// run killed before its first record has nothing to restore, and then every
// file must be old. False when there was no run (or it failed to restore).
inline bool restoresLatestRun(const QByteArray& states, const std::string& label) {
  const clean::RestoreReport r = clean::restoreRun({});
  if (r.error == ENOENT) {  // killed before the run's first record
    EXPECT_EQ(states, QByteArray(states.size(), 'o')) << label;
    return false;
  }
  EXPECT_EQ(r.error, 0) << label;
  if (r.error != 0)
    return false;
  for (const clean::RestoredFile& f : r.files) {
    EXPECT_TRUE(f.result == clean::RestoredFile::Result::Restored ||
                f.result == clean::RestoredFile::Result::Unchanged)
        << label << " " << f.path.constData() << " " << clean::resultText(f).toStdString();
  }
  return true;
}

}  // namespace hostile
