#include "scan/filematch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "text/gbk.h"

namespace scan {

// Decodes pieces of a byte stream and searches the signature in them, keeping the
// last characters of one piece so that an occurrence across a border is found and
// a character split by a border is decoded once.
class SignatureMatcher::Stream {
 public:
  explicit Stream(const QString& gjz) : gjz_(gjz) { dec_.reserve(kReadSize + gjz.size() + 2); }

  // `bytes` must start with the lead byte carried over from the previous piece,
  // if any; returns how many bytes at the end were not consumed (0 or 1).
  int feed(const uint8_t* p, std::size_t n, bool final) {
    const uint8_t* end = p + n;
    const qsizetype keep = std::min<qsizetype>(qsizetype(dec_.size()), gjz_.size() - 1);
    if (keep < qsizetype(dec_.size()))
      dec_.erase(dec_.begin(), dec_.end() - keep);
    const std::size_t base = dec_.size();
    dec_.resize(base + n);
    char16_t* out = dec_.data() + base;
    std::size_t produced = 0;
    int left = 0;
    while (p < end) {
      const int used = gbk::decodeOne(p, end, final, out + produced, true);
      if (used == 0) {
        left = 1;
        break;
      }
      p += used;
      ++produced;
    }
    dec_.resize(base + produced);
    if (!found_ && produced > 0) {
      found_ = QStringView(dec_.data(), qsizetype(dec_.size())).indexOf(gjz_) >= 0;
    }
    return left;
  }

  bool found() const { return found_; }

 private:
  const QString& gjz_;
  std::vector<char16_t> dec_;
  bool found_ = false;
};

SignatureMatcher::SignatureMatcher(QString gjz) : gjz_(std::move(gjz)) {}

bool SignatureMatcher::matchBytes(QByteArrayView content, std::size_t chunkSize) const {
  if (chunkSize == 0)
    chunkSize = kReadSize;
  Stream s(gjz_);
  auto* p = reinterpret_cast<const uint8_t*>(content.data());
  std::size_t left = std::size_t(content.size());
  std::vector<uint8_t> piece;
  int carry = 0;
  uint8_t carried = 0;
  while (left > 0 && !s.found()) {
    const std::size_t take = std::min(chunkSize, left);
    piece.assign(p, p + take);
    if (carry)
      piece.insert(piece.begin(), carried);
    left -= take;
    p += take;
    carry = s.feed(piece.data(), piece.size(), left == 0);
    if (carry)
      carried = piece.back();
  }
  return s.found();
}

MatchResult SignatureMatcher::matchFile(const QByteArray& nativePath) const {
  const int fd =
      ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return MatchResult::Error;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return MatchResult::Error;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  thread_local std::vector<uint8_t> buf(kReadSize + 1);
  Stream s(gjz_);
  int carry = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data() + carry, kReadSize);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      ::close(fd);
      return MatchResult::Error;
    }
    const bool final = (n == 0);
    const std::size_t len = std::size_t(n) + std::size_t(carry);
    if (len == 0)
      break;
    const int left = s.feed(buf.data(), len, final);
    if (s.found())
      break;
    if (final)
      break;
    if (left)
      buf[0] = buf[len - 1];
    carry = left;
  }
  ::close(fd);
  return s.found() ? MatchResult::Match : MatchResult::NoMatch;
}

}  // namespace scan
