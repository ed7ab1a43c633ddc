// An owned file descriptor, and the identity of the file behind a stat.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/fileidentity.h"

namespace platform {

// Closes its descriptor when it goes. Moves, never copies.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  explicit operator bool() const { return ok(); }

  // Gives the descriptor up without closing it.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0)
      ::close(old);
  }

 private:
  int fd_ = -1;
};

inline FileIdentity identityOf(const struct stat& st) {
  return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

}  // namespace platform
