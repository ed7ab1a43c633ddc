#include "engine/setcache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "clean/fileio.h"
#include "clean/storelayout.h"
#include "platform/pathline.h"
#include "platform/sha256.h"
#include "platform/userfolder.h"

using namespace Qt::StringLiterals;

namespace engine {

namespace {

constexpr char kFolder[] = "sets";
constexpr char kSuffix[] = ".set";
constexpr qsizetype kHashBytes = 32;

QByteArray entryName(const QByteArray& key) {
  return key + kSuffix;
}

// 0 or errno; `size` bytes of `fd` from where it is.
int readAll(int fd, std::uint64_t size, QByteArray& out) {
  out.resize(qsizetype(size));
  std::uint64_t at = 0;
  while (at < size) {
    const ssize_t n = ::read(fd, out.data() + at, std::size_t(size - at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return errno;
    if (n == 0)
      return EIO;  // shorter than it was a moment ago
    at += std::uint64_t(n);
  }
  return 0;
}

int writeAll(int fd, const QByteArray& bytes) {
  qsizetype at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + at, std::size_t(bytes.size() - at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return errno;
    at += n;
  }
  return 0;
}

}  // namespace

SetCache::SetCache(std::function<void(const QString&)> warn, std::uint64_t capBytes)
    : warn_(std::move(warn)), cap_(capBytes) {}

QByteArray SetCache::path() {
  const QByteArray base = platform::userDataPath();
  return base.isEmpty() ? QByteArray() : base + "/tervane/" + kFolder;
}

void SetCache::refuse(const QByteArray& what, int error) {
  std::call_once(warned_, [&] {
    if (warn_)
      warn_(u"the set cache is not used: "_s + platform::lineOfBytes(what) + u": "_s +
            platform::errorText(error) + u"; the set is built"_s);
  });
}

QByteArray SetCache::load(const QByteArray& key) {
  platform::UniqueFd dir;
  QByteArray folder;
  if (const int e =
          platform::openUserFolder(kFolder, platform::FolderUse::Existing, dir, &folder)) {
    if (e != ENOENT)
      refuse(folder, e);
    return {};
  }
  const QByteArray name = entryName(key);
  platform::UniqueFd fd(::openat(dir.get(), name.constData(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT)
      refuse(folder + '/' + name, errno);
    return {};
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    refuse(folder + '/' + name, errno);
    return {};
  }
  // Each way an entry may not be genuine, with the reason said for it.
  const int wrong = !S_ISREG(st.st_mode)               ? EINVAL
                    : st.st_uid != ::geteuid()         ? EPERM
                    : (st.st_mode & 077) != 0          ? EACCES
                    : st.st_nlink != 1                 ? EMLINK
                    : std::uint64_t(st.st_size) > cap_ ? EFBIG
                    : st.st_size < kHashBytes          ? EBADMSG
                                                       : 0;
  if (wrong) {
    refuse(folder + '/' + name, wrong);
    return {};
  }
  QByteArray hash;
  QByteArray image;
  int e = readAll(fd.get(), kHashBytes, hash);
  if (e == 0)
    e = readAll(fd.get(), std::uint64_t(st.st_size - kHashBytes), image);
  if (e != 0) {
    refuse(folder + '/' + name, e);
    return {};
  }
  if (platform::Sha256::of(image) != hash) {
    refuse(folder + '/' + name, EBADMSG);
    return {};
  }
  // Marks the entry as used now: pruning takes the least recently used first.
  ::futimens(fd.get(), nullptr);
  return image;
}

void SetCache::save(const QByteArray& key, const QByteArray& image) {
  if (std::uint64_t(image.size()) + kHashBytes > cap_)
    return;
  platform::UniqueFd dir;
  QByteArray folder;
  if (const int e =
          platform::openUserFolder(kFolder, platform::FolderUse::CreateMissing, dir, &folder)) {
    refuse(folder, e);
    return;
  }
  // Written beside under a name of its own, then put in place whole: a reader
  // never sees half an entry, and a link at the entry's name is replaced, not
  // followed.
  const QByteArray temp = clean::randomTempName();
  platform::UniqueFd fd(::openat(dir.get(), temp.constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd)
    return;
  const QByteArray hash = platform::Sha256::of(image);
  if (hash.size() != kHashBytes || writeAll(fd.get(), hash) != 0 ||
      writeAll(fd.get(), image) != 0 ||
      ::renameat(dir.get(), temp.constData(), dir.get(), entryName(key).constData()) != 0) {
    ::unlinkat(dir.get(), temp.constData(), 0);
    return;
  }
  prune(dir.get());
}

void SetCache::prune(int dirfd) {
  struct Entry {
    QByteArray name;
    struct timespec used;
    std::uint64_t bytes;
  };
  std::vector<Entry> entries;
  std::uint64_t total = 0;
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  for (const QByteArray& n : clean::namesIn(dirfd)) {
    struct stat st;
    // What a writer cut short left behind (an hour is far longer than any write).
    if (n.startsWith(".tervane-") &&
        ::fstatat(dirfd, n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_mtim.tv_sec + 3600 < now.tv_sec) {
      ::unlinkat(dirfd, n.constData(), 0);
      continue;
    }
    if (!n.endsWith(kSuffix) || ::fstatat(dirfd, n.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    entries.push_back({n, st.st_mtim, std::uint64_t(st.st_size)});
    total += std::uint64_t(st.st_size);
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::pair(a.used.tv_sec, a.used.tv_nsec) < std::pair(b.used.tv_sec, b.used.tv_nsec);
  });
  for (const Entry& e : entries) {
    if (total <= cap_)
      break;
    if (::unlinkat(dirfd, e.name.constData(), 0) == 0)
      total -= e.bytes;
  }
}

void keepBuiltSets(bool on, std::function<void(const QString&)> warn) {
  scan::SetMatcher::keepBuiltSetsIn(on ? std::make_shared<SetCache>(std::move(warn)) : nullptr);
}

}  // namespace engine
