#include "cli/sink.h"

#include <unistd.h>

#include <cerrno>

namespace cli {

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

}  // namespace cli
