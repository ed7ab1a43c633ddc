// The set cache: built signature sets kept in <data>/tervane/sets (see
// platform/userfolder.h), so that a scan, a clean, a dry run or a watch of a
// set that was built before reads it back instead of building it.
//
// Trusted only as the backup store is: the folders below the data folder the
// user's own, mode 0700, reached without a link. Each entry is a regular file
// of the user's, closed to others, of one link, opened without following one,
// that begins with the SHA-256 of the rest: anything else is not used (said
// once), and the set is built and kept anew. The oldest entries go once the
// entries together pass a size cap.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>

#include "scan/signaturesetmatch.h"

namespace engine {

class SetCache : public scan::BuiltSetStore {
 public:
  static constexpr std::uint64_t kDefaultCap = 256ull << 20;
  // `warn`: told once, the first time something at the cache's place is not used.
  explicit SetCache(std::function<void(const QString&)> warn, std::uint64_t capBytes = kDefaultCap);
  QByteArray load(const QByteArray& key) override;
  void save(const QByteArray& key, const QByteArray& image) override;
  // The cache folder's path (whether or not it is there).
  static QByteArray path();

 private:
  void refuse(const QByteArray& what, int error);
  void prune(int dirfd);

  std::function<void(const QString&)> warn_;
  std::uint64_t cap_;
  std::once_flag warned_;
};

// Sets built from now on in this process are kept in (and read from) the set
// cache, or, with `on` false, always built. `warn` as SetCache's.
void keepBuiltSets(bool on, std::function<void(const QString&)> warn = {});

}  // namespace engine
