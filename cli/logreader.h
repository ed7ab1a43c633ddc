// Reads a log one path at a time, holding no more than one line and one block
// of input, whatever the log's size: a log may be a pipe that never ends or a
// device such as /dev/zero.
#pragma once

#include <QByteArray>

namespace cli {

class LogReader {
 public:
  // `separator`: '\n' for lines (a CR before it belongs to the line end) or
  // '\0' for raw paths. A line may hold at most `maxLine` bytes.
  LogReader(int fd, char separator, qsizetype maxLine);

  enum class Status {
    Line,     // `line` holds the next line, without its end
    End,      // no more lines
    TooLong,  // the next line is longer than maxLine
    Error,    // reading failed; see error()
  };
  // A last line without a separator is a line as well.
  Status next(QByteArray& line);

  int error() const { return errno_; }
  // The number of the line that next() returned or stopped at, from 1.
  qsizetype lineNumber() const { return lineNumber_; }

 private:
  int fd_;
  char separator_;
  qsizetype maxLine_;
  QByteArray buffer_;
  qsizetype pos_ = 0;  // where the next line starts in buffer_
  bool eof_ = false;
  int errno_ = 0;
  qsizetype lineNumber_ = 0;
};

}  // namespace cli
