// Removes the signature from a byte stream without decoding and re-encoding it:
// occurrences are found on the decoded, lower-cased text, as the scan finds them,
// and dropped as the bytes that encode them; every other byte is passed on
// exactly as it came in, bytes that do not decode included. The removal is
// repeated on its own output until it finds nothing, so that text joined around
// a removed occurrence cannot form a new one; each further round runs behind the
// one before it in the same stream. Memory stays bounded by one piece of input
// plus the signature's length for each round, whatever the size of the stream.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <deque>
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

  ~SignatureRemover();
  SignatureRemover(const SignatureRemover&) = delete;
  SignatureRemover& operator=(const SignatureRemover&) = delete;

  // Takes the next `n` bytes of the stream (the last piece with `final` set; it
  // may be empty) and appends to `out` the bytes that no later input can make
  // part of an occurrence. After the final piece everything has been passed on.
  void feed(const uint8_t* p, std::size_t n, bool final, std::vector<uint8_t>& out);

  // Occurrences removed so far, in all rounds.
  qint64 removed() const;
  // Whether the removal gave up: the stream needed more than kMaxRounds rounds,
  // and what was passed on may still hold an occurrence. It must not be used.
  bool gaveUp() const;
  static constexpr int kMaxRounds = 8;

  // With `on`, the byte ranges that the removal takes out of the stream are kept
  // from now on, in stream order, for the dry run and the report: one range for
  // each run of removed bytes that a single occurrence spans, so an occurrence
  // that a later round found around earlier ones is one range holding them. A
  // range is kept once the bytes before it have all been passed on or removed; `member` is
  // that of the outermost occurrence.
  void recordRanges(bool on);
  const std::vector<ByteRange>& ranges() const;
  // Forgets the ranges kept so far, for a caller that uses them as they come.
  void clearRanges();

 private:
  // What the rounds of one stream share: the count, and the removed ranges in
  // the first round's bytes.
  struct Shared {
    qint64 removed = 0;
    bool gaveUp = false;
    bool record = false;
    // Ranges not yet settled, by offset, and those handed out.
    std::vector<ByteRange> open;
    std::vector<ByteRange> settled;
    // Where in the stream the first byte that a round still holds lies.
    qint64 decided = 0;
    void add(ByteRange r);
    void settle(bool all);
  };
  SignatureRemover(const SignatureRemover& before, Shared* shared);
  // The first round's offset of this round's stream offset `at`.
  qint64 originOf(qint64 at) const;
  // Passes bytes_[from, to) on, to the next round or to `out`.
  void pass(std::size_t from, std::size_t to, std::vector<uint8_t>& out);
  // A removed occurrence, bytes_[from, to).
  void took(std::size_t from, std::size_t to, std::uint32_t member);

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
  bool utf16_ = false;
  bool bigEndian_ = false;
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
  // The stream offset of bytes_[0], and of the next byte passed on.
  qint64 base_ = 0;
  qint64 passed_ = 0;
  int round_ = 1;
  std::unique_ptr<Shared> ownShared_;
  Shared* shared_;
  // The round that reads this one's output: made at its first removal (until
  // then the output is the input, and a round over it would find nothing).
  std::unique_ptr<SignatureRemover> next_;
  std::vector<uint8_t> forNext_;
  // Where this round's stream offsets lie in the first round's, for a later
  // round: (offset here, offset there) at each point where the two stop running
  // alongside.
  std::deque<std::pair<qint64, qint64>> origins_;
};

// The same on content in memory, fed in pieces of `chunkSize` bytes, read in the
// encoding the rule gives for it. With `ranges`, the byte ranges of the removed
// occurrences are stored there; `gaveUp`, when given, says whether the removal
// gave up (see SignatureRemover::gaveUp()).
QByteArray removeSignature(QByteArrayView content, QStringView signature, std::size_t chunkSize,
                           std::vector<ByteRange>* ranges = nullptr,
                           text::Encoding encoding = text::Encoding::Auto,
                           text::LineEnds lineEnds = text::LineEnds::Any, bool* gaveUp = nullptr);

}  // namespace clean
