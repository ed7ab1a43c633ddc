// Removes the signature from a byte stream without decoding and re-encoding it:
// occurrences are found on the decoded, lower-cased text, as the scan finds them,
// and dropped as the bytes that encode them; every other byte is passed on
// exactly as it came in, bytes that do not decode included. Memory stays bounded
// by one piece of input plus the signature's length, whatever the size of the
// stream.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/encoding.h"
#include "text/lineends.h"

namespace clean {

// Where one removed occurrence lay in the input stream, in bytes.
struct ByteRange {
  qint64 offset = 0;
  qint64 length = 0;
  // Which member of a signature set the occurrence is (0 for one signature).
  std::uint32_t member = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

class SignatureRemover {
 public:
  // `signature`: trimmed and lower-cased, compared character by character with the
  // lower-cased content, so that letters match whatever their case in the file;
  // an empty one removes nothing. A set's text (text/signatureset.h) removes
  // every member: one pass from the start that takes, at each position, the
  // longest member that occurs there. `encoding`: the stream's, Gbk, Utf8,
  // Utf16Le or Utf16Be (the rule's choice for the whole content must be made
  // before). `lineEnds`: with
  // Any, each of its line breaks takes any line break of the stream, whose
  // bytes (one or two) go with the occurrence.
  SignatureRemover(QStringView signature, text::Encoding encoding,
                   text::LineEnds lineEnds = text::LineEnds::Any);

  // Takes the next `n` bytes of the stream (the last piece with `final` set; it
  // may be empty) and appends to `out` the bytes that no later input can make
  // part of an occurrence. After the final piece everything has been passed on.
  void feed(const uint8_t* p, std::size_t n, bool final, std::vector<uint8_t>& out);

  // Occurrences removed so far.
  qint64 removed() const { return removed_; }

  // With `on`, the byte range of every occurrence removed from now on is kept,
  // in stream order, for the dry run and the report.
  void recordRanges(bool on) { recordRanges_ = on; }
  const std::vector<ByteRange>& ranges() const { return ranges_; }
  // Forgets the ranges kept so far, for a caller that uses them as they come.
  void clearRanges() { ranges_.clear(); }

 private:
  // The longest member at a position, for a set: its index and length in code
  // units, or -1.
  std::pair<int, qsizetype> longestAt(QStringView text, qsizetype at) const;

  QString signature_;
  // A set of several members: their texts as a trie of code units. Children of
  // the root by code unit; other edges by (node, code unit); for each node the
  // member that ends there, or -1.
  struct Trie {
    qsizetype longest = 0;
    std::vector<std::uint32_t> rootChild;
    std::unordered_map<std::uint64_t, std::uint32_t> edges;
    std::vector<int> terminal;
  };
  // The trie of a set's text, built once for all the files of a clean.
  static std::shared_ptr<const Trie> trieFor(QStringView setText, bool utf8, bool anyLineEnd);
  bool isSet_ = false;
  std::shared_ptr<const Trie> trie_;
  // A stream read as UTF-16, and in which byte order.
  bool utf16_;
  bool bigEndian_;
  // Whether the stream decodes to whole characters (UTF-8, UTF-16), where
  // half of a surrogate pair matches none.
  bool utf8_;
  bool anyLineEnd_;
  // The lower-cased code units not yet passed on, where the character of each
  // begins in `bytes_`, and their bytes; plus the first bytes of a character
  // that waits for the rest of it in the next piece.
  std::vector<char16_t> chars_;
  std::vector<std::size_t> starts_;
  std::size_t count_ = 0;
  std::vector<uint8_t> bytes_;
  uint8_t carry_[4] = {};
  std::size_t carrySize_ = 0;
  qint64 removed_ = 0;
  // The stream offset of bytes_[0].
  qint64 base_ = 0;
  bool recordRanges_ = false;
  std::vector<ByteRange> ranges_;
};

// The same on content in memory, fed in pieces of `chunkSize` bytes, read in the
// encoding the rule gives for it. With `ranges`, the byte ranges of the removed
// occurrences are stored there.
QByteArray removeSignature(QByteArrayView content, QStringView signature, std::size_t chunkSize,
                           std::vector<ByteRange>* ranges = nullptr,
                           text::Encoding encoding = text::Encoding::Auto,
                           text::LineEnds lineEnds = text::LineEnds::Any);

}  // namespace clean
