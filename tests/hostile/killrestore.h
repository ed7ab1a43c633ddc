// The check shared by the kill -9 tests: once a killed clean has been recovered,
// restoring its run puts back or leaves alone every file it holds.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>

#include <cerrno>
#include <functional>
#include <string>

#include "clean/restore.h"

namespace hostile {

// Runs `work` in a child, which writes one byte to the descriptor it is given
// for each file it is done with, and kills it (kill -9) once `after` files are
// done and `delayUs` more microseconds have gone by. False when the child
// ended first.
inline bool runKilled(const std::function<int(int progress)>& work, int after, int delayUs) {
  int progress[2];
  if (::pipe(progress) != 0)
    return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(progress[0]);
    ::_exit(work(progress[1]));
  }
  ::close(progress[1]);
  char c;
  for (int seen = 0; seen < after && ::read(progress[0], &c, 1) == 1;)
    ++seen;
  const struct timespec d { 0, long(delayUs) * 1000 };
  ::nanosleep(&d, nullptr);
  ::kill(pid, SIGKILL);
  ::close(progress[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

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
