// The search of a page read as UTF-16 (its byte-order mark says so): decoded
// piece by piece into lower-cased text, each line break one LF under the
// any-line-end rule, and searched character by character. Such pages are rare,
// so the search is plain rather than fast; memory stays one piece of input
// plus the longest signature.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace scan {

class Utf16Search {
 public:
  // `needles`: the texts looked for, lower-cased (and each line break an LF
  // with `anyLineEnd`); a match of any is the answer. `buf` is fed as
  // SignatureMatcher's own search is: buf[0, kept()) holds bytes kept from the
  // last round, the rest is new.
  Utf16Search(const std::vector<QString>& needles, bool bigEndian, bool anyLineEnd,
              std::uint8_t* buf);

  std::optional<bool> scan(std::size_t len, bool final);
  std::size_t kept() const { return kept_; }
  int error() const { return 0; }
  // The needle found, once the answer is a match.
  std::uint32_t found() const { return found_; }

 private:
  const std::vector<QString>& needles_;
  bool bigEndian_;
  bool anyLineEnd_;
  std::uint8_t* buf_;
  std::size_t kept_ = 0;
  qsizetype longest_ = 0;
  // The decoded text not yet passed by: the last characters of the last round.
  QString text_;
  std::uint32_t found_ = 0;
};

}  // namespace scan
