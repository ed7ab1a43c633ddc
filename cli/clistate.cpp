#include "cli/clistate.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

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

void Sink::write(const QByteArray& bytes) {
  if (failed())
    return;
  const char* p = bytes.constData();
  std::size_t left = std::size_t(bytes.size());
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      errno_ = errno;
      return;
    }
    p += n;
    left -= std::size_t(n);
  }
}

bool Sink::isTerminal() const {
  return ::isatty(fd_) == 1;
}

CliWindowState::CliWindowState(Sink& out, Sink& err, bool progress)
    : out_(out), err_(err), progress_(progress) {}

QStringList CliWindowState::drives() const {
  return platform::driveList();
}

void CliWindowState::appendResultsText(const QString& text) {
  clearProgress();
  if (json_) {
    // The report stands for the log.
  } else if (nulSeparated) {
    // Each line of the log back to its path's bytes, as find -print0 writes them.
    QByteArray raw;
    const QStringList lines = text::split(text, text::kCrLf);
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
      raw += platform::bytesOfLine(lines[i]).value_or(QByteArray());
      raw += '\0';
    }
    out_.write(raw);
  } else {
    // The log's lines as they stand (each path in its one-line form); CR LF
    // becomes LF.
    out_.write(text::fromCrLf(text).toUtf8());
  }
  text1_ = text;
  ++appended_;
}

void CliWindowState::showMessage(const QString& text) {
  showNote(text);
  messageShown_ = true;
}

void CliWindowState::showNote(const QString& text) {
  clearProgress();
  // A message may name a path or a signature someone else chose: only its own
  // line breaks (CR LF) become lines.
  QByteArray line = platform::visibleLines(text).toUtf8();
  if (!line.endsWith('\n'))
    line += '\n';
  err_.write(line);
}

void CliWindowState::showUnreadable(const QString&) {
  clearProgress();
  unreadableShown_ = true;
  for (const Unreadable& file : unreadableFiles) {
    err_.write("tervane-cli: " + platform::lineOfPath(file.path).toUtf8() + ": " +
               QByteArray(std::strerror(file.error)) + '\n');
  }
}

void CliWindowState::setCurrentFileText(const QString& text) {
  ++visited_;
  if (!progress_)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (progressShown_ && now - lastDraw_ < kRedraw)
    return;
  lastDraw_ = now;
  drawProgress(text);
}

void CliWindowState::drawProgress(const QString& line) {
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

void CliWindowState::clearProgress() {
  if (!progressShown_)
    return;
  err_.write("\r\x1b[K");
  progressShown_ = false;
}

}  // namespace cli
