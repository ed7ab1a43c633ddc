#include "clean/occurrences.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "text/signatureset.h"

namespace clean {

Occurrences findOccurrences(int fd, QStringView signature, text::Encoding encoding,
                            text::LineEnds lineEnds) {
  Occurrences result;
  std::vector<uint8_t> buf(128 * 1024);
  // The next piece's length; -1 with result.error set.
  const auto readPiece = [&]() -> ssize_t {
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) < 0 && errno == EINTR) {
    }
    if (n < 0)
      result.error = errno;
    return n;
  };
  // The content's reading, as for the scan and the clean.
  text::ReadingFinder finder(encoding);
  bool readSome = false;
  while (!finder.decided()) {
    const ssize_t n = readPiece();
    if (n < 0)
      return result;
    if (n == 0)
      break;
    readSome = true;
    finder.feed(buf.data(), std::size_t(n));
  }
  result.reading = finder.finish();
  encoding = result.reading.encoding;
  if (readSome && ::lseek(fd, 0, SEEK_SET) != 0) {
    result.error = errno;
    return result;
  }
  SignatureRemover remover(signature, encoding, lineEnds);
  remover.recordRanges(true);
  std::vector<uint8_t> out;
  for (;;) {
    const ssize_t n = readPiece();
    if (n < 0)
      return result;
    out.clear();  // only where the occurrences were matters here
    remover.feed(buf.data(), std::size_t(n), n == 0, out);
    const std::vector<ByteRange>& got = remover.ranges();
    result.count += qint64(got.size());
    for (const ByteRange& r : got) {
      if (std::find(result.members.begin(), result.members.end(), r.member) == result.members.end())
        result.members.push_back(r.member);
    }
    const std::size_t room = kListedRanges - std::min(kListedRanges, result.ranges.size());
    result.ranges.insert(result.ranges.end(), got.begin(),
                         got.begin() + std::ptrdiff_t(std::min(room, got.size())));
    remover.clearRanges();
    if (n == 0)
      break;
  }
  // What a clean would leave could still hold an occurrence: no answer.
  if (remover.gaveUp())
    result.error = EOVERFLOW;
  return result;
}

std::optional<std::uint32_t> quarantineMember(const Occurrences& found, QStringView signature,
                                              bool all) {
  if (found.members.empty() || !mayQuarantine(signature, all))
    return std::nullopt;
  if (all)
    return found.members.front();
  const std::vector<text::SetMember> members = text::unpackSignatureSet(signature);
  for (const std::uint32_t m : found.members) {
    if (m < members.size() && members[m].action == text::MemberAction::Quarantine)
      return m;
  }
  return std::nullopt;
}

bool mayQuarantine(QStringView signature, bool all) {
  return all || text::anyQuarantines(signature);
}

}  // namespace clean
