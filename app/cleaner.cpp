#include "app/cleaner.h"

#include "app/messages.h"
#include "clean/backupstore.h"
#include "clean/failures.h"
#include "clean/journal.h"
#include "platform/pathcodec.h"
#include "text/textops.h"

void Cleaner::Command2_Click() {
  Tervane(text::signatureFrom(w_.signatureText()));
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
  clean::BackupRun run(clean::RunKind::Clean, keepBackups_, GJZ);
  clean::Options options = options_;
  options.keeper = &run;
  for (const QString& path : paths) {
    // A path the scan logged must still lead to the file it read there; a path
    // typed into the box is taken as it stands.
    const auto scanned = w_.scannedFiles.find(path);
    const platform::FileIdentity* scannedAs =
        scanned != w_.scannedFiles.end() ? &scanned.value() : nullptr;
    platform::FileIdentity cleanedAs;
    const QByteArray native = platform::encodePath(path);
    run.next(native);
    const auto failed = clean::cleanFile(native, GJZ, options, scannedAs, &cleanedAs);
    run.outcome(failed, cleanedAs);
    if (failed) {
      run.finish(true);
      lastRun_ = run.name();
      w_.showMessage(clean::failureMessage(path, *failed));
      return;
    }
    // Replacing the content made a new file: it is the one to expect from now on.
    if (scannedAs)
      scanned.value() = cleanedAs;
    QString entry = path;
    entry += text::kCrLf;
    entry += msg::kCleaned;
    entry += text::kCrLf;
    w_.appendResultsText(entry);
  }
  run.finish(false);
  lastRun_ = run.name();
}
