// Opens the folder that holds a path's last part, one part at a time, so that no
// call is given more than one name (paths of any length work) and every symbolic
// link on the way is seen and judged before it is followed.
//
// The rule for links (LinkTrust::Trusted), the one sudo and OpenSSH apply to the
// paths they trust: a link is followed only where no one but root or the running
// user could have put it, that is when the folder that holds it
// - is owned by root or by the running user (its effective uid), and
// - is writable neither by its group nor by others. ACLs count: a named user's
//   or group's write permission shows in the group bits (the ACL's mask).
// A sticky folder writable by others, such as /tmp, is writable by others: a
// link there is refused whoever owns it, since anyone can create a name there,
// moving in a link from a folder of their own included. The folders on the way
// that are not links need no such test: each is held open while the next part
// is looked up in it, so swapping one for a link afterwards changes nothing.
// The link's target is walked by the same rule; at most kMaxLinks links are
// followed in all, as the kernel allows.
#pragma once

#include <QByteArray>

#include "platform/fd.h"

namespace platform {

enum class LinkTrust {
  Any,      // every link is followed: the caller checks what it reaches
  Trusted,  // only the links the rule above trusts
};

inline constexpr int kMaxLinks = 40;

struct OpenedFolder {
  UniqueFd dir;     // the folder, open for reading (fsync and *at calls work on it)
  QByteArray name;  // the path's last part, after its last "/" (may be empty)
  int error = 0;    // the errno when the folder could not be opened
  // The link that was not followed (error is then EPERM), as the walk reached
  // it: the folders walked to it, links resolved, and its own name.
  QByteArray untrustedLink;
};

// The folder of `path` (bytes; a relative path counts from the current directory;
// a path without "/" lies in the current directory).
OpenedFolder openFolderOf(const QByteArray& path, LinkTrust trust);

// Whether a link held by the folder `folder` may be followed by `user`.
bool linkFolderTrusted(const struct stat& folder, uid_t user);

}  // namespace platform
