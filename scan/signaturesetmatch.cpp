#include "scan/signaturesetmatch.h"

#include <hs/hs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "scan/bytesearch.h"
#include "scan/confirm.h"
#include "scan/pattern.h"
#include "scan/utf16search.h"
#include "text/lineends.h"

namespace scan {

namespace {

// One scratch space per thread, grown with hs_alloc_scratch for every database
// of the set it serves, as Hyperscan asks: a scan may use it with any of them.
class Scratch {
 public:
  ~Scratch() {
    if (s_)
      hs_free_scratch(s_);
  }
  // `generation`: the set's own number; a later set may reuse the addresses.
  hs_scratch_t* forDatabase(const hs_database_t* db, std::uint64_t generation) {
    if (generation != generation_) {
      grown_.clear();
      generation_ = generation;
    }
    if (std::find(grown_.begin(), grown_.end(), db) == grown_.end()) {
      if (setSearchFails(SetSearchStep::Scratch) || hs_alloc_scratch(db, &s_) != HS_SUCCESS)
        return nullptr;
      grown_.push_back(db);
    }
    return s_;
  }

 private:
  hs_scratch_t* s_ = nullptr;
  std::uint64_t generation_ = 0;
  std::vector<const hs_database_t*> grown_;
};

hs_scratch_t* scratchFor(const hs_database_t* db, std::uint64_t generation) {
  thread_local Scratch scratch;
  return scratch.forDatabase(db, generation);
}

std::atomic<int> failingStep{-1};

}  // namespace

void failSetSearchAt(std::optional<SetSearchStep> step) {
  failingStep = step ? int(*step) : -1;
}

bool setSearchFails(SetSearchStep step) {
  return failingStep.load(std::memory_order_relaxed) == int(step);
}

// Any failure of the search (no scratch, a failed scan) leaves the answer void:
// the file is told as one that could not be read, never as clean.
bool SetMatcher::Search::searchBuffer(const hs_database* db, std::size_t len) {
  hs_scratch_t* scratch = scratchFor(db, m_.generation_);
  if (!scratch) {
    error_ = ENOMEM;
    return false;
  }
  const hs_error_t e = setSearchFails(SetSearchStep::Scan)
                           ? HS_UNKNOWN_ERROR
                           : hs_scan(db, reinterpret_cast<const char*>(buf_), unsigned(len), 0,
                                     scratch, &Search::onBufferMatch, this);
  if (e != HS_SUCCESS && e != HS_SCAN_TERMINATED) {
    error_ = e == HS_NOMEM ? ENOMEM : EIO;
    return false;
  }
  return true;
}

namespace {

std::atomic<std::uint64_t> generations{0};

}  // namespace

SetMatcher::SetMatcher(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                       text::LineEnds lineEnds, Unbuilt)
    : members_(signatureTexts.size()),
      anyLineEnd_(lineEnds == text::LineEnds::Any),
      encoding_(encoding),
      generation_(++generations),
      confirmationOnce_(new std::once_flag[signatureTexts.size()]),
      confirmations_(signatureTexts.size()) {
  // Shared with the caller's texts where no line break changes: a large
  // set's texts are tens of megabytes.
  utf16Needles_.reserve(signatureTexts.size());
  for (const QString& t : signatureTexts)
    utf16Needles_.push_back(anyLineEnd_ && t.contains(u'\r') ? text::lineBreaksAsLf(t) : t);
}

SetMatcher::SetMatcher(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                       text::LineEnds lineEnds)
    : SetMatcher(signatureTexts, encoding, lineEnds, Unbuilt{}) {
  if (setSearchFails(SetSearchStep::Build)) {
    error_ = QStringLiteral("made to fail");
    return;
  }
  build(signatureTexts);
}

// Made on a member's first candidate: most members of a large set never have
// one, and their patterns took most of the built set's memory.
const SetMatcher::Confirmation& SetMatcher::confirmation(std::uint32_t member) const {
  std::call_once(confirmationOnce_[member], [&] {
    auto c = std::make_unique<Confirmation>();
    const QString& searched = utf16Needles_[member];
    if (encoding_ != text::Encoding::Utf8)
      c->gbk = Pattern::gbk(searched, anyLineEnd_, Pattern::Use::SetConfirmation);
    if (encoding_ != text::Encoding::Gbk)
      c->utf8 = Pattern::utf8(searched, anyLineEnd_, Pattern::Use::SetConfirmation);
    confirmations_[member] = std::move(c);
  });
  return *confirmations_[member];
}

SetMatcher::~SetMatcher() {
  if (db_)
    hs_free_database(db_);
  for (hs_database* literal : literalDbs_) {
    if (literal)
      hs_free_database(literal);
  }
  if (oddDb_)
    hs_free_database(oddDb_);
}

hs_database_t* SetMatcher::oddDatabase() const {
  // Built on first need: most trees hold no such form at all.
  std::call_once(oddOnce_, [this] {
    std::vector<const char*> texts;
    std::vector<unsigned> flags;
    std::vector<unsigned> ids;
    for (std::size_t i = 0; i < oddRegexes_.size(); ++i) {
      texts.push_back(oddRegexes_[i].c_str());
      flags.push_back(0);
      ids.push_back(unsigned(oddFirst_ + i));
    }
    hs_compile_error_t* err = nullptr;
    if (setSearchFails(SetSearchStep::LateCompile) ||
        hs_compile_multi(texts.data(), flags.data(), ids.data(), unsigned(texts.size()),
                         HS_MODE_BLOCK, nullptr, &oddDb_, &err) != HS_SUCCESS) {
      oddDb_ = nullptr;
      hs_free_compile_error(err);
    }
  });
  return oddDb_;
}

std::size_t SetMatcher::databaseBytes() const {
  std::size_t n = 0;
  if (db_)
    hs_database_size(db_, &n);
  for (const hs_database* literal : literalDbs_) {
    std::size_t bytes = 0;
    if (literal)
      hs_database_size(literal, &bytes);
    n += bytes;
  }
  return n;
}

SetMatcher::Search::Search(const SetMatcher& m, std::uint8_t* buf, std::uint64_t size,
                           Recount&& recount, bool all)
    : BufferedSearch(buf, size, std::move(recount), m.encoding_),
      m_(m),
      all_(all),
      foundGbk_(m.members_, false),
      foundUtf8_(m.members_, false) {}

SetMatcher::Search::~Search() = default;

void SetMatcher::Search::fixReading(text::Encoding reading) {
  if (reading_ == text::Encoding::Auto &&
      (reading == text::Encoding::Gbk || reading == text::Encoding::Utf8))
    reading_ = reading;
}

int SetMatcher::Search::onBufferMatch(unsigned id, unsigned long long from, unsigned long long to,
                                      unsigned flags, void* ctx) {
  auto* self = static_cast<Search*>(ctx);
  // Those that end in the bytes kept from the last round were seen then. A
  // database read back from the set cache names only expressions it has.
  if (to <= self->kept_ || id >= self->m_.expressions_.size())
    return 0;
  return onMatch(id, from, self->base_ + to, flags, ctx);
}

int SetMatcher::Search::onMatch(unsigned id, unsigned long long, unsigned long long to, unsigned,
                                void* ctx) {
  auto* self = static_cast<Search*>(ctx);
  if (!self->final_ && !self->decidable(id, to))
    self->deferred_.emplace_back(id, to);
  else
    self->check(id, to, self->final_);
  // Nothing more to learn once the answer is settled.
  return !self->all_ && self->settled(false) ? 1 : 0;
}

// Whether every start the candidate allows has the whole member's bytes in the
// buffer. No byte after them is needed: a line break is counted as its CR LF,
// so a CR taken alone has its next byte within them, and a lead byte where
// the member has a one-byte character fails whatever follows it.
bool SetMatcher::Search::decidable(unsigned id, std::uint64_t end) const {
  const Expression& e = m_.expressions_[id];
  return end - e.minBytes + e.wholeMaxBytes <= base_ + len_;
}

bool SetMatcher::Search::wanted(bool gbk) const {
  if (gbk)
    return reading_ != text::Encoding::Utf8 && (all_ || !hitGbk_);
  return reading_ != text::Encoding::Gbk && (all_ || !hitUtf8_);
}

void SetMatcher::Search::check(unsigned id, std::uint64_t end, bool final) {
  const Expression& e = m_.expressions_[id];
  const bool tryGbk = e.gbk && wanted(true) && !foundGbk_[e.member];
  const bool tryUtf8 = e.utf8 && wanted(false) && !foundUtf8_[e.member];
  if (!tryGbk && !tryUtf8)
    return;
  const Confirmation& c = m_.confirmation(e.member);
  const std::size_t at = std::size_t(end - base_);
  const confirm::Window w = window(len_);
  // Every start that the end allows: the forms of a character differ in length.
  const std::size_t first = at >= e.maxBytes ? at - e.maxBytes : 0;
  for (std::size_t s = first; s + e.minBytes <= at; ++s) {
    if (tryGbk && !foundGbk_[e.member] && confirm::gbkAt(*c.gbk, w, s, final)) {
      foundGbk_[e.member] = true;
      hitGbk_ = true;
      disagree_ += foundUtf8_[e.member] ? std::size_t(-1) : 1;
    }
    if (tryUtf8 && !foundUtf8_[e.member] && confirm::utf8At(*c.utf8, w, s, final, true)) {
      foundUtf8_[e.member] = true;
      hitUtf8_ = true;
      disagree_ += foundGbk_[e.member] ? std::size_t(-1) : 1;
    }
  }
}

std::optional<bool> SetMatcher::Search::scan(std::size_t len, bool final) {
  const Round round = beginRound(len, final);
  len_ = len;
  final_ = final;
  if (!m_.possible()) {
    if (final)
      return false;
  } else if (!searchRound(len, round.fresh)) {
    return false;
  }
  if (!endRound(hitGbk_ != hitUtf8_ || disagree_ > 0, round, final))
    return false;
  if (const std::optional<bool> answer = settled(final); answer && (!all_ || final))
    return answer;
  base_ += carry(len, m_.need_, true);
  return std::nullopt;
}

bool SetMatcher::Search::searchRound(std::size_t len, std::size_t fresh) {
  // Candidates that waited for this round's first byte.
  std::vector<std::pair<unsigned, std::uint64_t>> waiting;
  waiting.swap(deferred_);
  for (const auto& [id, end] : waiting) {
    if (!final_ && !decidable(id, end))
      deferred_.emplace_back(id, end);
    else
      check(id, end, final_);
  }
  if (all_ || !settled(false)) {
    // The whole buffer, the bytes kept from the last round included: they
    // hold the start of any occurrence that ends in the new bytes.
    for (const hs_database* literal : m_.literalDbs_) {
      if (fresh > 0 && literal && (all_ || !settled(false)) && !searchBuffer(literal, len))
        return false;
    }
    if (fresh > 0 && m_.db_ && (all_ || !settled(false)) && !searchBuffer(m_.db_, len))
      return false;
  }
  if ((all_ || !settled(false)) && !m_.oddPrefixes_.empty() && len >= 2)
    return searchOddForms(len);
  return true;
}

bool SetMatcher::Search::searchOddForms(std::size_t len) {
  bool odd = false;
  for (const auto& [a, b] : m_.oddPrefixes_) {
    if (bytesearch::find(buf_, 0, len - 2, a, b) != bytesearch::kNone) {
      odd = true;
      break;
    }
  }
  hs_database_t* oddDb = odd ? m_.oddDatabase() : nullptr;
  if (odd && !oddDb) {
    // A search that could not be made finds nothing only falsely.
    error_ = ENOMEM;
    return false;
  }
  return !oddDb || searchBuffer(oddDb, len);
}

std::vector<std::uint32_t> SetMatcher::Search::members() const {
  std::vector<std::uint32_t> out;
  const std::vector<bool>& found = reading_ == text::Encoding::Utf8 ? foundUtf8_ : foundGbk_;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (found[i])
      out.push_back(std::uint32_t(i));
  }
  return out;
}

bool SetMatcher::matchBytes(QByteArrayView content, std::size_t chunkSize,
                            std::vector<std::uint32_t>* members) const {
  if (chunkSize == 0)
    chunkSize = 128 * 1024;
  std::vector<std::uint8_t> buf(chunkSize + std::max<std::size_t>(need_, 4));
  const text::Encoding reading =
      encoding_ != text::Encoding::Auto ? encoding_ : text::readingOfHead(content).encoding;
  if (reading == text::Encoding::Utf16Le || reading == text::Encoding::Utf16Be) {
    if (members)
      members->clear();
    // Each member on its own: a UTF-16 page is rare.
    for (std::size_t i = 0; i < utf16Needles_.size(); ++i) {
      const std::vector<QString> one{utf16Needles_[i]};
      Utf16Search s(one, reading == text::Encoding::Utf16Be, anyLineEnd_, buf.data());
      const bool hit = feedContent(content, chunkSize, buf.data(), s);
      if (hit && !members)
        return true;
      if (hit)
        members->push_back(std::uint32_t(i));
    }
    return members && !members->empty();
  }
  Search s(
      *this, buf.data(), std::uint64_t(content.size()),
      [content](std::uint64_t upTo, utf8::SequenceCounter& c) {
        c.feed(reinterpret_cast<const std::uint8_t*>(content.data()), std::size_t(upTo));
        return 0;
      },
      members != nullptr);
  s.fixReading(reading);
  const bool hit = feedContent(content, chunkSize, buf.data(), s);
  if (members)
    *members = s.members();
  return hit;
}

}  // namespace scan
