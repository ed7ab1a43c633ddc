// Linux stand-ins for the Windows file-system calls the scan relies on.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

namespace platform {

struct DirEntry {
  QString name;  // bare name, no path
  bool isDir = false;
};

// The directory listing. Entries are sorted by name, case-insensitively first,
// then by code unit, so walks and logs do not depend on the file system's order.
// "." and ".." are delivered (the walk skips them by name). Hidden entries (other
// names starting with ".") and system entries (anything that is neither a regular
// file nor a directory, and every symbolic link) are left out. Types come from
// the listing itself; only a file system that does not report them costs a stat.
// A directory that cannot be listed gives an empty list.
std::vector<DirEntry> listDirectory(QStringView dirPath);

// The validity test of a location: makes it the process's current directory.
bool setCurrentDirectory(QStringView path);

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

// The drive list: one entry per mounted real file system, the root first, then
// by mount point: the mount point, ":", and " [LABEL]" when the volume has one.
QStringList driveList();

}  // namespace platform
