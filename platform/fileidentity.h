// Which file a name led to when it was looked at.
#pragma once

#include <QtGlobal>

namespace platform {

// Device and inode numbers.
struct FileIdentity {
  quint64 device = 0;
  quint64 inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace platform
