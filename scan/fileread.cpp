#include "scan/fileread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace scan {

namespace fileread {

namespace {

// Cleared for good when the system refuses reads that may not wait.
std::atomic<bool> nowaitWorks{true};

}  // namespace

ssize_t readAt(int fd, std::uint8_t* to, std::size_t want, off_t pos, ReadStats& out) {
  if (!out.waited && nowaitWorks.load(std::memory_order_relaxed)) {
    iovec v{to, want};
    const ssize_t n = ::preadv2(fd, &v, 1, pos, RWF_NOWAIT);
    // Nothing in memory is EAGAIN; an end before the size the file had is
    // confirmed by a plain read, so that no reply of the cache can cut a file
    // short.
    if ((n < 0 && errno == EAGAIN) || n == 0) {
      out.waited = n < 0;
    } else if (n < 0 && errno == EOPNOTSUPP) {
      nowaitWorks.store(false, std::memory_order_relaxed);
    } else {
      return n;
    }
  }
  return ::pread(fd, to, want, pos);
}

std::size_t HoleMap::zerosAt(off_t pos, std::size_t enough, std::size_t limit) {
  if (zerosLeft_ == 0) {
    if (pos >= size_ || pos < dataEnd_)
      return 0;
    locate(pos, enough);
  }
  return std::size_t(std::min<std::uint64_t>(zerosLeft_, limit));
}

std::size_t HoleMap::readableAt(off_t pos, std::size_t limit) const {
  const off_t end = std::min(dataEnd_, size_);
  return pos < end ? std::size_t(std::min<off_t>(end - pos, off_t(limit))) : 0;
}

off_t HoleMap::advance(off_t pos, std::size_t n) {
  if (zerosLeft_ > 0) {
    zerosLeft_ -= std::min<std::uint64_t>(zerosLeft_, n);
    return zerosLeft_ == 0 ? holeEnd_ : pos;
  }
  return pos + off_t(n);
}

void HoleMap::locate(off_t pos, std::size_t enough) {
  off_t data = ::lseek(fd_, pos, SEEK_DATA);
  if (data < 0 && errno != ENXIO) {
    // No way to tell holes here: read the rest.
    dataEnd_ = size_;
    return;
  }
  // ENXIO: no data from `pos` to the end.
  data = data < 0 ? size_ : std::min(data, size_);
  holeEnd_ = data;
  zerosLeft_ = std::min<std::uint64_t>(std::uint64_t(data - pos), enough);
  if (data < size_) {
    const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
    dataEnd_ = hole > data ? std::min(hole, size_) : size_;
  }
}

std::optional<FirstPiece> readFirstPiece(int fd, std::uint8_t* to, off_t size, bool sparse,
                                         ReadStats& out) {
  FirstPiece first;
  const std::size_t want =
      std::size_t(std::min<off_t>(size, off_t(sparse ? text::kDeclarationBytes : kReadSize)));
  const std::size_t enough = std::min(want, text::kDeclarationBytes);
  while (first.bytes < want && (first.bytes == 0 || first.bytes < enough)) {
    const ssize_t got = readAt(fd, to + first.bytes, want - first.bytes, off_t(first.bytes), out);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      out.error = errno;
      return std::nullopt;
    }
    out.bytes += std::uint64_t(got);
    if (got == 0) {
      first.ended = true;
      break;
    }
    first.bytes += std::size_t(got);
  }
  return first;
}

}  // namespace fileread

namespace {

// A link in the last part is not followed; a FIFO or device swapped in since the
// listing does not block the open, and fstat turns it away before any read.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

}  // namespace

MatchResult SignatureMatcher::matchFile(const QByteArray& nativePath,
                                        platform::FileIdentity* identity, ReadStats* stats) const {
  platform::UniqueFd fd(::open(nativePath.constData(), kOpenFlags));
  if (!fd) {
    if (stats)
      stats->error = errno;
    return MatchResult::Error;
  }
  return matchOpen(std::move(fd), identity, stats);
}

MatchResult SignatureMatcher::matchFileAt(int dirFd, const QByteArray& name,
                                          platform::FileIdentity* identity,
                                          ReadStats* stats) const {
  platform::UniqueFd fd(::openat(dirFd, name.constData(), kOpenFlags));
  if (!fd) {
    if (stats)
      stats->error = errno;
    return MatchResult::Error;
  }
  return matchOpen(std::move(fd), identity, stats);
}

MatchResult SignatureMatcher::matchOpen(platform::UniqueFd fd, platform::FileIdentity* identity,
                                        ReadStats* stats) const {
  ReadStats local;
  ReadStats& out = stats ? *stats : local;
  out = ReadStats{};
  struct stat st;
  const bool statted = ::fstat(fd.get(), &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    // A name that now leads to a FIFO or device is no file of the tree any more.
    out.error = statted ? 0 : errno;
    return MatchResult::Error;
  }
  return matchRegular(fd.get(), st, identity, out);
}

std::optional<MatchResult> SignatureMatcher::matchIfStillAt(
    int dirFd, const QByteArray& name, platform::UniqueFd fd,
    const platform::FileIdentity& fdIdentity, platform::FileIdentity* identity,
    ReadStats* stats) const {
  // What the name leads to now, the way the open would see it: a link is not
  // followed. The same regular file as `fd`'s is what opening the name would
  // give; anything else is left to that open.
  struct stat st;
  if (!fd || ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode) || platform::identityOf(st) != fdIdentity)
    return std::nullopt;
  ReadStats local;
  ReadStats& out = stats ? *stats : local;
  out = ReadStats{};
  return matchRegular(fd.get(), st, identity, out);
}

}  // namespace scan
