#include "clean/restorebatch.h"

#include <utility>
#include <vector>

#include "clean/failures.h"

namespace clean {
namespace {

Options sharedOptions(BackupRun& journal, const Fault& fault) {
  Options o;
  o.keeper = &journal;
  o.fault = fault;
  return o;
}

}  // namespace

Rewriter::Rewriter(BackupRun& journal, const Fault& fault, RestoreReport& report, bool& stopped)
    : journal_(journal),
      report_(report),
      stopped_(stopped),
      shared_(sharedOptions(journal, fault)),
      batch_({}, shared_) {}

void Rewriter::add(OriginalWrite write) {
  todo_.push_back(std::move(write));
  drain();
}

void Rewriter::finish() {
  while (!queued_.empty() || !todo_.empty()) {
    commit();
    drain();
  }
}

void Rewriter::failedAt(const OriginalWrite& w, const Failure& why) {
  report_.files[w.index].result = RestoredFile::Result::Failed;
  report_.files[w.index].reason = reasonText(why);
  stopped_ = true;
}

void Rewriter::commit() {
  const std::vector<Batch::Done> done = batch_.commit();
  std::deque<OriginalWrite> again;
  for (std::size_t i = 0; i < done.size(); ++i) {
    OriginalWrite& w = queued_[i];
    if (done[i].kind == Batch::Done::Kind::NotReached) {
      // Left as it was because an earlier file failed: tried again.
      journal_.notReached(w.journalFile);
      again.push_back(std::move(w));
      continue;
    }
    const CleanResult result = done[i].result();
    journal_.outcome(w.journalFile, result, done[i].cleanedAs);
    if (!result.ok())
      failedAt(w, result.failure());
  }
  queued_.clear();
  while (!again.empty()) {
    todo_.push_front(std::move(again.back()));
    again.pop_back();
  }
}

void Rewriter::drain() {
  while (!todo_.empty()) {
    queued_.push_back(std::move(todo_.front()));
    todo_.pop_front();
    OriginalWrite& w = queued_.back();
    w.options.keeper = &journal_;
    w.options.contentFrom = w.copy.get();
    w.options.mtime = &w.mtime;
    w.options.ownership = &w.ownership;
    w.journalFile = journal_.next(w.path);
    const Batch::Add added = batch_.add(w.path, w.readAs, w.journalFile, &w.options);
    if (added.added == Batch::Added::Yes)
      continue;
    OriginalWrite back = std::move(queued_.back());
    queued_.pop_back();
    if (added.added == Batch::Added::Later) {
      journal_.notReached(back.journalFile);
      todo_.push_front(std::move(back));
      commit();
      continue;
    }
    journal_.outcome(back.journalFile, CleanResult::failed(added.failure), {});
    failedAt(back, added.failure);
  }
}

}  // namespace clean
