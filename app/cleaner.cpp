#include "app/cleaner.h"

#include "app/messages.h"
#include "clean/failures.h"
#include "clean/journal.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

void Cleaner::Command2_Click() {
  Tervane(text::signatureFrom(w_.signatureText()));
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
  if (log.isEmpty() || log == msg::kNoMatch)
    return;

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
  clean::BackupRun& run = *run_;
  clean::Options options = options_;
  options.keeper = &run;
  for (const QString& line : paths) {
    // Each line is one path as the scan writes it (platform/pathline.h). A line
    // that begins with '"' but is not a well-formed quoted path names no file.
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    if (!bytes) {
      clean::Failure notAPath;
      notAPath.reason = clean::Reason::NotAFilePath;
      finishRun(true);
      w_.showMessage(clean::failureMessage(line, notAPath));
      return;
    }
    // The log and the messages show the path as the scan would have written it.
    const QString shown = platform::lineOfBytes(*bytes);
    // A path the scan logged must still lead to the file it read there; a path
    // typed into the box is taken as it stands.
    const auto scanned = w_.scannedFiles.find(platform::decodePath(*bytes));
    const platform::FileIdentity* scannedAs =
        scanned != w_.scannedFiles.end() ? &scanned.value() : nullptr;
    platform::FileIdentity cleanedAs;
    w_.showCleaning(shown);
    run.next(*bytes);
    const clean::CleanResult result = clean::cleanFile(*bytes, GJZ, options, scannedAs, &cleanedAs);
    run.outcome(result, cleanedAs);
    if (onFile)
      onFile(*bytes, result);
    if (!result.ok()) {
      finishRun(true);
      w_.showMessage(clean::failureMessage(shown, result.failure()));
      return;
    }
    // Replacing the content made a new file: it is the one to expect from now on.
    if (scannedAs)
      scanned.value() = cleanedAs;
    QString entry = shown;
    entry += text::kCrLf;
    entry += msg::kCleaned;
    entry += text::kCrLf;
    w_.appendResultsText(entry);
  }
  if (!batched_)
    finishRun(false);
}
