// Where the command line writes: raw bytes to a file descriptor.
#pragma once

#include <QByteArray>

namespace cli {

// Writes raw bytes to a file descriptor, remembering the first failure.
class Sink {
 public:
  explicit Sink(int fd) : fd_(fd) {}
  void write(const QByteArray& bytes);
  bool failed() const { return errno_ != 0; }
  int error() const { return errno_; }
  bool isTerminal() const;

 private:
  int fd_;
  int errno_ = 0;
};

}  // namespace cli
