// The careful file I/O the rewrite and the backup store share: every call gives
// 0 or the errno it failed with, and passes each step by the test seam first.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <QByteArray>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/sha256.h"
#include "text/encoding.h"
#include "text/lineends.h"

namespace clean {

enum class Step;
struct Options;

class Steps {
 public:
  // `path`: the file the steps are for, as the fault hook hears of it.
  explicit Steps(const Options& o, QByteArray path = {});
  // The injected errno for this step, or 0.
  int injected(Step s) const;
  const Options& options() const { return o_; }

 private:
  const Options& o_;
  QByteArray path_;
};

// Steps with no fault hook, for the store's own reads and writes.
const Steps& plainSteps();

// Writes all of `n` bytes, at `*at` (advanced) or at the current position.
[[nodiscard]] int writeAll(const Steps& steps, Step step, int fd, const uint8_t* p, std::size_t n,
                           off_t* at = nullptr);
// Reads up to `n` bytes at `*at` (advanced); `got` receives the count.
[[nodiscard]] int readSome(const Steps& steps, Step step, int fd, uint8_t* p, std::size_t n,
                           off_t& at, std::size_t& got);
[[nodiscard]] int syncFile(const Steps& steps, Step step, int fd);
// Starts writing `fd`'s data to disk without waiting for it; a later flush
// reports any error.
void startWriting(int fd);

// Streams the whole of `from` into `to` (written from offset 0, cut to length
// when `truncate`), cleaned of `signature` unless `copyOnly`. Each hash, when given,
// receives what was read and what was written. `written` gets the new length.
struct StreamSpec {
  int from = -1;
  Step readStep;
  int to = -1;
  Step writeStep;
  bool copyOnly = false;
  bool truncate = false;
  platform::Sha256* readHash = nullptr;
  platform::Sha256* writeHash = nullptr;
  // The hash of the cleaned content, also when only copying.
  platform::Sha256* cleanedHash = nullptr;
  // How the content is read for the removal; with Auto, one pass over `from`
  // first learns whether the rule reads it as UTF-8.
  text::Encoding encoding = text::Encoding::Auto;
  text::LineEnds lineEnds = text::LineEnds::Any;
};
[[nodiscard]] int stream(const Steps& steps, std::size_t chunk, QStringView signature,
                         const StreamSpec& how, off_t& written, qint64* removed = nullptr);

// Writes the whole of `copy` back over `file` and cuts it to that length: the
// way back from a copy after an in-place rewrite failed or was cut short.
[[nodiscard]] int copyBack(const Steps& steps, std::size_t chunk, int copy, int file);

// The SHA-256 (hex) of everything `fd` holds. 0 or errno.
[[nodiscard]] int sha256Of(int fd, QByteArray& hex);

// Whether two descriptors hold the same bytes from their starts to their ends.
// 0 or errno; `same` receives the answer.
[[nodiscard]] int sameBytes(int a, int b, bool& same);

bool sameFile(const struct stat& a, const struct stat& b);
// Neither written nor changed in its attributes since `a` was taken.
bool sameContent(const struct stat& a, const struct stat& b);

// Makes `to`'s owner, group, extended attributes and mode those of `from`
// (stat `st`). False when that cannot be done.
[[nodiscard]] bool carryIdentity(int from, int to, const struct stat& st);

// ".tervane-" and 16 random hex digits.
QByteArray randomTempName();

}  // namespace clean
