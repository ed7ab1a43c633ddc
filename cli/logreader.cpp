#include "cli/logreader.h"

#include <unistd.h>

#include <cerrno>

namespace cli {

namespace {
constexpr qsizetype kBlock = 64 * 1024;
}

LogReader::LogReader(int fd, char separator, qsizetype maxLine)
    : fd_(fd), separator_(separator), maxLine_(maxLine) {}

LogReader::Status LogReader::next(QByteArray& line) {
  ++lineNumber_;
  qsizetype searched = pos_;
  for (;;) {
    const qsizetype end = buffer_.indexOf(separator_, searched);
    // A CR that ends a line is not part of it, so it does not count.
    const qsizetype cr = separator_ == '\n' ? 1 : 0;
    if (end >= 0) {
      if (end - pos_ > maxLine_ + cr)
        return Status::TooLong;
      line = buffer_.sliced(pos_, end - pos_);
      pos_ = end + 1;
      if (separator_ == '\n' && line.endsWith('\r'))
        line.chop(1);
      return Status::Line;
    }
    if (buffer_.size() - pos_ > maxLine_ + cr)
      return Status::TooLong;
    if (eof_) {
      if (pos_ == buffer_.size())
        return Status::End;
      line = buffer_.sliced(pos_);
      pos_ = buffer_.size();
      if (separator_ == '\n' && line.endsWith('\r'))
        line.chop(1);
      return Status::Line;
    }
    // Keep only the unread part, then read the next block behind it.
    buffer_.remove(0, pos_);
    pos_ = 0;
    searched = buffer_.size();
    const qsizetype had = buffer_.size();
    buffer_.resize(had + kBlock);
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.data() + had, std::size_t(kBlock));
    } while (n < 0 && errno == EINTR);
    buffer_.resize(had + (n > 0 ? n : 0));
    if (n < 0) {
      errno_ = errno;
      return Status::Error;
    }
    if (n == 0)
      eof_ = true;
  }
}

}  // namespace cli
