#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <string_view>

#include "platform/fd.h"
#include "platform/pathcodec.h"
#include "text/textops.h"

namespace platform {

namespace {

// The listing's order: by lower-cased name, then by code unit.
struct SortKey {
  QString lower;
  std::size_t index;
};

// By code unit, as QStringView::compare, but inlined: sorting calls it often.
int compareUnits(const QString& a, const QString& b) {
  return std::u16string_view(reinterpret_cast<const char16_t*>(a.constData()),
                             std::size_t(a.size()))
      .compare(std::u16string_view(reinterpret_cast<const char16_t*>(b.constData()),
                                   std::size_t(b.size())));
}

bool keyLess(const SortKey& a, const SortKey& b, const std::vector<DirEntry>& entries) {
  const int c = compareUnits(a.lower, b.lower);
  if (c != 0)
    return c < 0;
  return compareUnits(entries[a.index].name, entries[b.index].name) < 0;
}

}  // namespace

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;

// Opens `rel` below `base` one part at a time, none of them a link.
UniqueFd openEachPartBelow(int base, const QByteArray& rel) {
  UniqueFd fd(::fcntl(base, F_DUPFD_CLOEXEC, 0));
  for (const QByteArray& part : rel.split('/')) {
    if (!fd)
      break;
    if (part.isEmpty())
      continue;
    fd = UniqueFd(::openat(fd.get(), part.constData(), kDirFlags));
  }
  return fd;
}

// Opens `rel` below `base` with no link anywhere on the way and no way out of
// `base`; one call where the kernel can do it (Linux 5.6 and later).
UniqueFd openBelow(int base, const QByteArray& rel) {
  static std::atomic<bool> noOpenat2{false};
  if (!noOpenat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = kDirFlags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    UniqueFd fd(int(::syscall(SYS_openat2, base, rel.constData(), &how, sizeof how)));
    if (fd || (errno != ENOSYS && errno != EPERM && errno != E2BIG))
      return fd;
    noOpenat2.store(true, std::memory_order_relaxed);
  }
  return openEachPartBelow(base, rel);
}

std::shared_ptr<const OpenDirectory> listOpen(UniqueFd fd);

std::shared_ptr<const OpenDirectory> failed(int error) {
  return std::make_shared<const OpenDirectory>(UniqueFd(), std::vector<DirEntry>(), error);
}

}  // namespace

UniqueFd openFolderBelow(int baseFd, const QByteArray& relPath) {
  if (relPath.isEmpty())
    return UniqueFd(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
  UniqueFd fd = openBelow(baseFd, relPath);
  // openat2 takes no path longer than PATH_MAX; one part at a time takes any.
  if (!fd && errno == ENAMETOOLONG)
    fd = openEachPartBelow(baseFd, relPath);
  return fd;
}

std::shared_ptr<const OpenDirectory> openDirectory(QStringView dirPath) {
  UniqueFd fd(::open(encodePath(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd ? listOpen(std::move(fd)) : failed(errno);
}

std::shared_ptr<const OpenDirectory> openDirectoryBelow(int baseFd, QStringView relPath,
                                                        const FileIdentity& listedAs) {
  QByteArray rel = encodePath(relPath);
  while (rel.endsWith('/'))
    rel.chop(1);  // a final "/" would follow a link in the last part
  if (rel.isEmpty())
    return failed(0);
  UniqueFd fd = openBelow(baseFd, rel);
  if (!fd)
    return failed(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0)
    return failed(errno);
  if (identityOf(st) != listedAs)
    return failed(0);
  return listOpen(std::move(fd));
}

namespace {

// The entries of one read of a folder (`got` bytes in `buf`) that are
// folders or regular files, as they are now.
void takeEntries(int fd, const char* buf, ssize_t got, std::vector<DirEntry>& entries) {
  for (ssize_t at = 0; at < got;) {
    const auto* d = reinterpret_cast<const dirent64*>(buf + at);
    at += d->d_reclen;
    const char* n = d->d_name;
    const bool dots = (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)));
    unsigned char type = dots ? static_cast<unsigned char>(DT_DIR) : d->d_type;
    FileIdentity id;
    if (!dots && (type == DT_DIR || type == DT_UNKNOWN)) {
      // What is there now decides: a directory swapped for a link since the
      // listing read its name is left out like any link.
      struct stat st;
      if (::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int why = errno;
        if (why != ENOENT) {
          entries.push_back(
              DirEntry{decodePath(QByteArrayView(n, qsizetype(strlen(n)))), false, {}, why});
        }
        continue;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      if (type == DT_DIR)
        id = identityOf(st);
    }
    if (type != DT_DIR && type != DT_REG)
      continue;  // links, FIFOs, sockets, devices
    entries.push_back(
        DirEntry{decodePath(QByteArrayView(n, qsizetype(strlen(n)))), type == DT_DIR, id});
  }
}

std::vector<DirEntry> sortedByName(std::vector<DirEntry>& entries) {
  // Each name is lower-cased once, not once per comparison.
  std::vector<SortKey> keys;
  keys.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const QString& name = entries[i].name;
    // Most names are ASCII without capitals: their own key, shared, not copied.
    const bool plain = std::all_of(name.begin(), name.end(), [](QChar c) {
      return c.unicode() < 0x80 && !(c.unicode() >= u'A' && c.unicode() <= u'Z');
    });
    keys.push_back(SortKey{plain ? name : text::lowerCase(name), i});
  }
  std::sort(keys.begin(), keys.end(),
            [&entries](const SortKey& a, const SortKey& b) { return keyLess(a, b, entries); });
  std::vector<DirEntry> sorted;
  sorted.reserve(entries.size());
  for (const SortKey& k : keys)
    sorted.push_back(std::move(entries[k.index]));
  return sorted;
}

std::shared_ptr<const OpenDirectory> listOpen(UniqueFd fd) {
  std::vector<DirEntry> entries;
  int error = 0;
  // The names are read straight from the kernel into one buffer: no second
  // descriptor and no stream around it, which would cost four calls a folder.
  // The descriptor's position moves to the end; `fd` is only used for opening
  // the entries afterwards.
  alignas(8) char buf[16 * 1024];
  for (;;) {
    const ssize_t got = ::getdents64(fd.get(), buf, sizeof buf);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      error = errno;  // what was read counts; the rest of the folder is missed
    if (got <= 0)
      break;
    takeEntries(fd.get(), buf, got, entries);
  }
  return std::make_shared<const OpenDirectory>(std::move(fd), sortedByName(entries), error);
}

}  // namespace

std::vector<DirEntry> listDirectory(QStringView dirPath) {
  return openDirectory(dirPath)->entries();
}

bool setCurrentDirectory(QStringView path) {
  if (path.isEmpty())
    return false;
  return ::chdir(encodePath(path).constData()) == 0;
}

bool canEnterDirectory(QStringView path) {
  if (path.isEmpty())
    return false;
  // The way back is held as a descriptor: a path could have been renamed or
  // removed meanwhile, and O_PATH needs no right to read the folder.
  const UniqueFd previous(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!previous.ok()) {
    // No current directory to return to (it was removed): nothing to hold.
    struct stat st;
    return ::stat(encodePath(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(encodePath(path).constData(), X_OK) == 0;
  }
  if (::chdir(encodePath(path).constData()) != 0)
    return false;
  if (::fchdir(previous.get()) != 0) {
    // The previous folder cannot be entered again: "/" holds no mount busy.
    (void)!::chdir("/");
  }
  return true;
}

QString currentDirectory() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()))
      return decodePath(QByteArrayView(buf.data()));
    if (errno != ERANGE)
      return QString();
    buf.resize(buf.size() * 2);
  }
}

QString designatorToPath(QStringView location) {
  const qsizetype colon = location.indexOf(u':');
  if (colon >= 0 && colon == location.size() - 1) {
    const QStringView root = location.first(colon);
    return root.isEmpty() ? QString() : root.toString();
  }
  return location.toString();
}

namespace {

// Undoes the octal escapes (\040 and friends) of /proc/self/mountinfo.
QByteArray unescapeMountField(const QByteArray& s) {
  QByteArray out;
  out.reserve(s.size());
  for (qsizetype i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      bool ok = false;
      const int v = s.mid(i + 1, 3).toInt(&ok, 8);
      if (ok && v < 256) {
        out.append(char(v));
        i += 3;
        continue;
      }
    }
    out.append(s[i]);
  }
  return out;
}

}  // namespace

std::vector<Mount> readMounts() {
  std::vector<Mount> mounts;
  QFile f(QStringLiteral("/proc/self/mountinfo"));
  if (!f.open(QIODevice::ReadOnly))
    return mounts;
  const QList<QByteArray> lines = f.readAll().split('\n');
  for (const QByteArray& line : lines) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superopts
    const QList<QByteArray> fields = line.split(' ');
    const qsizetype sep = fields.indexOf(QByteArray("-"));
    if (fields.size() < 7 || sep < 6 || sep + 2 >= fields.size())
      continue;
    Mount m;
    m.deviceId = QString::fromLatin1(fields[2]);
    m.mountPoint = decodePath(unescapeMountField(fields[4]));
    m.fsType = QString::fromLatin1(fields[sep + 1]);
    m.device = decodePath(unescapeMountField(fields[sep + 2]));
    mounts.push_back(m);
  }
  return mounts;
}

bool isPseudoFileSystem(QStringView fsType) {
  static const QSet<QString> pseudo = {QStringLiteral("proc"),
                                       QStringLiteral("sysfs"),
                                       QStringLiteral("devtmpfs"),
                                       QStringLiteral("devpts"),
                                       QStringLiteral("cgroup"),
                                       QStringLiteral("cgroup2"),
                                       QStringLiteral("securityfs"),
                                       QStringLiteral("pstore"),
                                       QStringLiteral("bpf"),
                                       QStringLiteral("debugfs"),
                                       QStringLiteral("tracefs"),
                                       QStringLiteral("configfs"),
                                       QStringLiteral("fusectl"),
                                       QStringLiteral("mqueue"),
                                       QStringLiteral("hugetlbfs"),
                                       QStringLiteral("autofs"),
                                       QStringLiteral("binfmt_misc"),
                                       QStringLiteral("efivarfs"),
                                       QStringLiteral("selinuxfs"),
                                       QStringLiteral("rpc_pipefs"),
                                       QStringLiteral("nsfs"),
                                       QStringLiteral("nfsd"),
                                       QStringLiteral("fuse.gvfsd-fuse"),
                                       QStringLiteral("fuse.portal"),
                                       QStringLiteral("fuse.lxcfs"),
                                       QStringLiteral("fuse.snapfuse")};
  return pseudo.contains(fsType.toString());
}

namespace {

// Memory-backed and image file systems: real, but not what a user means by a drive.
bool isVolatileOrImage(QStringView fsType) {
  return fsType == u"tmpfs" || fsType == u"ramfs" || fsType == u"squashfs";
}

QHash<QString, QString> labelsByDevice() {
  QHash<QString, QString> labels;
  QDir dir(QStringLiteral("/dev/disk/by-label"));
  const QFileInfoList links = dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
  for (const QFileInfo& link : links) {
    const QString device = link.canonicalFilePath();
    if (device.isEmpty())
      continue;
    // udev escapes blanks and other bytes as \xNN.
    const QByteArray raw = encodePath(link.fileName());
    QByteArray label;
    for (qsizetype i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 3 < raw.size() && raw[i + 1] == 'x') {
        bool ok = false;
        const int v = raw.mid(i + 2, 2).toInt(&ok, 16);
        if (ok) {
          label.append(char(v));
          i += 3;
          continue;
        }
      }
      label.append(raw[i]);
    }
    labels.insert(device, QString::fromUtf8(label));
  }
  return labels;
}

}  // namespace

QStringList driveList() {
  return driveList(readMounts(), labelsByDevice());
}

QStringList driveList(const std::vector<Mount>& mounts, const QHash<QString, QString>& labels) {
  const auto entryOf = [&labels](const Mount& m) {
    QString entry = m.mountPoint + u':';
    const QString device = QFileInfo(m.device).canonicalFilePath();
    const QString label = device.isEmpty() ? QString() : labels.value(device);
    if (!label.isEmpty())
      entry += QStringLiteral(" [") + label + u']';
    return entry;
  };
  QSet<QString> seenDevices;
  QStringList drives;
  // The root is a drive whatever the mount table says: in a chroot or a
  // container it is often missing there, and its type may be tmpfs or overlay.
  // Of file systems stacked on it the last one listed is the one seen.
  const Mount* root = nullptr;
  for (const Mount& m : mounts) {
    if (m.mountPoint == u"/")
      root = &m;
  }
  if (root) {
    drives.append(entryOf(*root));
    seenDevices.insert(root->deviceId);
  } else {
    drives.append(QStringLiteral("/:"));
  }
  // Then by mount point; a file system mounted twice is one drive.
  std::vector<Mount> sorted;
  for (const Mount& m : mounts) {
    if (m.mountPoint != u"/" && !isPseudoFileSystem(m.fsType) && !isVolatileOrImage(m.fsType) &&
        !m.mountPoint.contains(u':'))
      sorted.push_back(m);
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Mount& a, const Mount& b) {
    return QStringView(a.mountPoint).compare(b.mountPoint) < 0;
  });
  for (const Mount& m : sorted) {
    if (seenDevices.contains(m.deviceId))
      continue;
    seenDevices.insert(m.deviceId);
    drives.append(entryOf(m));
  }
  return drives;
}

}  // namespace platform
