// The watched trees' paths, and the walk the watch makes of them: depth first,
// through no link, reading no content.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <vector>

#include "platform/fd.h"

namespace platform {

// Whether `path` is `root` or lies below it (both absolute, without a trailing
// slash but for "/").
bool isUnder(const QByteArray& path, const QByteArray& root);

// `dir` and `name` joined by one slash.
QByteArray joinedPath(const QByteArray& dir, QByteArrayView name);

// The root among `roots` that holds `path` (the longest), or -1.
qsizetype rootOf(const std::vector<QByteArray>& roots, const QByteArray& path);

// The folder `path` opened below the root of `roots` that holds it (its open
// descriptor in `rootFds`), through no link; errno set on failure.
UniqueFd openUnderRoots(const std::vector<QByteArray>& roots, const std::vector<UniqueFd>& rootFds,
                        const QByteArray& path);

// Walks the tree of the open folder `top` (at `path`) depth first, through no
// link: `onFolder` for each folder (its descriptor and path; false stops the
// walk), `onFile` for every other entry that is not a folder nor a link (the
// folder's descriptor, the entry's name and path). Returns false when onFolder
// stopped it.
using OnFolder = std::function<bool(int fd, const QByteArray& path)>;
using OnFile = std::function<void(int dirFd, const char* name, const QByteArray& path)>;
bool walkTree(UniqueFd top, const QByteArray& path, const OnFolder& onFolder, const OnFile& onFile);

}  // namespace platform
