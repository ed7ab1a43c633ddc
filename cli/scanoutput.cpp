#include "cli/scanoutput.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "cli/common.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"

namespace cli {

namespace {

// Columns a character takes on a terminal: East Asian wide characters take two.
int columns(char16_t c) {
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                    (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                    (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                    (c >= 0xFFE0 && c <= 0xFFE6);
  return wide ? 2 : 1;
}

int terminalWidth(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    return ws.ws_col;
  return 80;
}

constexpr std::chrono::milliseconds kRedraw{100};

}  // namespace

void ScanOutput::note(const QString& text) {
  clearProgress();
  tell(err_, text);
}

void ScanOutput::refused(const QString& message) {
  note(message);
  refused_ = true;
}

void ScanOutput::found(const ScanFound& file) {
  clearProgress();
  ++found_;
  if (log_ == Log::Nul) {
    // Each path's bytes, as find -print0 writes them.
    const QByteArray raw = platform::encodePath(file.path) + '\0';
    out_.write(raw.repeated(file.times));
  } else if (log_ == Log::Lines) {
    // The log's lines, each path in its one-line form.
    out_.write((platform::lineOfPath(file.path).toUtf8() + '\n').repeated(file.times));
  }
  if (onFound)
    onFound(file);
}

void ScanOutput::unreadable(const QString& path, int error) {
  unreadable_.append(Unreadable{path, error});
}

void ScanOutput::tellUnreadable() {
  clearProgress();
  for (const Unreadable& file : unreadable_) {
    err_.write("tervane-cli: " + platform::lineOfPath(file.path).toUtf8() + ": " +
               QByteArray(std::strerror(file.error)) + '\n');
  }
}

void ScanOutput::otherReading(const QString& path, text::Encoding holdsIt) {
  otherReadings_.append(OtherReading{path, holdsIt});
}

void ScanOutput::tellOtherReadings() {
  clearProgress();
  for (const OtherReading& file : otherReadings_) {
    const QString reading = text::encodingName(file.holdsIt);
    err_.write("tervane-cli: " + platform::lineOfPath(file.path).toUtf8() +
               ": not listed: holds the signature when read as " + reading.toUtf8() +
               " (the reading rule read it otherwise); --encoding " + reading.toUtf8() +
               " scans and cleans it so\n");
  }
}

void ScanOutput::visiting(const QString& path) {
  ++visited_;
  if (!progress_)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (progressShown_ && now - lastDraw_ < kRedraw)
    return;
  lastDraw_ = now;
  drawProgress(platform::lineOfPath(path));
}

void ScanOutput::drawProgress(const QString& line) {
  const QString head = QString::number(visited_) + QStringLiteral(" files  ");
  const int width = terminalWidth(STDERR_FILENO) - 1;
  int room = width - int(head.size());
  // The current file comes as its path's one line, which holds no control
  // character; visibleText makes sure of it. The end of the path (the file's
  // name) matters most: cut at the left, never inside a character.
  const QString text = platform::visibleText(line);
  QString shown;
  for (qsizetype i = text.size() - 1; i >= 0; --i) {
    const qsizetype first =
        i > 0 && text[i].isLowSurrogate() && text[i - 1].isHighSurrogate() ? i - 1 : i;
    const int w = columns(text[first].unicode());
    if (room - w < 1 && first > 0) {
      shown.prepend(u'…');
      break;
    }
    room -= w;
    shown.prepend(text.sliced(first, i - first + 1));
    i = first;
  }
  err_.write("\r\x1b[K" + (head + shown).toUtf8());
  progressShown_ = true;
}

void ScanOutput::clearProgress() {
  if (!progressShown_)
    return;
  err_.write("\r\x1b[K");
  progressShown_ = false;
}

}  // namespace cli
