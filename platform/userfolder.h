// The user's own folders under the data folder ($XDG_DATA_HOME when it is an
// absolute path, otherwise ~/.local/share): <data>/tervane/<name>. Trusted only
// when every folder below the data folder is the running user's, closed to
// others and reached without a link; the backup store and the set cache both
// stand on these checks.
#pragma once

#include <QByteArray>

#include "platform/fd.h"

namespace platform {

// The data folder's path without a trailing slash; empty when neither
// XDG_DATA_HOME nor HOME says where it is.
QByteArray userDataPath();

enum class FolderUse {
  Existing,       // never made; one open to others is refused (EACCES)
  Create,         // made when missing (0700); one open to others is closed
  CreateMissing,  // made when missing (0700); an existing one open to others is refused
};

// Opens the folder `name` below `at`, never through a link, and makes sure it
// is the running user's (EPERM otherwise) and closed to others. 0 or errno.
[[nodiscard]] int openOwnFolder(int at, const char* name, FolderUse use, UniqueFd& out);

// Opens <data>/tervane/<name> (`name` one component); the data folder itself
// may lead through links the user set up (a home on another disk), below it
// nothing does. `path`, when given, gets the folder's path. 0 or errno.
[[nodiscard]] int openUserFolder(const char* name, FolderUse use, UniqueFd& out,
                                 QByteArray* path = nullptr);

}  // namespace platform
