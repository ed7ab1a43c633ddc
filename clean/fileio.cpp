#include "clean/fileio.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "clean/properties.h"
#include "clean/remover.h"
#include "clean/rewrite.h"
#include "text/utf8.h"

namespace clean {

Steps::Steps(const Options& o, QByteArray path) : o_(o), path_(std::move(path)) {}

const Steps& plainSteps() {
  static const Options none;
  static const Steps steps(none);
  return steps;
}

int Steps::injected(Step s) const {
  if (!o_.fault)
    return 0;
  // Files may be written on several threads at once; the hook hears of one step
  // at a time.
  static std::mutex oneAtATime;
  std::lock_guard lock(oneAtATime);
  return o_.fault(s, path_);
}

int writeAll(const Steps& steps, Step step, int fd, const uint8_t* p, std::size_t n, off_t* at) {
  while (n > 0) {
    if (const int e = steps.injected(step))
      return e;
    const ssize_t w = at ? ::pwrite(fd, p, n, *at) : ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    if (w == 0)
      return ENOSPC;
    p += w;
    n -= std::size_t(w);
    if (at)
      *at += w;
  }
  return 0;
}

int readSome(const Steps& steps, Step step, int fd, uint8_t* p, std::size_t n, off_t& at,
             std::size_t& got) {
  for (;;) {
    if (const int e = steps.injected(step))
      return e;
    const ssize_t r = ::pread(fd, p, n, at);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return errno;
    at += r;
    got = std::size_t(r);
    return 0;
  }
}

int syncFile(const Steps& steps, Step step, int fd) {
  if (const int e = steps.injected(step))
    return e;
  return ::fsync(fd) == 0 ? 0 : errno;
}

void startWriting(int fd) {
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

namespace {

// The encoding `from` is read in: with the rule's count, its whole content
// decides, before anything is removed.
int encodingOf(const Steps& steps, int from, Step readStep, std::vector<uint8_t>& buf,
               text::Encoding& encoding) {
  text::ReadingFinder finder(encoding);
  off_t readAt = 0;
  while (!finder.decided()) {
    std::size_t n = 0;
    if (const int e = readSome(steps, readStep, from, buf.data(), buf.size(), readAt, n))
      return e;
    if (n == 0)
      break;
    finder.feed(buf.data(), n);
  }
  encoding = finder.finish().encoding;
  return 0;
}

}  // namespace

namespace {

// One piece of the new content (`len` bytes at `p`) into `how.to`, at
// `written`: through the sparse writer, which keeps `from`'s holes where the
// bytes came from them (`source`: where in `from` the piece's first byte came
// from; the occurrences the remover took out lie between), or plainly. Without
// `to`, only counted.
int writePiece(const Steps& steps, const StreamSpec& how, SparseWriter& sparse,
               SignatureRemover& remover, const uint8_t* p, std::size_t len, off_t& written,
               off_t& source) {
  if (how.to < 0) {
    written += off_t(len);
    return 0;
  }
  if (!sparse.active())
    return writeAll(steps, how.writeStep, how.to, p, len, &written);
  std::size_t done = 0;
  for (const ByteRange& r : remover.ranges()) {
    const std::size_t before = std::size_t(r.offset - source);
    if (const int e = sparse.write(steps, how.writeStep, p + done, before, written, source))
      return e;
    done += before;
    source = off_t(r.offset + r.length);
  }
  remover.clearRanges();
  if (const int e = sparse.write(steps, how.writeStep, p + done, len - done, written, source))
    return e;
  source += off_t(len - done);
  return 0;
}

}  // namespace

int stream(const Steps& steps, std::size_t chunk, QStringView signature, const StreamSpec& how,
           off_t& written, qint64* removed) {
  // No bigger than the file needs: most pages are a few KB, and a fresh buffer
  // of the full chunk for each of them costs more than reading them.
  if (struct stat st; ::fstat(how.from, &st) == 0 && S_ISREG(st.st_mode))
    chunk = std::min<std::size_t>(chunk, std::max<std::size_t>(4096, std::size_t(st.st_size) + 1));
  std::vector<uint8_t> buf(chunk > 0 ? chunk : 1);
  text::Encoding encoding = text::Encoding::Gbk;
  if ((!how.copyOnly || how.cleanedHash) && !signature.isEmpty()) {
    encoding = how.encoding;
    if (const int e = encodingOf(steps, how.from, how.readStep, buf, encoding))
      return e;
  }
  SignatureRemover remover(signature, encoding, how.lineEnds);
  // Holes of `from` stay holes in `to`; the removed occurrences say where in
  // `from` each written byte came from.
  SparseWriter sparse(how.to >= 0 ? how.from : -1, how.to);
  remover.recordRanges(sparse.active() && !how.copyOnly);
  off_t source = 0;  // where in `from` the next byte written came from
  std::vector<uint8_t> out;
  out.reserve(buf.size() + 64);
  off_t readAt = 0;
  written = 0;
  for (;;) {
    std::size_t n = 0;
    if (const int e = readSome(steps, how.readStep, how.from, buf.data(), buf.size(), readAt, n))
      return e;
    if (how.readHash)
      how.readHash->add(QByteArrayView(buf.data(), qsizetype(n)));
    const uint8_t* p = buf.data();
    std::size_t len = n;
    if (!how.copyOnly || how.cleanedHash) {
      out.clear();
      remover.feed(buf.data(), n, n == 0, out);
      if (how.cleanedHash)
        how.cleanedHash->add(QByteArrayView(out.data(), qsizetype(out.size())));
      if (!how.copyOnly) {
        p = out.data();
        len = out.size();
      }
    }
    if (how.writeHash)
      how.writeHash->add(QByteArrayView(p, qsizetype(len)));
    if (const int e = writePiece(steps, how, sparse, remover, p, len, written, source))
      return e;
    if (n == 0)
      break;
  }
  // Output that may still hold an occurrence is no clean.
  if (remover.gaveUp())
    return EOVERFLOW;
  if (removed)
    *removed = remover.removed();
  if (how.to < 0)
    return 0;
  if (!how.truncate)
    return sparse.finish(steps, how.writeStep, written);
  if (const int e = steps.injected(how.writeStep))
    return e;
  return ::ftruncate(how.to, written) == 0 ? 0 : errno;
}

int copyBack(const Steps& steps, std::size_t chunk, int copy, int file) {
  const StreamSpec how{.from = copy,
                       .readStep = Step::Restore,
                       .to = file,
                       .writeStep = Step::Restore,
                       .copyOnly = true,
                       .truncate = true};
  off_t written = 0;
  return stream(steps, chunk, {}, how, written);
}

int sha256Of(int fd, QByteArray& hex) {
  platform::Sha256 h;
  std::vector<char> buf(128 * 1024);
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return errno;
    if (n == 0)
      break;
    h.add(QByteArrayView(buf.data(), qsizetype(n)));
    at += n;
  }
  const QByteArray sum = h.result();
  if (sum.isEmpty())
    return EIO;  // no hash could be made: nothing may be taken as the same
  hex = sum.toHex();
  return 0;
}

int sameBytes(int a, int b, bool& same) {
  std::vector<char> x(64 * 1024);
  std::vector<char> y(x.size());
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(a, x.data(), x.size(), at);
    if (n < 0)
      return errno;
    // The other side read to the same length; short reads of regular files only
    // happen at their end.
    ssize_t m = 0;
    while (m < n) {
      const ssize_t r = ::pread(b, y.data() + m, std::size_t(n - m), at + m);
      if (r < 0)
        return errno;
      if (r == 0)
        break;
      m += r;
    }
    if (m != n || !std::equal(x.begin(), x.begin() + n, y.begin())) {
      same = false;
      return 0;
    }
    if (n == 0) {
      char c;
      const ssize_t r = ::pread(b, &c, 1, at);
      if (r < 0)
        return errno;
      same = r == 0;
      return 0;
    }
    at += n;
  }
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameContent(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

namespace {

// The names of a file's extended attributes, or nothing when they cannot be read.
std::optional<std::vector<QByteArray>> attributeNames(int fd) {
  std::vector<char> buf;
  for (;;) {
    const ssize_t n = ::flistxattr(fd, nullptr, 0);
    if (n < 0)
      return errno == ENOTSUP ? std::make_optional(std::vector<QByteArray>{}) : std::nullopt;
    buf.resize(std::size_t(n));
    const ssize_t got = n == 0 ? 0 : ::flistxattr(fd, buf.data(), buf.size());
    if (got >= 0) {
      buf.resize(std::size_t(got));
      break;
    }
    if (errno != ERANGE)
      return std::nullopt;
  }
  std::vector<QByteArray> names;
  for (std::size_t i = 0; i < buf.size();) {
    names.emplace_back(buf.data() + i);
    i += std::size_t(names.back().size()) + 1;
  }
  return names;
}

// Gives the new file exactly the extended attributes of the old one (ACLs,
// security labels, user attributes), dropping any it got from its folder's
// default ACL. False when that cannot be done.
bool copyAttributes(int from, int to) {
  const auto wanted = attributeNames(from);
  const auto present = attributeNames(to);
  if (!wanted || !present)
    return false;
  for (const QByteArray& name : *present) {
    if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() &&
        ::fremovexattr(to, name.constData()) != 0)
      return false;
  }
  std::vector<char> value;
  for (const QByteArray& name : *wanted) {
    for (;;) {
      const ssize_t n = ::fgetxattr(from, name.constData(), nullptr, 0);
      if (n < 0)
        return false;
      value.resize(std::size_t(n));
      const ssize_t got =
          n == 0 ? 0 : ::fgetxattr(from, name.constData(), value.data(), value.size());
      if (got >= 0) {
        value.resize(std::size_t(got));
        break;
      }
      if (errno != ERANGE)
        return false;
    }
    if (::fsetxattr(to, name.constData(), value.data(), value.size(), 0) != 0)
      return false;
  }
  return true;
}

}  // namespace

// The mode comes last: a change of owner may clear set-user-ID bits, and setting
// an ACL rewrites the group bits.
bool carryIdentity(int from, int to, const struct stat& st) {
  struct stat mine;
  if (::fstat(to, &mine) != 0)
    return false;
  if (mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) {
    if (::fchown(to, st.st_uid, st.st_gid) != 0)
      return false;
  }
  if (!copyAttributes(from, to))
    return false;
  return ::fchmod(to, st.st_mode & 07777) == 0;
}

QByteArray randomTempName() {
  quint32 r[2];
  QRandomGenerator::system()->fillRange(r);
  return QByteArray(".tervane-") + QByteArray(reinterpret_cast<const char*>(r), sizeof r).toHex();
}

}  // namespace clean
