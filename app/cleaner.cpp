#include "app/cleaner.h"

#include "app/messages.h"
#include "clean/batch.h"
#include "clean/failures.h"
#include "clean/journal.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

void Cleaner::Command2_Click() {
  const QString GJZ =
      signatureSet_.isEmpty() ? text::signatureFrom(w_.signatureText()) : signatureSet_;
  lastClean_ = LastClean{};
  // A file the scan found with one signature is never cleaned with another: the
  // box may have been changed to prepare the next search.
  if (w_.scanSignature && *w_.scanSignature != GJZ && listsScannedFile(w_.resultsText())) {
    w_.showMessage(msg::kSignatureChanged.toString());
    return;
  }
  Tervane(GJZ);
}

bool Cleaner::listsScannedFile(const QString& log) const {
  if (w_.scannedFiles.isEmpty() || isLog(log))
    return false;
  for (const QString& line : text::split(log, text::kCrLf)) {
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    if (bytes && w_.scannedFiles.contains(platform::decodePath(*bytes)))
      return true;
  }
  return false;
}

bool Cleaner::isLog(const QString& log) {
  if (log == msg::kNoMatch || log == msg::kScanStopped)
    return true;
  for (const QString& line : text::split(log, text::kCrLf)) {
    if (line == msg::kCleaned || line.startsWith(msg::kSummaryMark))
      return true;
  }
  return false;
}

Cleaner::~Cleaner() {
  // A batch that ended in an error still closes its run.
  finishRun(true);
}

void Cleaner::endBatches() {
  batched_ = false;
  finishRun(false);
}

void Cleaner::finishRun(bool stopped) {
  if (!run_)
    return;
  run_->finish(stopped);
  lastRun_ = run_->name();
  run_.reset();
}

void Cleaner::Tervane(const QString& GJZ) {
  const QString log = w_.resultsText();
  if (log.isEmpty() || log == msg::kNoMatch || log == msg::kScanStopped)
    return;
  lastClean_.ran = true;

  // Every piece but the one behind the last CR LF is a path, an empty one too.
  QStringList paths = text::split(log, text::kCrLf);
  paths.removeLast();

  // A run cut short before is finished or rolled back before this one starts.
  if (const QString note = clean::recoveryMessage(clean::recoverInterrupted()); !note.isEmpty())
    w_.showNote(note);

  w_.setResultsText(QString());
  options_.encoding = w_.contentEncoding();
  options_.lineEnds = w_.contentLineEnds();
  if (!run_) {
    run_ = std::make_unique<clean::BackupRun>(clean::RunKind::Clean, keepBackups_, GJZ);
    handled_.clear();
    failures_.clear();
  }
  // The batch and what it keeps are gone before the run is finished.
  if (const std::optional<Stopped> stopped = cleanLines(paths, GJZ)) {
    finishRun(true);
    w_.showMessage(clean::failureMessage(stopped->shown, stopped->why));
    return;
  }
  if (!batched_)
    finishRun(false);
}

std::optional<Cleaner::Stopped> Cleaner::cleanLines(const QStringList& paths, const QString& GJZ) {
  clean::BackupRun& run = *run_;
  clean::Options options = options_;
  options.keeper = &run;

  // Files are cleaned a batch at a time (clean/batch.h); the log still grows in
  // list order and stops at the first failure (unless told to keep going).
  struct Pending {
    QByteArray bytes;
    QString shown;  // as the scan would have written it
    QString key;    // in the scan's identities
    int file = -1;  // its number in the backup run
    int slot = -1;  // its place in the batch; -1: the path was listed before
  };
  std::vector<Pending> pending;
  // Paths to (re)start with, ahead of the list: those a failure in their batch
  // left untouched, when the run keeps going.
  std::deque<Pending> again;
  clean::Batch batch(GJZ, options, batchSize_);
  std::optional<Stopped> stopped;
  auto failedAt = [&](const Pending& p, const clean::Failure& why) {
    handled_.insert(p.bytes, why);
    if (keepGoing_)
      failures_.push_back(Failed{p.bytes, p.shown, why});
    else if (!stopped)
      stopped = Stopped{p.shown, why};
  };
  // False when a file failed and the run stops.
  auto commit = [&]() {
    using Kind = clean::Batch::Done::Kind;
    const std::vector<clean::Batch::Done> done = batch.commit();
    QString entries;
    bool failed = false;
    const std::vector<Pending> committed = std::exchange(pending, {});
    for (const Pending& p : committed) {
      if (p.slot < 0) {
        // Listed again: the same file, handled once; logged as its first listing was.
        if (failed && !keepGoing_)
          continue;
        const auto first = handled_.constFind(p.bytes);
        if (first == handled_.constEnd()) {
          again.push_back(p);  // its first listing was left untouched: start again
          continue;
        }
        const clean::CleanResult result = first.value() ? clean::CleanResult::failed(*first.value())
                                                        : clean::CleanResult::cleaned({});
        if (onFile)
          onFile(p.bytes, result);
        if (result.ok()) {
          entries += p.shown;
          entries += text::kCrLf;
          entries += msg::kCleaned;
          entries += text::kCrLf;
        }
        continue;
      }
      const clean::Batch::Done& d = done[std::size_t(p.slot)];
      if (d.kind == Kind::NotReached) {
        run.notReached(p.file);
        if (keepGoing_)
          again.push_back(Pending{p.bytes, p.shown, p.key});
        continue;
      }
      const clean::CleanResult result = d.result();
      run.outcome(p.file, result, d.cleanedAs);
      if (onFile)
        onFile(p.bytes, result);
      if (!result.ok()) {
        failed = true;
        failedAt(p, d.failure);
        continue;
      }
      handled_.insert(p.bytes, std::nullopt);
      // Replacing the content made a new file: it is the one to expect from now on.
      if (const auto scanned = w_.scannedFiles.find(p.key); scanned != w_.scannedFiles.end())
        scanned.value() = d.cleanedAs;
      if (d.kind == Kind::Cleaned) {
        ++lastClean_.cleaned;
        entries += p.shown;
        entries += text::kCrLf;
        entries += msg::kCleaned;
        entries += text::kCrLf;
      }
    }
    if (!entries.isEmpty())
      w_.appendResultsText(entries);
    return !failed || keepGoing_;
  };
  // Adds one path; false when the run stops.
  auto add = [&](Pending p) -> bool {
    // A path listed twice (a file that matched two filter entries) is one file:
    // it is rewritten and kept once, whatever the number of its lines.
    const bool listedBefore = handled_.contains(p.bytes) ||
                              std::any_of(pending.begin(), pending.end(), [&](const Pending& q) {
                                return q.slot >= 0 && q.bytes == p.bytes;
                              });
    if (listedBefore) {
      pending.push_back(std::move(p));
      return true;
    }
    p.file = run.next(p.bytes);
    for (;;) {
      // A path the scan logged must still lead to the file it read there; a path
      // typed into the box is taken as it stands. Looked up again after each
      // commit, which may have replaced the file.
      const auto scanned = w_.scannedFiles.find(p.key);
      const std::optional<platform::FileIdentity> scannedAs =
          scanned != w_.scannedFiles.end() ? std::make_optional(scanned.value()) : std::nullopt;
      const clean::Batch::Add added = batch.add(p.bytes, scannedAs, p.file);
      if (added.added == clean::Batch::Added::Later) {
        if (!commit()) {
          run.notReached(p.file);
          return false;
        }
        continue;
      }
      if (added.added == clean::Batch::Added::Failed) {
        if (!commit()) {
          run.notReached(p.file);
          return false;
        }
        const clean::CleanResult result = clean::CleanResult::failed(added.failure);
        run.outcome(p.file, result, {});
        if (onFile)
          onFile(p.bytes, result);
        failedAt(p, added.failure);
        return keepGoing_;
      }
      p.slot = int(pending.size());
      for (const Pending& q : pending)
        p.slot -= q.slot < 0 ? 1 : 0;
      pending.push_back(std::move(p));
      return true;
    }
  };
  // Adds what a failure left untouched, then `next`.
  auto drainAgain = [&]() -> bool {
    while (!again.empty()) {
      Pending p = std::move(again.front());
      again.pop_front();
      p.slot = -1;
      if (!add(std::move(p)))
        return false;
    }
    return true;
  };

  for (const QString& line : paths) {
    if (!drainAgain())
      return stopped;
    // Each line is one path as the scan writes it (platform/pathline.h). A line
    // that begins with '"' but is not a well-formed quoted path names no file.
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    if (!bytes) {
      if (!commit() || !drainAgain())
        return stopped;
      clean::Failure notAPath;
      notAPath.reason = clean::Reason::NotAFilePath;
      if (!keepGoing_)
        return Stopped{line, notAPath};
      failures_.push_back(Failed{QByteArray(), line, notAPath});
      continue;
    }
    Pending p{*bytes, platform::lineOfBytes(*bytes), platform::decodePath(*bytes)};
    w_.showCleaning(p.shown);
    if (!add(std::move(p)))
      return stopped;
  }
  do {
    if (!commit())
      return stopped;
    if (!drainAgain())
      return stopped;
  } while (!pending.empty() || !again.empty());
  return stopped;
}
