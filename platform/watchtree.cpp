#include "platform/watchtree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "platform/fs.h"

namespace platform {

namespace {
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
}  // namespace

bool isUnder(const QByteArray& path, const QByteArray& root) {
  if (root == "/")
    return path.startsWith('/');
  return path == root || (path.startsWith(root) && path.at(root.size()) == '/');
}

QByteArray joinedPath(const QByteArray& dir, QByteArrayView name) {
  QByteArray out = dir;
  if (!out.endsWith('/'))
    out += '/';
  out += name;
  return out;
}

qsizetype rootOf(const std::vector<QByteArray>& roots, const QByteArray& path) {
  qsizetype best = -1;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (isUnder(path, roots[i]) && (best < 0 || roots[i].size() > roots[std::size_t(best)].size()))
      best = qsizetype(i);
  }
  return best;
}

UniqueFd openUnderRoots(const std::vector<QByteArray>& roots, const std::vector<UniqueFd>& rootFds,
                        const QByteArray& path) {
  const qsizetype r = rootOf(roots, path);
  if (r < 0) {
    errno = ENOENT;
    return UniqueFd();
  }
  const QByteArray& root = roots[std::size_t(r)];
  return openFolderBelow(rootFds[std::size_t(r)].get(),
                         path.mid(root == "/" ? 1 : root.size() + 1));
}

bool walkTree(UniqueFd top, const QByteArray& path, const OnFolder& onFolder,
              const OnFile& onFile) {
  // A folder still to visit: its parent, held open, and its name there. Opened
  // only when the walk reaches it, so that the descriptors held are those of the
  // folders on the way down, however wide the tree.
  struct Pending {
    std::shared_ptr<UniqueFd> parent;
    QByteArray name;
    QByteArray path;
  };
  auto first = std::make_shared<UniqueFd>(std::move(top));
  std::vector<Pending> stack;
  stack.push_back(Pending{nullptr, {}, path});
  while (!stack.empty()) {
    Pending next = std::move(stack.back());
    stack.pop_back();
    auto dir = next.parent ? std::make_shared<UniqueFd>(
                                 ::openat(next.parent->get(), next.name.constData(), kDirFlags))
                           : first;
    next.parent.reset();
    if (!dir->ok())
      continue;  // gone, or swapped for a link
    if (!onFolder(dir->get(), next.path))
      return false;
    const int listFd = ::openat(dir->get(), ".", kDirFlags);
    DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!d) {
      if (listFd >= 0)
        ::close(listFd);
      continue;
    }
    std::vector<QByteArray> subfolders;
    while (const dirent* e = ::readdir(d)) {
      const QByteArrayView name(e->d_name);
      if (name == "." || name == "..")
        continue;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(dir->get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
          continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
      }
      if (type == DT_DIR)
        subfolders.emplace_back(name.toByteArray());
      else if (type != DT_LNK && onFile)
        onFile(dir->get(), e->d_name, joinedPath(next.path, name));
    }
    ::closedir(d);
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
      stack.push_back(Pending{dir, *it, joinedPath(next.path, *it)});
  }
  return true;
}

}  // namespace platform
