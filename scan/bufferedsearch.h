// What the single signature's search and the set's have in common: a content
// fed in buffers, each holding the bytes kept from the round before followed by
// new ones; the GBK and the UTF-8 reading searched together, the reading rule's
// count made only where they disagree (its start read once more, the rest
// counted as it comes); the answer settled as soon as the rest cannot change it;
// and the tail that may hold an undecided candidate carried to the next round.
// The searches themselves (the candidates and their confirmation) are each
// one's own.
#pragma once

#include <QByteArrayView>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include "scan/confirm.h"
#include "text/encoding.h"
#include "text/utf8.h"

namespace scan {

class BufferedSearch {
 public:
  // Feeds the content's bytes [0, upTo) to a counter; returns 0 or an errno.
  using Recount = std::function<int(std::uint64_t upTo, utf8::SequenceCounter&)>;

  std::size_t kept() const { return kept_; }
  // The errno of a failed recount or search (the answer is then void).
  int error() const { return error_; }
  // The reading searched: Auto when both readings were, and agree.
  text::Encoding reading() const { return reading_; }
  // Once the answer is no: the reading that holds an occurrence the count's
  // reading lacks, or Auto. The count starts only where one reading has found
  // one, and then only the count's reading is searched on.
  text::Encoding otherReading() const {
    return counting_ ? text::readingToTell(reading_, hitGbk_, hitUtf8_) : text::Encoding::Auto;
  }

 protected:
  // `size`: the most bytes the content can have (what a file was long when it
  // was opened). `recount`: how to read the content's start again. `reading`:
  // Gbk or Utf8 when the user or the content's first bytes fixed it, Auto for
  // the count.
  BufferedSearch(std::uint8_t* buf, std::uint64_t size, Recount&& recount, text::Encoding reading);

  // What a round's start found out about its new bytes.
  struct Round {
    std::size_t fresh;  // buf[kept(), kept() + fresh) is new
    bool counted;       // the count runs and has taken them
    bool high;          // when counted: whether one of them is above 0x7F
  };
  // Begins the round over buf[0, len); `final`: no byte follows.
  Round beginRound(std::size_t len, bool final);
  // Ends the search part of a round: where the readings `disagree` for the
  // first time the content is counted from its start. False when its start
  // could not be read again (error() says why).
  bool endRound(bool disagree, const Round& round, bool final);
  // The answer once the rest cannot change it (always when `final`). A
  // reading fixed to a form that cannot occur is no at once.
  std::optional<bool> settled(bool final, bool gbkPossible = true, bool utf8Possible = true) const;
  // Keeps the last need - 1 bytes of buf[0, len) at its start for the next
  // round, with `leadRuns` the parity of the lead-byte run that ends right
  // before them. Returns the bytes dropped.
  std::size_t carry(std::size_t len, std::size_t need, bool leadRuns);

  confirm::Window window(std::size_t len) const { return confirm::Window{buf_, len, carryOdd_}; }

  std::uint8_t* buf_;
  std::size_t kept_ = 0;
  bool carryOdd_ = false;  // the parity of the lead-byte run that ends right before buf[0]
  bool hitGbk_ = false;
  bool hitUtf8_ = false;
  // The encoding the content is read in; Auto until the rule has settled it.
  text::Encoding reading_;
  int error_ = 0;

 private:
  // Under the rule, the reading is settled as soon as the rest of the content
  // cannot change it.
  void decideReading(bool final);

  // Bytes the content may still have after those fed so far, and those fed.
  std::uint64_t left_;
  std::uint64_t fed_ = 0;
  Recount recount_;
  bool counting_ = false;
  utf8::SequenceCounter counter_;
};

// Inline: each runs in every round of every file, and most files take one
// round, so a call costs as much as the step.

inline BufferedSearch::BufferedSearch(std::uint8_t* buf, std::uint64_t size, Recount&& recount,
                                      text::Encoding reading)
    : buf_(buf), reading_(reading), left_(size), recount_(std::move(recount)) {}

inline BufferedSearch::Round BufferedSearch::beginRound(std::size_t len, bool final) {
  Round r{len - kept_, false, true};
  left_ -= std::min<std::uint64_t>(left_, r.fresh);
  if (final)
    left_ = 0;
  if (reading_ == text::Encoding::Auto && counting_) {
    r.counted = true;
    r.high = counter_.feed(buf_ + kept_, r.fresh);
    if (final)
      counter_.finish();
    decideReading(final);
  }
  return r;
}

// The reading matters only when the two readings disagree, which the few
// contents that hold the signature in one of them alone do: only then are the
// content's valid characters and invalid bytes counted, from its start up to
// here, and from here on as it comes.
inline bool BufferedSearch::endRound(bool disagree, const Round& round, bool final) {
  if (reading_ == text::Encoding::Auto && !counting_ && disagree) {
    counting_ = true;
    if (const int e = recount_(fed_, counter_)) {
      error_ = e;
      return false;
    }
    counter_.feed(buf_ + kept_, round.fresh);
    if (final)
      counter_.finish();
    decideReading(final);
  }
  fed_ += round.fresh;
  return true;
}

inline void BufferedSearch::decideReading(bool final) {
  if (const std::optional<bool> utf8 = counter_.settledReadsAsUtf8(left_, final))
    reading_ = *utf8 ? text::Encoding::Utf8 : text::Encoding::Gbk;
}

inline std::optional<bool> BufferedSearch::settled(bool final, bool gbkPossible,
                                                   bool utf8Possible) const {
  if (reading_ == text::Encoding::Auto && final && !counting_)
    return hitGbk_;  // both readings agree
  switch (reading_) {
    case text::Encoding::Gbk:
      if (!gbkPossible)
        return false;
      return hitGbk_ || final ? std::optional(hitGbk_) : std::nullopt;
    case text::Encoding::Utf8:
      if (!utf8Possible)
        return false;
      return hitUtf8_ || final ? std::optional(hitUtf8_) : std::nullopt;
    case text::Encoding::Auto:
    case text::Encoding::Utf16Le:  // searched by Utf16Search
    case text::Encoding::Utf16Be:
      break;
  }
  if (hitGbk_ && hitUtf8_)
    return true;
  return std::nullopt;
}

// Feeds `content` through `buf` (room for `chunkSize` bytes after what `s`
// keeps) to the search `s`, piece by piece, until its answer is settled.
template <typename Search>
bool feedContent(QByteArrayView content, std::size_t chunkSize, std::uint8_t* buf, Search& s) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(content.data());
  std::size_t left = std::size_t(content.size());
  for (;;) {
    const std::size_t take = std::min(chunkSize, left);
    if (take > 0)
      std::memcpy(buf + s.kept(), p, take);
    p += take;
    left -= take;
    if (const std::optional<bool> answer = s.scan(s.kept() + take, left == 0))
      return *answer;
  }
}

}  // namespace scan
