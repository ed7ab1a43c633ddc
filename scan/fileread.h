// Reading a file for the matcher: the read that tells a cold cache, the holes
// of a sparse file, the first piece whose bytes decide the reading, and the
// loop that feeds a search (SignatureMatcher's own, the set's or the UTF-16
// one) until its answer is settled.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "scan/filematch.h"

namespace scan::fileread {

inline constexpr std::size_t kReadSize = SignatureMatcher::kReadSize;

// Reads up to `want` bytes at `pos`. Until a read waits, each one first asks
// only for what is in memory: the answer costs nothing more, and it tells
// whether the cache is cold (see OrderedMatchPool, which then reads ahead).
ssize_t readAt(int fd, std::uint8_t* to, std::size_t want, off_t pos, ReadStats& out);

// The holes of a sparse file, found with SEEK_DATA and SEEK_HOLE as the read
// reaches them. A hole reads as zeros, and the search cannot tell a run of
// zeros from a longer one once it is longer than any form of the signature:
// every stretch of that length that lies in the run, or begins or ends in it,
// is in the shorter run too; zeros break GBK lead-byte runs and UTF-8
// sequences alike wherever they stand. So the search is fed that many zeros
// of each hole and reads none of it.
class HoleMap {
 public:
  // `sparse`: the file may have holes (fewer blocks than its size takes);
  // otherwise it is read from start to end, as if it had none.
  HoleMap(int fd, off_t size, bool sparse) : fd_(fd), size_(size), dataEnd_(sparse ? 0 : size) {}

  // How many zeros of a hole at `pos` to feed next: at most `limit`, and no
  // more than `enough` of the hole in all. 0 when `pos` is in data or at the end.
  std::size_t zerosAt(off_t pos, std::size_t enough, std::size_t limit);
  // How many bytes to read at `pos` (in data): at most `limit`.
  std::size_t readableAt(off_t pos, std::size_t limit) const;
  // The position after `n` more bytes were fed from `pos`: zeros of the hole
  // first, then past the hole's end.
  off_t advance(off_t pos, std::size_t n);
  // Whether nothing follows `pos`.
  bool done(off_t pos) const { return zerosLeft_ == 0 && pos >= size_; }

 private:
  void locate(off_t pos, std::size_t enough);

  int fd_;
  off_t size_;
  off_t dataEnd_;      // the end of the data the last look found
  off_t holeEnd_ = 0;  // the end of the hole being fed
  std::uint64_t zerosLeft_ = 0;
};

// The file's first piece, read before the search is chosen: its first bytes
// decide the reading.
struct FirstPiece {
  std::size_t bytes = 0;
  bool ended = false;  // the file ended there, shorter than its size said
};

// Reads the first piece into `to`: the declaration's bytes at least, unless the
// file is shorter; a sparse file's no more, since the rest may be a hole, not
// read. Nothing, with out.error set, when a read fails.
std::optional<FirstPiece> readFirstPiece(int fd, std::uint8_t* to, off_t size, bool sparse,
                                         ReadStats& out);

// Reads the file open on `fd` into `s` until its answer is settled, starting
// with its first piece, already in `buf`. `pieceStart` is set to where in the
// file each piece fed starts.
template <typename Search>
MatchResult feedFile(int fd, off_t size, bool sparse, std::size_t need, Search& s,
                     std::vector<std::uint8_t>& buf, off_t& pieceStart, ReadStats& out,
                     FirstPiece first) {
  // Where the file's holes are, for a file with fewer blocks than its size
  // takes: the search is fed no more of each hole than HoleMap::zerosAt says, which
  // gives the answer all its zeros would, and nothing is read there.
  HoleMap holes(fd, size, sparse);
  off_t pos = 0;
  bool firstRead = true;
  for (;;) {
    pieceStart = pos;
    std::uint8_t* const at = buf.data() + s.kept();
    std::size_t n = 0;
    if (firstRead) {
      firstRead = false;
      n = first.bytes;
      if (first.ended)
        pos = size;
    } else if (const std::size_t zeros = holes.zerosAt(pos, need, kReadSize)) {
      std::memset(at, 0, zeros);
      n = zeros;
    } else if (const std::size_t want = holes.readableAt(pos, kReadSize)) {
      const ssize_t got = readAt(fd, at, want, pos, out);
      if (got < 0) {
        if (errno == EINTR)
          continue;
        out.error = errno;
        return MatchResult::Error;
      }
      n = std::size_t(got);
      out.bytes += std::uint64_t(got);
      // A file cut short since its size was taken ends here.
      if (got == 0)
        pos = size;
    }
    pos = holes.advance(pos, n);
    const bool final = n == 0 || holes.done(pos);
    const std::optional<bool> answer = s.scan(s.kept() + n, final);
    if (s.error() != 0) {
      out.error = s.error();
      return MatchResult::Error;
    }
    if (answer)
      return *answer ? MatchResult::Match : MatchResult::NoMatch;
  }
}

}  // namespace scan::fileread
