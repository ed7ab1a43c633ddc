// The two sources of the watch's events, behind FsWatch (see fswatch.h), and
// what they share.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include "platform/fd.h"
#include "platform/fileidentity.h"
#include "platform/fswatch.h"

namespace platform {

// The identity of the entry `name` below `dirFd` when it is a regular file that
// has another name as well (a hard link); nothing otherwise.
std::optional<FileIdentity> linkedFile(int dirFd, const char* name);

// The folder tree `roots` must already be open as `rootFds`. Nothing, with
// `why`, when the backend cannot watch them.
std::unique_ptr<FsWatch> openInotifyWatch(const std::vector<QByteArray>& roots,
                                          std::vector<UniqueFd> rootFds, qint64 watchLimit,
                                          QString* why);
std::unique_ptr<FsWatch> openFanotifyWatch(const std::vector<QByteArray>& roots,
                                           std::vector<UniqueFd> rootFds, QString* why);

}  // namespace platform
