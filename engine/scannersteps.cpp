// The walk as the window sees it when worker threads read ahead: each step the
// one-thread walk takes in sight is queued and carried out in order once the
// files it tests have been read.
#include <fcntl.h>

#include "engine/scanner.h"

void Scanner::step(Step::Kind kind, const QString& path, int error) {
  if (!pool_) {
    switch (kind) {
      case Step::Kind::Yield:
        l_.yieldToEvents();
        break;
      case Step::Kind::Show:
        ++totals_.visited;
        l_.visiting(path);
        break;
      case Step::Kind::Unreadable:
        noteUnreadable(path, error);
        break;
      case Step::Kind::Test:  // tested at once by openFile
      case Step::Kind::ListingEnd:
        break;
    }
    return;
  }
  if (cut_)
    return;
  steps_.push_back(Step{kind, path, error});
  replay(false);
  // A long run of files out of scope behind a file being read.
  if (steps_.size() > kMaxSteps)
    replay(true);
}

void Scanner::replay(bool all) {
  if (all)
    pool_->finish();  // every file queued has been read
  while (!steps_.empty() && !cut_) {
    if (steps_.front().kind == Step::Kind::Test) {
      if (reads_.empty())
        return;  // still being read
      const Read r = std::move(reads_.front());
      reads_.pop_front();
      steps_.pop_front();
      ++totals_.tested;
      settle(scan::FileOutcome{r.path, r.times, r.result, r.identity, r.stats,
                               r.dir ? r.dir->fd() : AT_FDCWD, r.native, r.dir});
      continue;
    }
    const Step s = std::move(steps_.front());
    steps_.pop_front();
    switch (s.kind) {
      case Step::Kind::Yield:
        l_.yieldToEvents();
        stopSeen_ = stopSeen_ || l_.stopRequested();
        break;
      case Step::Kind::Show:
        ++totals_.visited;
        l_.visiting(s.path);
        break;
      case Step::Kind::Unreadable:
        noteUnreadable(s.path, s.error);
        break;
      case Step::Kind::ListingEnd:
        // After Stop the one-thread walk lists no further folder: what lies
        // beyond was only read ahead.
        if (stopSeen_) {
          cut_ = true;
          steps_.clear();
          reads_.clear();
          pool_->cancel();  // Stop ends the scan as promptly as on one thread
        }
        break;
      case Step::Kind::Test:
        break;
    }
  }
}
