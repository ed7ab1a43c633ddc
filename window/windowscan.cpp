#include "window/windowscan.h"

#include <QScopeGuard>

#include "engine/messages.h"
#include "platform/pathline.h"
#include "text/textops.h"

void WindowScan::Command1_Click() {
  if (scanning_)
    return;
  scanning_ = true;
  const auto running = qScopeGuard([this] { scanning_ = false; });
  signature_ = text::signatureFrom(w_.signatureText());
  ScanRequest request;
  request.signature = signature_;
  request.location = w_.locationText();
  if (request.location == msg::kAllDrives)
    request.drives = w_.drives();
  request.filter = w_.filterText();
  request.threads = w_.scanThreads();
  request.encoding = w_.contentEncoding();
  request.lineEnds = w_.contentLineEnds();
  if (!scanner_.scan(request))
    return;
  ToFRM2();
  // A stopped scan's list looks complete unless it says so.
  if (!w_.ScanFlag && totals().found > 0)
    w_.appendResultsText(
        msg::kScanStoppedWithFinds.toString().arg(totals().tested).arg(totals().found) +
        text::kCrLf.toString());
  // Files passed over unread would make "nothing found" a claim nobody checked.
  if (!w_.unreadableFiles.isEmpty()) {
    QStringList paths;
    for (const WindowState::Unreadable& file : w_.unreadableFiles)
      paths.append(file.path);
    w_.showUnreadable(Scanner::unreadableMessage(paths));
  }
  if (!otherReadings_.isEmpty())
    w_.showUnreadable(Scanner::otherReadingMessage(otherReadings_));
  tellNearMiss();
  if (!scanner_.storeNotSkipped().isEmpty())
    w_.showNote(scanner_.storeNotSkipped());
}

void WindowScan::tellNearMiss() {
  const std::optional<qint64> holding = scanner_.holdingWithoutEdgeBlanks();
  if (holding && *holding > totals().found)
    w_.showNote(msg::kNearMiss.toString().arg(*holding).arg(totals().found));
}

void WindowScan::starting() {
  w_.setResultsText(QString());
  w_.scannedFiles.clear();
  w_.unreadableFiles.clear();
  otherReadings_.clear();
  w_.ScanFlag = true;
  w_.scanSignature.reset();
  visited_ = 0;
}

void WindowScan::walking(const QStringList& fileTypes) {
  w_.scanSignature = signature_;
  w_.FileTypes = fileTypes;
}

void WindowScan::visiting(const QString& path) {
  w_.setCurrentFileText(platform::lineOfPath(path));
  w_.showProgress(++visited_, 0);
}

void WindowScan::found(const ScanFound& file) {
  w_.scannedFiles.insert(file.path, file.identity);
  // One line per detection whatever the name holds: a line break in a name must
  // not make a second path, nor a name that reads as a quoted line be taken as one.
  const QString line = platform::lineOfPath(file.path);
  QString lines;
  for (qsizetype i = 0; i < file.times; ++i) {
    lines += line;
    lines += text::kCrLf;
  }
  w_.appendResultsText(lines);
  if (onFound)
    onFound(file);
}

void WindowScan::unreadable(const QString& path, int error) {
  w_.unreadableFiles.append(WindowState::Unreadable{path, error});
}

void WindowScan::ToFRM2() {
  const QString log = w_.resultsText();
  if (log.isEmpty()) {
    // Stop left folders unwalked: that nothing was found does not make the site clean.
    w_.setResultsText(w_.ScanFlag ? msg::kNoMatch.toString() : msg::kScanStopped.toString());
    return;
  }
  const QStringList pieces = text::split(log, text::kCrLf);
  for (qsizetype i = 0; i + 1 < pieces.size(); ++i)
    w_.appendResultItem(pieces[i]);
  w_.setResultBoxText(w_.resultItem(0));
}
