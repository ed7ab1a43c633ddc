// Where the clean would remove the signature from an open file, read from its
// start through the clean's own remover, in the content's encoding by the rule
// the scan and the clean share: for the dry run, the report, and the clean's
// choice of the files it quarantines.
#pragma once

#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "clean/remover.h"
#include "text/encoding.h"
#include "text/lineends.h"

namespace clean {

// The byte ranges a clean would remove: the first kListedRanges of them, and
// the count of all, so that a report stays small whatever the file holds.
inline constexpr std::size_t kListedRanges = 1000;
struct Occurrences {
  std::vector<ByteRange> ranges;
  qint64 count = 0;
  // Every member of a set found (0 for one signature), in the order first found.
  std::vector<std::uint32_t> members;
  int error = 0;          // an errno when the file could not be read to its end
  text::Reading reading;  // how its content was read, and what decided that
};
Occurrences findOccurrences(int fd, QStringView signature, text::Encoding encoding,
                            text::LineEnds lineEnds = text::LineEnds::Any);

// The first member found whose action is quarantine (`all`: any member found),
// which makes the clean quarantine the file; none when the file is to be
// rewritten. `signature`: the one the occurrences were found with.
std::optional<std::uint32_t> quarantineMember(const Occurrences& found, QStringView signature,
                                              bool all);
// Whether a clean with `signature` (and `all` as above) may quarantine at all.
bool mayQuarantine(QStringView signature, bool all);

}  // namespace clean
