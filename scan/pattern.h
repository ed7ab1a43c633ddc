// A signature as the byte search sees it in one encoding: the byte forms of its
// characters, lower-cased as the content is ("a" is 61 or 41; in GBK "中" is
// D6 D0, in UTF-8 E4 B8 AD), and from them the two byte positions to search
// for and how a candidate is confirmed.
#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "scan/bytesearch.h"

namespace scan {

struct Pattern {
  // `signature`: trimmed and lower-cased. With `anyLineEnd`, its line breaks are
  // already each one LF (text::lineBreaksAsLf), and an LF stands for any line
  // break of the content: LF, CR or CR LF.
  // What a pattern is for: the single signature's search (probes and the
  // byte-by-byte confirmation), a set's expressions (`forms`), or the
  // confirmation of a set's candidates (neither).
  enum class Use { Single, SetForms, SetConfirmation };
  static Pattern gbk(const QString& signature, bool anyLineEnd = false, Use use = Use::Single);
  static Pattern utf8(const QString& signature, bool anyLineEnd = false, Use use = Use::Single);
  // The forms of each character in either pattern (null: none), for an
  // expression that both readings' forms match.
  // With `primary`, their primary forms only; of the first `chars` characters.
  static std::vector<std::vector<std::string>> joinedForms(const Pattern* a, const Pattern* b,
                                                           bool primary,
                                                           std::size_t chars = std::size_t(-1));
  // The byte-level regular expression of the first `chars` characters of
  // `forms`, and the least and most bytes it matches.
  static std::string regexOf(const std::vector<std::vector<std::string>>& forms, std::size_t chars,
                             std::size_t* minBytes, std::size_t* maxBytes);

  bool utf8Form = false;
  // Whether an LF of `chars` takes any line break.
  bool anyLineEnd = false;
  // False when some character has no byte form at all: nothing can match then.
  bool possible = true;
  // Bounds of an occurrence's length in bytes.
  std::size_t minBytes = 0;
  std::size_t maxBytes = 0;
  // The two byte positions every occurrence shares, searched together; when
  // there are none, every byte that can start an occurrence is a candidate.
  bool useProbes = false;
  bytesearch::Probe a;
  bytesearch::Probe b;
  std::array<bool, 256> firstByte{};
  // For a signature of one-byte characters only: each byte's probe, so that a
  // candidate is confirmed without decoding. Empty otherwise.
  std::vector<bytesearch::Probe> bytes;
  // GBK: whether an occurrence can start with a byte that could trail a lead
  // byte; only then does a candidate's character alignment need checking.
  bool checkAlignment = false;
  // The characters to confirm by decoding: UTF-16 code units for GBK (whose
  // characters are all single units), code points for UTF-8.
  std::vector<char32_t> chars;
  // UTF-8: the first two bytes of each form whose length differs from the
  // character's own (the Kelvin sign, E2 84 AA, lower-cases to "k"). The probes and `bytes`
  // leave those forms out; where one occurs, candidates come from `firstByte`
  // and are confirmed by decoding.
  std::vector<std::pair<bytesearch::Probe, bytesearch::Probe>> odd;
  // Every byte form of each character, sorted, each once: a set's search
  // looks for them with a literal or a regular expression (regexOf). Of the
  // first kSetFormChars characters only, out of formChars.
  static constexpr std::size_t kSetFormChars = 64;
  std::size_t formChars = 0;
  std::vector<std::vector<std::string>> forms;
  // The same without the UTF-8 forms of another length (`odd`).
  std::vector<std::vector<std::string>> primaryForms;
};

}  // namespace scan
