#include "window/cleaner.h"

#include "engine/messages.h"
#include "clean/failures.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

#include <optional>
#include <utility>

void Cleaner::Command2_Click() {
  const QString signature = text::signatureFrom(w_.signatureText());
  lastClean_ = LastClean{};
  // A file the scan found with one signature is never cleaned with another: the
  // box may have been changed to prepare the next search.
  if (w_.scanSignature && *w_.scanSignature != signature && listsScannedFile(w_.resultsText())) {
    w_.showMessage(msg::kSignatureChanged.toString());
    return;
  }
  clean(signature);
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

void Cleaner::clean(const QString& signature) {
  const QString log = w_.resultsText();
  if (log.isEmpty() || log == msg::kNoMatch || log == msg::kScanStopped)
    return;
  lastClean_.ran = true;
  failures_.clear();

  // Every piece but the one behind the last CR LF is a path, an empty one too.
  QStringList lines = text::split(log, text::kCrLf);
  lines.removeLast();

  request_.signature = signature;
  request_.encoding = w_.contentEncoding();
  request_.lineEnds = w_.contentLineEnds();
  QString entries;
  CleanRun run(request_, [&](const CleanedFile& file) { take(file, entries); });
  if (!run.recoveryNote().isEmpty())
    w_.showNote(run.recoveryNote());
  w_.setResultsText(QString());
  // A run that stopped is closed already; finishing it adds nothing.
  addLines(run, lines, entries);
  run.finish();
  if (!entries.isEmpty())
    w_.appendResultsText(entries);
  failures_ = run.failures();
  lastRun_ = run.backupRun();
  if (const std::optional<CleanedFile>& stopped = run.stoppedAt())
    w_.showMessage(clean::failureMessage(stopped->line, stopped->failure));
}

bool Cleaner::addLines(CleanRun& run, const QStringList& lines, QString& entries) {
  for (const QString& line : lines) {
    // Each line is one path as the scan writes it (platform/pathline.h). A line
    // that begins with '"' but is not a well-formed quoted path names no file.
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    bool going;
    if (!bytes) {
      going = run.addNotAPath(line);
    } else {
      const auto scanned = w_.scannedFiles.constFind(platform::decodePath(*bytes));
      FileToClean file{*bytes, std::nullopt};
      if (scanned != w_.scannedFiles.constEnd())
        file.scannedAs = scanned.value();
      w_.showCleaning(platform::lineOfBytes(*bytes));
      going = run.add(file);
    }
    // The log grows as each batch is done.
    if (!entries.isEmpty())
      w_.appendResultsText(std::exchange(entries, QString()));
    if (!going)
      return false;
  }
  return true;
}

void Cleaner::take(const CleanedFile& file, QString& entries) {
  if (onFile && !file.notAPath)
    onFile(file.path, file.result());
  if (!file.ok())
    return;
  if (!file.listedAgain) {
    // Replacing the content made a new file: it is the one to expect from now on.
    if (const auto scanned = w_.scannedFiles.find(platform::decodePath(file.path));
        scanned != w_.scannedFiles.end())
      scanned.value() = file.as;
    if (file.outcome != CleanedFile::Outcome::Cleaned)
      return;
    ++lastClean_.cleaned;
  }
  entries += file.line;
  entries += text::kCrLf;
  entries += msg::kCleaned;
  entries += text::kCrLf;
}
