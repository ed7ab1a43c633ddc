#include "platform/userfolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// mkdir -p for the user's own data folder (0700 for each folder made).
void makeParents(const QByteArray& path) {
  for (qsizetype i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/')
      ::mkdir(path.left(i).constData(), 0700);
  }
}

}  // namespace

QByteArray userDataPath() {
  QByteArray base = qgetenv("XDG_DATA_HOME");
  if (!base.startsWith('/')) {
    const QByteArray home = qgetenv("HOME");
    if (!home.startsWith('/'))
      return {};
    base = home + "/.local/share";
  }
  while (base.size() > 1 && base.endsWith('/'))
    base.chop(1);
  return base;
}

int openOwnFolder(int at, const char* name, FolderUse use, UniqueFd& out) {
  if (use != FolderUse::Existing && ::mkdirat(at, name, 0700) != 0 && errno != EEXIST)
    return errno;
  out.reset(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!out.ok())
    return errno == ENOTDIR ? ELOOP : errno;
  struct stat st;
  if (::fstat(out.get(), &st) != 0)
    return errno;
  if (st.st_uid != ::geteuid())
    return EPERM;
  if ((st.st_mode & 077) != 0) {
    // Only the one who creates the folder closes it; anyone else leaves a
    // folder that others may have entered alone.
    if (use != FolderUse::Create)
      return EACCES;
    if (::fchmod(out.get(), 0700) != 0)
      return errno;
  }
  return 0;
}

int openUserFolder(const char* name, FolderUse use, UniqueFd& out, QByteArray* path) {
  const QByteArray base = userDataPath();
  if (path)
    *path = base.isEmpty() ? QByteArray() : base + "/tervane/" + name;
  if (base.isEmpty())
    return ENOENT;
  if (use != FolderUse::Existing)
    makeParents(base);
  UniqueFd baseFd(::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!baseFd.ok())
    return errno;
  UniqueFd tervane;
  if (const int e = openOwnFolder(baseFd.get(), "tervane", use, tervane))
    return e;
  return openOwnFolder(tervane.get(), name, use, out);
}

}  // namespace platform
