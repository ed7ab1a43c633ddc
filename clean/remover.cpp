#include "clean/remover.h"

#include <QChar>

#include <algorithm>
#include <limits>
#include <mutex>

#include "text/gbk.h"
#include "text/signatureset.h"
#include "text/textops.h"
#include "text/utf16.h"
#include "text/utf8.h"

namespace clean {

// The members as a trie, built once for all the files that one clean reads
// with the same set.
std::shared_ptr<const SignatureRemover::Trie> SignatureRemover::trieFor(QStringView setText,
                                                                        bool utf8,
                                                                        bool anyLineEnd) {
  static std::mutex lock;
  static QString lastText;
  static bool lastUtf8 = false;
  static bool lastAnyLineEnd = false;
  static std::shared_ptr<const Trie> last;
  const std::lock_guard<std::mutex> hold(lock);
  if (last && lastUtf8 == utf8 && lastAnyLineEnd == anyLineEnd && setText == QStringView(lastText))
    return last;
  std::vector<QString> members;
  for (const text::SetMember& m : text::unpackSignatureSet(setText))
    members.push_back(anyLineEnd ? text::lineBreaksAsLf(m.signature) : m.signature);
  auto trie = std::make_shared<Trie>();
  trie->rootChild.assign(0x10000, 0);
  trie->terminal.push_back(-1);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const QString& t = members[i];
    if (t.isEmpty() || (utf8 && !QStringView(t).isValidUtf16()))
      continue;
    trie->longest = std::max(trie->longest, t.size());
    std::uint32_t node = 0;
    for (QChar c : t) {
      std::uint32_t& child = node == 0 ? trie->rootChild[c.unicode()]
                                       : trie->edges[(std::uint64_t(node) << 16) | c.unicode()];
      if (child == 0) {
        child = std::uint32_t(trie->terminal.size());
        trie->terminal.push_back(-1);
      }
      node = child;
    }
    // Two members of the same text: the first one names it.
    if (trie->terminal[node] < 0)
      trie->terminal[node] = int(i);
  }
  lastText = setText.toString();
  lastUtf8 = utf8;
  lastAnyLineEnd = anyLineEnd;
  last = trie;
  return last;
}

SignatureRemover::SignatureRemover(QStringView signature, text::Encoding encoding,
                                   text::LineEnds lineEnds)
    : utf16_(encoding == text::Encoding::Utf16Le || encoding == text::Encoding::Utf16Be),
      bigEndian_(encoding == text::Encoding::Utf16Be),
      utf8_(encoding == text::Encoding::Utf8 || utf16_),
      anyLineEnd_(lineEnds == text::LineEnds::Any),
      ownShared_(std::make_unique<Shared>()),
      shared_(ownShared_.get()) {
  if (text::isSignatureSet(signature)) {
    // A set, of one member or many: the longest member at each position.
    isSet_ = true;
    trie_ = trieFor(signature, utf8_, anyLineEnd_);
    if (trie_->longest > 0)
      signature_ = QString::fromUtf16(text::kSetMarker);  // not empty: there is something to remove
    return;
  }
  signature_ = anyLineEnd_ ? text::lineBreaksAsLf(signature) : signature.toString();
  // Every character of UTF-8 text is whole: half of a surrogate pair matches none.
  if (utf8_ && !QStringView(signature_).isValidUtf16())
    signature_.clear();
}

SignatureRemover::SignatureRemover(const SignatureRemover& before, Shared* shared)
    : signature_(before.signature_),
      isSet_(before.isSet_),
      trie_(before.trie_),
      utf16_(before.utf16_),
      bigEndian_(before.bigEndian_),
      utf8_(before.utf8_),
      anyLineEnd_(before.anyLineEnd_),
      base_(before.passed_),
      passed_(before.passed_),
      round_(before.round_ + 1),
      shared_(shared) {}

SignatureRemover::~SignatureRemover() = default;

qint64 SignatureRemover::removed() const {
  return shared_->removed;
}

bool SignatureRemover::gaveUp() const {
  return shared_->gaveUp;
}

void SignatureRemover::recordRanges(bool on) {
  shared_->record = on;
}

const std::vector<ByteRange>& SignatureRemover::ranges() const {
  return shared_->settled;
}

void SignatureRemover::clearRanges() {
  shared_->settled.clear();
}

// A later round's range spans whole ranges of earlier rounds (its ends are
// bytes that they kept) or lies apart from them.
void SignatureRemover::Shared::add(ByteRange r) {
  auto at = std::lower_bound(open.begin(), open.end(), r.offset,
                             [](const ByteRange& o, qint64 x) { return o.offset < x; });
  auto inside = at;
  while (inside != open.end() && inside->offset + inside->length <= r.offset + r.length)
    ++inside;
  open.insert(open.erase(at, inside), r);
}

// A range is settled once no round holds a byte before it: a later round could
// only take it into a longer one by starting before it.
void SignatureRemover::Shared::settle(bool all) {
  auto end = all ? open.end()
                 : std::upper_bound(open.begin(), open.end(), decided,
                                    [](qint64 x, const ByteRange& o) { return x < o.offset; });
  settled.insert(settled.end(), open.begin(), end);
  open.erase(open.begin(), end);
}

qint64 SignatureRemover::originOf(qint64 at) const {
  if (origins_.empty())
    return at;
  auto it =
      std::upper_bound(origins_.begin(), origins_.end(), at,
                       [](qint64 x, const std::pair<qint64, qint64>& o) { return x < o.first; });
  --it;
  return it->second + (at - it->first);
}

void SignatureRemover::pass(std::size_t from, std::size_t to, std::vector<uint8_t>& out) {
  if (to <= from)
    return;
  const qint64 start = base_ + qint64(from);
  if (!next_) {
    out.insert(out.end(), bytes_.begin() + std::ptrdiff_t(from),
               bytes_.begin() + std::ptrdiff_t(to));
  } else {
    forNext_.insert(forNext_.end(), bytes_.begin() + std::ptrdiff_t(from),
                    bytes_.begin() + std::ptrdiff_t(to));
    // The next round learns where the bytes came from where they stop running
    // on from those before them.
    auto& there = next_->origins_;
    const qint64 origin = originOf(start);
    if (there.empty() || there.back().second + (passed_ - there.back().first) != origin)
      there.emplace_back(passed_, origin);
    for (auto it = std::upper_bound(
             origins_.begin(), origins_.end(), start,
             [](qint64 x, const std::pair<qint64, qint64>&o) { return x < o.first; });
         it != origins_.end() && it->first < base_ + qint64(to); ++it)
      there.emplace_back(passed_ + (it->first - start), it->second);
  }
  passed_ += qint64(to - from);
}

void SignatureRemover::took(std::size_t from, std::size_t to, std::uint32_t member) {
  ++shared_->removed;
  if (shared_->record && to > from) {
    const qint64 first = originOf(base_ + qint64(from));
    shared_->add({first, originOf(base_ + qint64(to) - 1) + 1 - first, member});
  }
}

std::pair<int, qsizetype> SignatureRemover::longestAt(QStringView text, qsizetype at) const {
  std::pair<int, qsizetype> best{-1, 0};
  const Trie& t = *trie_;
  std::uint32_t node = t.rootChild[text[at].unicode()];
  for (qsizetype k = at; node != 0;) {
    if (t.terminal[node] >= 0)
      best = {t.terminal[node], k - at + 1};
    if (++k >= text.size())
      break;
    const auto it = t.edges.find((std::uint64_t(node) << 16) | text[k].unicode());
    node = it == t.edges.end() ? 0 : it->second;
  }
  return best;
}

void SignatureRemover::feed(const uint8_t* p, std::size_t n, bool final,
                            std::vector<uint8_t>& out) {
  if (signature_.isEmpty()) {
    out.insert(out.end(), p, p + n);
    return;
  }

  // Decode the new bytes behind what is pending; the first bytes of a character
  // left over from the previous piece go first.
  const std::size_t firstNew = bytes_.size();
  bytes_.insert(bytes_.end(), carry_, carry_ + carrySize_);
  bytes_.insert(bytes_.end(), p, p + n);
  carrySize_ = 0;
  // The character arrays only ever grow, so that they are not cleared for every
  // piece; `count_` says how much of them is in use. A character takes at most
  // one code unit per byte.
  const std::size_t room = count_ + (bytes_.size() - firstNew);
  if (chars_.size() < room) {
    chars_.resize(room);
    starts_.resize(room);
  }
  {
    const uint8_t* base = bytes_.data();
    const uint8_t* b = base + firstNew;
    const uint8_t* end = base + bytes_.size();
    while (b < end) {
      const std::size_t start = std::size_t(b - base);
      int used = 0;
      // A code point decoded (UTF-8, UTF-16), stored lower-cased below.
      char32_t cp = 0;
      bool decoded = false;
      if (utf16_) {
        // Its line breaks are characters too, of two bytes a unit.
        used = utf16::decodeOne(b, end, bigEndian_, final, &cp);
        if (used > 0 && anyLineEnd_ && (cp == U'\r' || cp == U'\n')) {
          used = utf16::lineBreakLength(b, end, bigEndian_, final, cp);
          cp = U'\n';
        }
        decoded = true;
      } else if (anyLineEnd_ && text::isLineBreakByte(*b)) {
        // CR LF, CR or LF: one character, as the signature's line breaks are.
        used = text::lineBreakLength(b, end, final);
        chars_[count_] = u'\n';
      } else if (utf8_) {
        used = utf8::decodeOne(b, end, final, &cp);
        decoded = true;
      } else {
        used = gbk::decodeOne(b, end, final, &chars_[count_], true);
      }
      if (decoded) {
        cp = text::lowerCodePoint(cp);
        if (used > 0 && QChar::requiresSurrogates(cp)) {
          starts_[count_] = start;
          chars_[count_++] = QChar::highSurrogate(cp);
          cp = QChar::lowSurrogate(cp);
        }
        chars_[count_] = char16_t(cp);
      }
      if (used == 0) {
        carrySize_ = std::size_t(end - b);
        std::copy(b, end, carry_);
        bytes_.resize(start);
        break;
      }
      starts_[count_++] = start;
      b += used;
    }
  }
  // The first byte of character i, for i up to the number of characters.
  auto startOf = [this](qsizetype i) {
    return std::size_t(i) < count_ ? starts_[std::size_t(i)] : bytes_.size();
  };
  const QStringView text(chars_.data(), qsizetype(count_));
  const qsizetype m = isSet_ ? trie_->longest : signature_.size();
  // What the rounds after this one may still need of its input, until it
  // removes something.
  const qsizetype context = (kMaxRounds - round_ + 1) * (m - 1);
  // Drops the occurrence of characters [at, end) and what lies before it.
  qsizetype from = 0;  // first character not yet dealt with
  auto take = [&](qsizetype at, qsizetype end, std::uint32_t member) {
    if (!next_) {
      // The first removal of this round. A round over its output can find
      // nothing that begins more than m - 1 characters before it: it would lie
      // in this round's input, which holds nothing before it; the rounds after
      // that, m - 1 more each. So the next round starts that far back (still
      // pending: see `held`), at a character boundary, and reads as one from the
      // start would.
      const qsizetype lead = std::max(from, at - context);
      pass(startOf(from), startOf(lead), out);
      from = lead;
      if (round_ >= kMaxRounds)
        shared_->gaveUp = true;
      else
        next_.reset(new SignatureRemover(*this, shared_));
    }
    pass(startOf(from), startOf(at), out);
    took(startOf(at), startOf(end), member);
    from = end;
  };

  // One left-to-right pass over the pending text: keep what lies before each
  // occurrence, drop the occurrence, go on right behind it.
  // A set: the longest member at each position, decided once the longest
  // member would fit behind it.
  const qsizetype limit = final ? text.size() : text.size() - (m - 1);
  for (qsizetype i = 0; isSet_ && i < limit;) {
    const auto [member, length] = longestAt(text, i);
    if (member < 0) {
      ++i;
      continue;
    }
    take(i, i + length, std::uint32_t(member));
    i = from;
  }
  for (; !isSet_;) {
    const qsizetype at = text.indexOf(signature_, from);
    if (at < 0)
      break;
    take(at, at + m, 0);
  }
  // An occurrence can still begin only in the last m - 1 characters, and only
  // while more input may come. Until this round removes something, the context
  // of the later rounds stays too: its first removal hands it to the next round.
  const qsizetype held = next_ ? m - 1 : std::max(m - 1, context);
  qsizetype safe = final ? text.size() : std::max(from, text.size() - held);
  // A character of two code units stays whole.
  if (safe > from && safe < text.size() && text[safe].isLowSurrogate() &&
      text[safe - 1].isHighSurrogate())
    --safe;
  pass(startOf(from), startOf(safe), out);

  // What is left moves to the front.
  const std::size_t done = startOf(safe);
  const std::size_t left = count_ - std::size_t(safe);
  std::copy_n(chars_.begin() + safe, left, chars_.begin());
  for (std::size_t i = 0; i < left; ++i)
    starts_[i] = starts_[std::size_t(safe) + i] - done;
  count_ = left;
  bytes_.erase(bytes_.begin(), bytes_.begin() + std::ptrdiff_t(done));
  base_ += qint64(done);
  // Only where the pending bytes came from is still asked.
  while (origins_.size() > 1 && origins_[1].first <= base_)
    origins_.pop_front();

  if (next_) {
    next_->feed(forNext_.data(), forNext_.size(), final, out);
    forNext_.clear();
  }
  if (round_ == 1 && shared_->record) {
    // The first byte any round still holds: everything before it is decided.
    shared_->decided = std::numeric_limits<qint64>::max();
    for (const SignatureRemover* r = this; r; r = r->next_.get()) {
      if (!r->bytes_.empty() || r->carrySize_ > 0)
        shared_->decided = std::min(shared_->decided, r->originOf(r->base_));
    }
    shared_->settle(final);
  }
}

QByteArray removeSignature(QByteArrayView content, QStringView signature, std::size_t chunkSize,
                           std::vector<ByteRange>* ranges, text::Encoding encoding,
                           text::LineEnds lineEnds, bool* gaveUp) {
  if (chunkSize == 0)
    chunkSize = 1;
  SignatureRemover r(signature, text::encodingOf(content, encoding), lineEnds);
  r.recordRanges(ranges != nullptr);
  std::vector<uint8_t> out;
  auto* p = reinterpret_cast<const uint8_t*>(content.data());
  std::size_t left = std::size_t(content.size());
  do {
    const std::size_t take = std::min(chunkSize, left);
    left -= take;
    r.feed(p, take, left == 0, out);
    p += take;
  } while (left > 0);
  if (ranges)
    *ranges = r.ranges();
  if (gaveUp)
    *gaveUp = r.gaveUp();
  return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
}

}  // namespace clean
