// What the scan needs of the file system: folders opened and listed without
// following links, the current directory, the mounts and the drive list (one
// entry per mounted file system, written as a name ending in a colon).
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QtGlobal>

#include <memory>
#include <utility>
#include <vector>

#include "platform/fd.h"
#include "platform/fileidentity.h"

namespace platform {

struct DirEntry {
  QString name;  // bare name, no path
  bool isDir = false;
  // For a subdirectory: the directory the listing found under this name, so that
  // the walk can tell when the name has come to lead elsewhere. Not set for files.
  FileIdentity id;
  // The errno when what the name stands for could not be looked at (a folder
  // that may be listed but not searched): neither walked nor tested then.
  int error = 0;
};

// An open directory and its listing. The descriptor stays open while the object
// lives, so that files can be opened relative to the very directory that was
// listed, whatever happens to its path meanwhile.
class OpenDirectory {
 public:
  OpenDirectory(UniqueFd fd, std::vector<DirEntry> entries, int error = 0)
      : fd_(std::move(fd)), entries_(std::move(entries)), error_(error) {}

  // -1 when the directory could not be opened.
  int fd() const { return fd_.get(); }
  const std::vector<DirEntry>& entries() const { return entries_; }
  // Why the directory could not be opened, or why its listing was cut short (the
  // entries then are those read before): an errno, 0 when nothing failed. A
  // directory that was no longer the one listed is not an error: fd() is -1 and
  // error() is 0.
  int error() const { return error_; }

 private:
  UniqueFd fd_;
  std::vector<DirEntry> entries_;
  int error_;
};

// The directory listing. Entries are sorted by name, case-insensitively first,
// then by code unit, so walks and logs do not depend on the file system's order.
// "." and ".." are delivered (the walk skips them by name). Every other name is
// listed, dot names included: an intruder hides behind a dot first. System
// entries (anything that is neither a regular file nor a directory, and every
// symbolic link) are left out. Types come from
// the listing itself; a subdirectory, and any entry of a file system that does
// not report types, costs a stat. A directory that cannot be listed gives an
// empty list.
//
// The path may lead through links: a start directory such as /var/www -> /srv/www.
std::shared_ptr<const OpenDirectory> openDirectory(QStringView dirPath);

// The same for a directory below an open one (`baseFd`, the walk's start), reached
// by `relPath` without following any symbolic link on the way, and only when it
// is still the directory `listedAs` that the parent's listing found: a folder
// swapped for a link, or for another folder, anywhere on the way gives nothing,
// and nothing outside the tree is opened. `relPath` must be shorter than PATH_MAX
// in bytes: deeper trees are reached from a directory nearer to them.
std::shared_ptr<const OpenDirectory> openDirectoryBelow(int baseFd, QStringView relPath,
                                                        const FileIdentity& listedAs);

// The folder `relPath` (bytes, relative) below the open folder `baseFd`, opened
// for reading with no symbolic link followed on the way and no way out of
// `baseFd`; an empty path gives `baseFd` itself. An invalid descriptor with errno
// on failure.
UniqueFd openFolderBelow(int baseFd, const QByteArray& relPath);

std::vector<DirEntry> listDirectory(QStringView dirPath);

// Makes `path` the process's current directory.
bool setCurrentDirectory(QStringView path);

// The validity test of a location: whether it can be made the current
// directory. It is made so for the test, and the previous current directory is
// current again afterwards, so no folder stays held (a mount stays unmountable).
bool canEnterDirectory(QStringView path);

// The process's current directory, as text.
QString currentDirectory();

// A location that ends right after its first colon ("/home:", "/:") is a drive
// designator and stands for the root of that mount; anything else is a path as
// it stands.
QString designatorToPath(QStringView location);

struct Mount {
  QString mountPoint;  // no trailing "/" except for the root
  QString fsType;
  QString device;    // mount source
  QString deviceId;  // "major:minor"
};

// The mounts of this process, as the kernel reports them.
std::vector<Mount> readMounts();

// Whether a file system type is a kernel pseudo file system (proc, sysfs, ...),
// never walked.
bool isPseudoFileSystem(QStringView fsType);

// The drive list: the root first, always, then one entry per mounted real file
// system by mount point: the mount point, ":", and " [LABEL]" when the volume
// has one.
QStringList driveList();

// The same over given mounts, with the volume labels by device path. A mount
// point that holds a colon itself is left out: its entry would be cut at that
// colon, to some other folder. Its files are walked with the drive it lies on.
QStringList driveList(const std::vector<Mount>& mounts, const QHash<QString, QString>& labels);

}  // namespace platform
