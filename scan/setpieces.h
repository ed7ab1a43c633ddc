// How a set's build chooses each member's literal piece: the members' shared
// runs of bytes, each character's byte forms (made once per character), and
// the piece of a member that the fewest other members may hold.
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "scan/bytesearch.h"
#include "scan/pattern.h"

namespace scan::setpieces {

inline constexpr std::size_t kGram = 8;

// The characters of a member that its expression holds.
inline constexpr std::size_t kExpressionChars = 32;
// The fewest bytes a literal needs, unless it is the whole member: fewer
// would find too many candidates.
inline constexpr std::size_t kLiteralMinBytes = 4;
// Where a literal piece is looked for, and its most bytes: Hyperscan's
// literal matcher is several times faster with pieces of 16 bytes than of 30.
inline constexpr std::size_t kPieceChars = 64;
inline constexpr std::size_t kLiteralMaxBytes = 16;
// The forms' patterns hold the forms of these characters.
static_assert(kPieceChars <= Pattern::kSetFormChars && kExpressionChars <= Pattern::kSetFormChars);

// Inline: both are called for every byte position of every member.
inline std::uint64_t gramAt(const char* p) {
  std::uint64_t g = 0;
  std::memcpy(&g, p, kGram);
  return g;
}

// A bijection of the 64-bit numbers that spreads runs of text evenly over
// its top bits.
inline std::uint64_t spread(std::uint64_t g) {
  g ^= g >> 31;
  g *= 0x9E3779B97F4A7C15ull;
  return g ^ (g >> 29);
}

// For each run of 8 bytes in the members' first characters (lower-cased, as
// UTF-8), how many members hold it: each run once (spread), sorted, with its
// count beside it (a hash map's node per run took more time and memory than
// the rest of the choice of pieces), and where each range of top bits begins,
// so that a look-up searches a few runs instead of all.
struct GramCounts {
  static constexpr int kIndexBits = 16;
  std::vector<std::uint64_t> runs;
  std::vector<std::uint32_t> counts;
  std::vector<std::uint32_t> firstWithTop;  // 2^kIndexBits + 1 entries
  std::uint32_t members = 0;
  std::uint32_t count(std::uint64_t g) const;
};

// The counts of the runs in the first kPieceChars characters of each member.
GramCounts countSharedRuns(const std::vector<QString>& signatureTexts);

// What the choice of a piece needs of one character's byte forms (in one
// reading or both): the fewest and most bytes of a form, and the form lower-
// cased where every form is the same bytes up to ASCII letter case (`len` 0
// where they differ otherwise).
struct CharForms {
  std::uint8_t lo = 4;
  std::uint8_t hi = 0;
  std::uint8_t len = 0;
  char folded[4] = {};
};

CharForms formsOf(const std::vector<std::string>& forms);
// A character's forms in both readings together.
CharForms joinedCharForms(const CharForms& a, const CharForms& b);

// The literal piece chosen for a member: its bytes, the least and most bytes
// from the member's start to the piece's end, and whether it is the whole
// member.
struct Piece {
  std::string bytes;
  std::size_t minBytes = 0;
  std::size_t maxBytes = 0;
  bool whole = false;
};

// What a member's characters ask of the choice: the first of them, all of
// them counted (`total`), the piece's most bytes and the members' shared runs.
struct PieceAsk {
  const CharForms* chars;
  std::size_t n;
  std::size_t total;
  const GramCounts& shared;
};

// Reused from one member to the next: the choice allocates nothing once warm.
struct PieceScratch {
  std::string bytes;
  std::vector<std::size_t> at;
  std::vector<std::size_t> lo;
  std::vector<std::size_t> hi;
  std::vector<std::uint32_t> sharedFrom;
};

// A piece of at most `longest` bytes of characters with folded forms, as one
// caseless literal: it matches every form of those characters (and at most
// some bytes more, which the confirmation rejects). The one that the fewest
// other members may hold (members of one incident often begin alike, and a
// piece they share makes each of them a candidate wherever one occurs), then
// the longest. Empty where no character has a folded form.
Piece choosePiece(const PieceAsk& ask, std::size_t longest, PieceScratch& s);

using FormList = std::vector<std::vector<std::string>>;

// The piece of the first `chars` characters of `forms` (joined with
// `more`'s) of a member of `total` characters.
Piece pieceOfForms(const FormList& forms, const FormList* more, std::size_t total,
                   const GramCounts& shared, PieceScratch& s);

using OddPrefix = std::pair<bytesearch::Probe, bytesearch::Probe>;

// One character's forms in one reading, as a pattern of that character alone
// has them: the same rule as the member's own pattern, made once per
// character instead of once per member.
struct CharEntry {
  bool possible = false;
  CharForms forms;
  std::size_t maxBytes = 0;
  std::vector<OddPrefix> odd;
};

class CharTable {
 public:
  CharTable(bool utf8, bool anyLineEnd) : utf8_(utf8), anyLineEnd_(anyLineEnd) {}
  // `c`: a code point in UTF-8, a UTF-16 code unit in GBK.
  const CharEntry& of(char32_t c);

 private:
  CharEntry entry(char32_t c) const;

  bool utf8_;
  bool anyLineEnd_;
  std::array<std::optional<CharEntry>, 128> ascii_;
  std::unordered_map<char32_t, CharEntry> other_;
};

// A member's forms in one reading, from the table: whether it can match at
// all, its characters, its most bytes, the forms of its first characters
// and the first bytes of its UTF-8 forms of another length.
struct ReadingForms {
  bool possible = false;
  std::size_t chars = 0;
  std::size_t maxBytes = 0;
  std::vector<CharForms> first;
  std::vector<OddPrefix> odd;
};

void readForms(const QString& searched, CharTable& table, bool utf8, ReadingForms& r);

}  // namespace scan::setpieces
