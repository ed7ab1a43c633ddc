#include "platform/openpath.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArrayList>

#include <cerrno>
#include <vector>

namespace platform {
namespace {

constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The parts still to walk, the next one last, so that a link's target goes in
// front of what followed the link.
void pushParts(std::vector<QByteArray>& pending, const QByteArray& path) {
  const QByteArrayList parts = path.split('/');
  for (auto it = parts.crbegin(); it != parts.crend(); ++it) {
    if (!it->isEmpty() && *it != ".")
      pending.push_back(*it);
  }
}

// Where the walk is, for naming a refused link: the folders it went through,
// with every link replaced by its target.
class Where {
 public:
  explicit Where(bool absolute) : absolute_(absolute) {}
  void restart() {
    parts_.clear();
    absolute_ = true;
  }
  void enter(const QByteArray& part) {
    if (part != "..")
      parts_.append(part);
    else if (!parts_.isEmpty() && parts_.back() != "..")
      parts_.removeLast();
    else if (!absolute_)
      parts_.append(part);
  }
  QByteArray with(const QByteArray& last) const {
    QByteArrayList all = parts_;
    all.append(last);
    return (absolute_ ? QByteArray("/") : QByteArray()) + all.join('/');
  }

 private:
  bool absolute_;
  QByteArrayList parts_;
};

}  // namespace

bool linkFolderTrusted(const struct stat& folder, uid_t user) {
  return (folder.st_uid == 0 || folder.st_uid == user) && (folder.st_mode & 022) == 0;
}

namespace {

// The step from `at` onto `part` failed as it does for a link or something
// that is no folder. Queues the link's target (or the part again, when it has
// been swapped back to a folder meanwhile), from "/" for an absolute target.
// 0 or errno; `untrusted` names a link refused.
int followLink(UniqueFd& at, const QByteArray& part, LinkTrust trust, Where& where,
               std::vector<QByteArray>& pending, int& links, QByteArray& untrusted) {
  struct stat st;
  if (::fstatat(at.get(), part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno;
  if (++links > kMaxLinks)
    return ELOOP;
  if (S_ISDIR(st.st_mode)) {
    // Swapped back meanwhile: looked at again, within the bound on links.
    pending.push_back(part);
    return 0;
  }
  if (!S_ISLNK(st.st_mode))
    return ENOTDIR;
  if (trust == LinkTrust::Trusted) {
    struct stat folder;
    if (::fstat(at.get(), &folder) != 0)
      return errno;
    if (!linkFolderTrusted(folder, ::geteuid())) {
      untrusted = where.with(part);
      return EPERM;
    }
  }
  // In a trusted folder nobody else can have changed the link since the look
  // above; elsewhere the caller checks what the walk reaches.
  char target[PATH_MAX];
  const ssize_t n = ::readlinkat(at.get(), part.constData(), target, sizeof target);
  if (n < 0)
    return errno == EINVAL ? ENOTDIR : errno;
  if (n == 0)
    return ENOENT;
  if (std::size_t(n) == sizeof target)
    return ENAMETOOLONG;
  if (target[0] == '/') {
    at.reset(::open("/", kStepFlags));
    if (!at.ok())
      return errno;
    where.restart();
  }
  pushParts(pending, QByteArray(target, n));
  return 0;
}

}  // namespace

OpenedFolder openFolderOf(const QByteArray& path, LinkTrust trust) {
  OpenedFolder r;
  const qsizetype slash = path.lastIndexOf('/');
  r.name = path.mid(slash + 1);
  const bool absolute = path.startsWith('/');
  auto failed = [&r](int error) {
    r.dir.reset();
    r.error = error;
    return std::move(r);
  };

  UniqueFd at(::open(absolute ? "/" : ".", kStepFlags));
  if (!at.ok())
    return failed(errno);
  std::vector<QByteArray> pending;
  if (slash > 0)
    pushParts(pending, path.left(slash));
  Where where(absolute);
  int links = 0;
  while (!pending.empty()) {
    const QByteArray part = pending.back();
    pending.pop_back();
    UniqueFd next(::openat(at.get(), part.constData(), kStepFlags));
    if (next.ok()) {
      at = std::move(next);
      where.enter(part);
      continue;
    }
    const int e = errno;
    if (e != ENOTDIR && e != ELOOP)
      return failed(e);
    if (const int refused = followLink(at, part, trust, where, pending, links, r.untrustedLink))
      return failed(refused);
  }
  r.dir.reset(::openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!r.dir.ok())
    return failed(errno);
  return r;
}

}  // namespace platform
