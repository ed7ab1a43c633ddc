#include "clean/properties.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "clean/fileio.h"

namespace clean {

// Left out: immutable and append-only (the file could not be written), the
// flags of folders, and those the file system keeps for itself (extents,
// inline data, encryption, verity, ...), which no one sets.
const unsigned kCarriedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                               FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL |
                               FS_NOCOMP_FL | FS_DAX_FL;

namespace {

// The kernel reads and writes an int, whatever the ioctl's declared type says.
bool getFlags(int fd, unsigned& flags) {
  int v = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &v) != 0)
    return false;
  flags = unsigned(v);
  return true;
}

}  // namespace

int carryFlags(int from, int to) {
  unsigned old = 0;
  if (!getFlags(from, old))
    return 0;  // a file system without flags: nothing to carry
  unsigned mine = 0;
  if (!getFlags(to, mine))
    return (old & kCarriedFlags) == 0 ? 0 : errno;
  const unsigned wanted = (mine & ~kCarriedFlags) | (old & kCarriedFlags);
  if (wanted == mine)
    return 0;
  int v = int(wanted);
  return ::ioctl(to, FS_IOC_SETFLAGS, &v) == 0 ? 0 : errno;
}

int keepSetIdBits(int fd, mode_t mode) {
  const mode_t setId = mode & (S_ISUID | S_ISGID);
  if (setId == 0)
    return 0;
  struct stat now;
  if (::fstat(fd, &now) != 0)
    return errno;
  if ((now.st_mode & setId) == setId)
    return 0;
  // Only the bits the write took away come back; the system drops the group
  // bit by itself for a group the user is not in.
  if (::fchmod(fd, (now.st_mode & 07777) | setId) == 0 || errno == EPERM)
    return 0;
  return errno;
}

SparseWriter::SparseWriter(int from, int to) : from_(from), to_(to) {
  struct stat f;
  struct stat t;
  if (from < 0 || to < 0 || ::fstat(from, &f) != 0 || ::fstat(to, &t) != 0 || !S_ISREG(f.st_mode) ||
      !S_ISREG(t.st_mode))
    return;
  size_ = t.st_size;
  // Without holes the whole file is one run of data.
  off_t end = 0;
  active_ = f.st_size > 0 && (inHole(0, end) || end < f.st_size);
}

bool SparseWriter::inHole(off_t at, off_t& end) {
  if (at < runStart_ || at >= runEnd_) {
    constexpr off_t kNoEnd = std::numeric_limits<off_t>::max();
    runStart_ = at;
    // lseek moves `from`'s offset, which nobody uses: it is only read with pread.
    const off_t data = ::lseek(from_, at, SEEK_DATA);
    if (data < 0) {
      // ENXIO: no data from here to the end. Any other error: the file system
      // cannot tell, so everything counts as data.
      runHole_ = errno == ENXIO;
      runEnd_ = kNoEnd;
    } else if (data > at) {
      runHole_ = true;
      runEnd_ = data;
    } else {
      const off_t hole = ::lseek(from_, at, SEEK_HOLE);
      runHole_ = false;
      runEnd_ = hole > at ? hole : kNoEnd;
    }
  }
  end = runEnd_;
  return runHole_;
}

int SparseWriter::write(const Steps& steps, Step step, const uint8_t* p, std::size_t n, off_t& at,
                        off_t source) {
  while (n > 0) {
    off_t end = 0;
    const bool hole = active_ && inHole(source, end);
    const std::size_t k = active_ ? std::size_t(std::min<off_t>(off_t(n), end - source)) : n;
    // Bytes read from a hole are zeros, unless the file was written meanwhile.
    if (hole && p[0] == 0 && std::memcmp(p, p + 1, k - 1) == 0) {
      if (const int e = steps.injected(step))
        return e;
      // Below `to`'s end the old bytes must go: punch them out (which leaves
      // zeros); beyond it, a later write or finish() leaves the gap a hole.
      const off_t below = std::min<off_t>(off_t(k), std::max<off_t>(0, size_ - at));
      if (below > 0 &&
          ::fallocate(to_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, below) != 0) {
        if (errno != EOPNOTSUPP && errno != ENOSYS)
          return errno;
        off_t zeroAt = at;
        if (const int e = writeAll(steps, step, to_, p, std::size_t(below), &zeroAt))
          return e;
      }
      at += off_t(k);
    } else {
      if (const int e = writeAll(steps, step, to_, p, k, &at))
        return e;
      size_ = std::max(size_, at);
    }
    p += k;
    n -= k;
    source += off_t(k);
  }
  return 0;
}

int SparseWriter::finish(const Steps& steps, Step step, off_t length) {
  if (!active_ || size_ >= length)
    return 0;
  if (const int e = steps.injected(step))
    return e;
  if (::ftruncate(to_, length) != 0)
    return errno;
  size_ = length;
  return 0;
}

}  // namespace clean
