#include "engine/cleanrun.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "clean/cleaning.h"
#include "clean/journal.h"
#include "clean/occurrences.h"
#include "platform/pathline.h"
#include "text/signatureset.h"

CleanRun::CleanRun(const CleanRequest& request, OnResult onResult)
    : onResult_(std::move(onResult)),
      keepGoing_(request.keepGoing),
      goOnAfter_(request.goOnAfter),
      signature_(request.signature),
      quarantineAll_(request.quarantine),
      mayQuarantine_(clean::mayQuarantine(request.signature, request.quarantine)),
      options_(request.options) {
  // A run cut short before is finished or rolled back before this one starts.
  recoveryNote_ = clean::recoveryMessage(clean::recoverInterrupted());
  options_.encoding = request.encoding;
  options_.lineEnds = request.lineEnds;
  backup_ =
      std::make_unique<clean::BackupRun>(clean::RunKind::Clean, request.keepBackups, signature_);
  options_.keeper = backup_.get();
  batch_ = std::make_unique<clean::Batch>(signature_, options_, request.batchSize);
}

CleanRun::~CleanRun() {
  close(true);
}

void CleanRun::close(bool stopped) {
  // The batch and what it keeps are gone before the backup run is closed.
  batch_.reset();
  if (!backup_)
    return;
  backup_->finish(stopped);
  backupName_ = backup_->name();
  backup_.reset();
}

bool CleanRun::stop() {
  close(true);
  return false;
}

void CleanRun::report(const CleanedFile& result) {
  if (onResult_)
    onResult_(result);
}

bool CleanRun::add(const FileToClean& file) {
  if (stopped_ || !batch_ || !drainAgain())
    return false;
  return addPending(Pending{file.path, platform::lineOfBytes(file.path), file.scannedAs});
}

bool CleanRun::addNotAPath(const QString& line) {
  if (stopped_ || !batch_ || !commit() || !drainAgain())
    return stopped_ ? stop() : false;
  CleanedFile result;
  result.line = line;
  result.notAPath = true;
  result.outcome = CleanedFile::Outcome::Failed;
  result.failure.reason = clean::Reason::NotAFilePath;
  report(result);
  return goesOnAfter(result) || stop();
}

bool CleanRun::goesOnAfter(const CleanedFile& failed) {
  if (goOnAfter_ ? goOnAfter_(failed) : keepGoing_) {
    failures_.push_back(failed);
    return true;
  }
  if (!stopped_)
    stopped_ = failed;
  return false;
}

bool CleanRun::finish(bool cutShort) {
  if (!stopped_ && batch_) {
    do {
      if (!commit() || !drainAgain())
        break;
    } while (!pending_.empty() || !again_.empty());
  }
  close(cutShort || stopped_.has_value());
  return !stopped_;
}

bool CleanRun::drainAgain() {
  while (!again_.empty()) {
    Pending p = std::move(again_.front());
    again_.pop_front();
    p.slot = -1;
    if (!addPending(std::move(p)))
      return false;
  }
  return true;
}

bool CleanRun::listedBefore(const QByteArray& path) const {
  return handled_.contains(path) ||
         std::any_of(pending_.begin(), pending_.end(),
                     [&](const Pending& q) { return q.slot >= 0 && q.path == path; });
}

bool CleanRun::addPending(Pending p) {
  // A path listed twice (a file that matched two filter entries) is one file:
  // it is rewritten and kept once, whatever the number of its lines.
  if (listedBefore(p.path)) {
    pending_.push_back(std::move(p));
    return true;
  }
  p.file = backup_->next(p.path);
  bool taken = false;
  if (mayQuarantine_ && !quarantineIfHeld(p, taken)) {
    backup_->notReached(p.file);
    return stop();
  }
  if (taken)
    return !stopped_ || keepGoing_ || stop();
  if (!placeInBatch(p)) {
    backup_->notReached(p.file);
    return stop();
  }
  return !stopped_ || stop();
}

bool CleanRun::quarantineIfHeld(Pending& p, bool& taken) {
  // Opened and checked as the batch would, then read for what it holds. A file
  // refused here is refused by the batch in its turn, for the same reason.
  clean::Cleaning file(p.path, signature_, options_, p.scannedAs, p.file);
  if (!file.open().ok())
    return true;
  std::optional<std::uint32_t> member;
  const int error = file.quarantineMember(quarantineAll_, member);
  if (error == 0 && !member)
    return true;
  taken = true;
  // What is in the batch comes before it in the list.
  if (!commit())
    return false;
  const clean::CleanResult result =
      error != 0 ? clean::CleanResult::failed(clean::systemFailure(error)) : file.quarantine();
  backup_->outcome(p.file, result, {});
  CleanedFile done;
  done.path = p.path;
  done.line = p.line;
  if (!result.ok()) {
    done.outcome = CleanedFile::Outcome::Failed;
    done.failure = result.failure();
    report(done);
    failedAt(p, result.failure());
    return true;
  }
  handled_.insert(p.path, std::nullopt);
  done.quarantined = true;
  if (text::isSignatureSet(signature_))
    done.quarantinedFor = text::unpackSignatureSet(signature_).at(*member).name;
  done.otherNames = qint64(file.opened().st_nlink) - 1;
  report(done);
  return true;
}

// False when the run stops before the file is in the batch; a file refused at
// once is reported here.
bool CleanRun::placeInBatch(Pending& p) {
  for (;;) {
    const clean::Batch::Add added = batch_->add(p.path, p.scannedAs, p.file);
    if (added.added == clean::Batch::Added::Yes) {
      p.slot = int(pending_.size());
      for (const Pending& q : pending_)
        p.slot -= q.slot < 0 ? 1 : 0;
      pending_.push_back(std::move(p));
      return true;
    }
    // Later (the batch first) or Failed: what is in the batch goes before it.
    if (!commit())
      return false;
    if (added.added == clean::Batch::Added::Failed) {
      const clean::CleanResult result = clean::CleanResult::failed(added.failure);
      backup_->outcome(p.file, result, {});
      CleanedFile failed;
      failed.path = p.path;
      failed.line = p.line;
      failed.outcome = CleanedFile::Outcome::Failed;
      failed.failure = added.failure;
      report(failed);
      failedAt(p, added.failure);
      return true;
    }
  }
}

void CleanRun::failedAt(const Pending& p, const clean::Failure& why) {
  handled_.insert(p.path, why);
  CleanedFile failed;
  failed.path = p.path;
  failed.line = p.line;
  failed.outcome = CleanedFile::Outcome::Failed;
  failed.failure = why;
  goesOnAfter(failed);
}

bool CleanRun::commit() {
  const std::vector<clean::Batch::Done> done = batch_->commit();
  bool failed = false;
  const std::vector<Pending> committed = std::exchange(pending_, {});
  for (const Pending& p : committed) {
    if (p.slot < 0) {
      // Once the run stopped at a file, nothing after it is reported.
      if (!failed || !stopped_)
        takeListedAgain(p);
      continue;
    }
    if (!takeDone(p, done[std::size_t(p.slot)]))
      failed = true;
  }
  return !failed || !stopped_;
}

// Listed again: the same file, handled once; reported as its first listing was.
void CleanRun::takeListedAgain(const Pending& p) {
  const auto first = handled_.constFind(p.path);
  if (first == handled_.constEnd()) {
    again_.push_back(p);  // its first listing was left untouched: start again
    return;
  }
  CleanedFile result;
  result.path = p.path;
  result.line = p.line;
  result.listedAgain = true;
  if (first.value()) {
    result.outcome = CleanedFile::Outcome::Failed;
    result.failure = *first.value();
  }
  report(result);
}

// False when the file failed.
bool CleanRun::takeDone(const Pending& p, const clean::Batch::Done& d) {
  using Kind = clean::Batch::Done::Kind;
  if (d.kind == Kind::NotReached) {
    backup_->notReached(p.file);
    if (!stopped_)
      again_.push_back(Pending{p.path, p.line, p.scannedAs});
    return true;
  }
  const clean::CleanResult result = d.result();
  backup_->outcome(p.file, result, d.cleanedAs);
  CleanedFile cleaned;
  cleaned.path = p.path;
  cleaned.line = p.line;
  if (!result.ok()) {
    cleaned.outcome = CleanedFile::Outcome::Failed;
    cleaned.failure = d.failure;
    report(cleaned);
    failedAt(p, d.failure);
    return false;
  }
  handled_.insert(p.path, std::nullopt);
  cleaned.outcome = d.kind == Kind::Cleaned ? CleanedFile::Outcome::Cleaned
                                            : CleanedFile::Outcome::CleanedPastFailure;
  cleaned.occurrences = d.removed;
  cleaned.as = d.cleanedAs;
  report(cleaned);
  return true;
}

std::vector<CleanedFile> cleanFiles(const CleanRequest& request,
                                    const std::vector<FileToClean>& files) {
  std::vector<CleanedFile> results;
  CleanRun run(request, [&](const CleanedFile& r) { results.push_back(r); });
  for (const FileToClean& f : files) {
    if (!run.add(f))
      break;
  }
  run.finish();
  return results;
}
