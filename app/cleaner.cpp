#include "app/cleaner.h"

#include "app/messages.h"
#include "clean/batch.h"
#include "clean/failures.h"
#include "clean/journal.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

#include <optional>
#include <utility>
#include <vector>

void Cleaner::Command2_Click() {
  const QString GJZ = text::signatureFrom(w_.signatureText());
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
  if (!run_)
    run_ = std::make_unique<clean::BackupRun>(clean::RunKind::Clean, keepBackups_, GJZ);
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
  // list order and stops at the first failure.
  struct Pending {
    QByteArray bytes;
    QString shown;  // as the scan would have written it
    QString key;    // in the scan's identities
    int file;       // its number in the backup run
  };
  std::vector<Pending> pending;
  clean::Batch batch(GJZ, options, batchSize_);
  std::optional<Stopped> stopped;
  // False when a file failed: the run has stopped.
  auto commit = [&]() {
    using Kind = clean::Batch::Done::Kind;
    const std::vector<clean::Batch::Done> done = batch.commit();
    QString entries;
    std::optional<std::size_t> failed;
    for (std::size_t i = 0; i < done.size(); ++i) {
      const Pending& p = pending[i];
      if (done[i].kind == Kind::NotReached) {
        run.notReached(p.file);
        continue;
      }
      const clean::CleanResult result = done[i].result();
      run.outcome(p.file, result, done[i].cleanedAs);
      if (onFile)
        onFile(p.bytes, result);
      if (!result.ok()) {
        failed = i;
        continue;
      }
      // Replacing the content made a new file: it is the one to expect from now on.
      if (const auto scanned = w_.scannedFiles.find(p.key); scanned != w_.scannedFiles.end())
        scanned.value() = done[i].cleanedAs;
      if (done[i].kind == Kind::Cleaned) {
        ++lastClean_.cleaned;
        entries += p.shown;
        entries += text::kCrLf;
        entries += msg::kCleaned;
        entries += text::kCrLf;
      }
    }
    if (!entries.isEmpty())
      w_.appendResultsText(entries);
    const std::vector<Pending> committed = std::exchange(pending, {});
    if (failed)
      stopped = Stopped{committed[*failed].shown, done[*failed].failure};
    return !failed;
  };

  for (const QString& line : paths) {
    // Each line is one path as the scan writes it (platform/pathline.h). A line
    // that begins with '"' but is not a well-formed quoted path names no file.
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    if (!bytes) {
      if (!commit())
        return stopped;
      clean::Failure notAPath;
      notAPath.reason = clean::Reason::NotAFilePath;
      return Stopped{line, notAPath};
    }
    Pending p{*bytes, platform::lineOfBytes(*bytes), platform::decodePath(*bytes), -1};
    w_.showCleaning(p.shown);
    p.file = run.next(*bytes);
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
          return stopped;
        }
        continue;
      }
      if (added.added == clean::Batch::Added::Failed) {
        if (!commit()) {
          run.notReached(p.file);
          return stopped;
        }
        const clean::CleanResult result = clean::CleanResult::failed(added.failure);
        run.outcome(p.file, result, {});
        if (onFile)
          onFile(p.bytes, result);
        return Stopped{p.shown, added.failure};
      }
      pending.push_back(std::move(p));
      break;
    }
  }
  commit();
  return stopped;
}
