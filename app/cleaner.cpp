#include "app/cleaner.h"

#include "app/messages.h"
#include "clean/failures.h"
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

  w_.setResultsText(QString());
  for (const QString& path : paths) {
    // A path the scan logged must still lead to the file it read there; a path
    // typed into the box is taken as it stands.
    const auto scanned = w_.scannedFiles.find(path);
    const platform::FileIdentity* scannedAs =
        scanned != w_.scannedFiles.end() ? &scanned.value() : nullptr;
    platform::FileIdentity cleanedAs;
    if (const auto failed =
            clean::cleanFile(platform::encodePath(path), GJZ, options_, scannedAs, &cleanedAs)) {
      if (onFile)
        onFile(path, failed);
      w_.showMessage(clean::failureMessage(path, *failed));
      return;
    }
    // Replacing the content made a new file: it is the one to expect from now on.
    if (scannedAs)
      scanned.value() = cleanedAs;
    if (onFile)
      onFile(path, std::nullopt);
    QString entry = path;
    entry += text::kCrLf;
    entry += msg::kCleaned;
    entry += text::kCrLf;
    w_.appendResultsText(entry);
  }
}
