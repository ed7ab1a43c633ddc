#include "window/cleaner.h"

#include <optional>
#include <utility>

#include "clean/failures.h"
#include "engine/messages.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

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
  if (w_.scannedFiles.isEmpty())
    return false;
  const std::optional<QStringList> lines = pathsToClean(log);
  if (!lines)
    return false;
  for (const QString& line : *lines) {
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    if (bytes && w_.scannedFiles.contains(platform::decodePath(*bytes)))
      return true;
  }
  return false;
}

std::optional<QStringList> Cleaner::pathsToClean(const QString& log) {
  if (log.isEmpty() || log == msg::kNoMatch || log == msg::kScanStopped)
    return std::nullopt;
  // Every piece but the one behind the last CR LF is a path, an empty one too.
  QStringList lines = text::split(log, text::kCrLf);
  lines.removeLast();
  if (const qsizetype left = lines.indexOf(msg::kNotCleanedHeader); left >= 0) {
    QStringList paths;
    for (qsizetype i = left + 1; i < lines.size(); ++i) {
      if (!lines[i].startsWith(msg::kNotCleanedReason) && !lines[i].startsWith(msg::kSummaryMark))
        paths.append(lines[i]);
    }
    return paths;
  }
  QStringList paths;
  for (const QString& line : lines) {
    // A cleaning or restore log names no files to clean: its result lines are no paths.
    if (line == msg::kCleaned)
      return std::nullopt;
    if (!line.startsWith(msg::kSummaryMark))
      paths.append(line);
    else if (!line.startsWith(msg::kScanSummaryMark))
      return std::nullopt;
  }
  return paths;
}

void Cleaner::clean(const QString& signature) {
  std::optional<QStringList> lines = pathsToClean(w_.resultsText());
  if (!lines)
    return;
  lastClean_.ran = true;
  failures_.clear();
  skipAll_ = false;
  reported_ = 0;
  failedLines_.clear();

  request_.signature = signature;
  request_.encoding = w_.contentEncoding();
  request_.lineEnds = w_.contentLineEnds();
  request_.goOnAfter = nullptr;
  if (!request_.keepGoing)
    request_.goOnAfter = [this](const CleanedFile& file) { return goOnAfter(file); };
  QString entries;
  CleanRun run(request_, [&](const CleanedFile& file) { take(file, entries); });
  if (!run.recoveryNote().isEmpty())
    w_.showNote(run.recoveryNote());
  w_.setResultsText(QString());
  // A run that stopped is closed already; finishing it adds nothing.
  addLines(run, *lines, entries);
  run.finish();
  if (!entries.isEmpty())
    w_.appendResultsText(entries);
  failures_ = run.failures();
  lastRun_ = run.backupRun();
  lastClean_.notReached = lines->size() - reported_;
  w_.appendResultsText(leftList(*lines));
  w_.showProgress(reported_, lines->size());
}

QString Cleaner::failureQuestion(const QString& line, const clean::Failure& failure) {
  QString question = clean::failureFacts(line, failure);
  question += text::kCrLf;
  question += msg::kFailureQuestion;
  return question;
}

bool Cleaner::goOnAfter(const CleanedFile& file) {
  if (skipAll_)
    return true;
  switch (w_.askFailure(failureQuestion(file.line, file.failure))) {
    case WindowState::FailureChoice::SkipAll:
      skipAll_ = true;
      return true;
    case WindowState::FailureChoice::Skip:
      return true;
    case WindowState::FailureChoice::Stop:
      break;
  }
  return false;
}

QString Cleaner::leftList(const QStringList& lines) const {
  if (failedLines_.isEmpty() && reported_ >= lines.size())
    return QString();
  QString left = msg::kNotCleanedHeader.toString();
  left += text::kCrLf;
  left += failedLines_;
  for (qsizetype i = reported_; i < lines.size(); ++i) {
    left += lines[i];
    left += text::kCrLf;
  }
  return left;
}

bool Cleaner::addLines(CleanRun& run, const QStringList& lines, QString& entries) {
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString& line = lines[i];
    w_.showProgress(i + 1, lines.size());
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
  ++reported_;
  if (onFile && !file.notAPath)
    onFile(file.path, file.result());
  // A file replaced under the unsure flush of one that failed is left for the
  // next clean too: only that one makes it sure.
  const bool unsure = file.outcome == CleanedFile::Outcome::CleanedPastFailure;
  if (!file.ok() || unsure) {
    lastClean_.failed += file.listedAgain ? 0 : 1;
    failedLines_ += file.line;
    failedLines_ += text::kCrLf;
    failedLines_ += msg::kNotCleanedReason;
    failedLines_ += unsure ? msg::kNotSurelyWritten.toString() : clean::reasonText(file.failure);
    failedLines_ += text::kCrLf;
    if (unsure && !file.listedAgain) {
      if (const auto scanned = w_.scannedFiles.find(platform::decodePath(file.path));
          scanned != w_.scannedFiles.end())
        scanned.value() = file.as;
    }
    return;
  }
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
