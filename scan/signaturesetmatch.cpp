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

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

constexpr std::size_t kGram = 8;

std::uint64_t gramAt(const char* p) {
  std::uint64_t g = 0;
  std::memcpy(&g, p, kGram);
  return g;
}

// For each run of 8 bytes in the members' first characters (lower-cased, as
// UTF-8), how many members hold it.
// Sorted, each run once with its count: a hash map's node per run took more
// time and memory than the rest of a large set's choice of pieces.
struct GramCounts {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> counts;
  std::uint32_t members = 0;
  std::uint32_t count(std::uint64_t g) const {
    const auto it = std::lower_bound(counts.begin(), counts.end(), std::pair(g, std::uint32_t(0)));
    return it == counts.end() || it->first != g ? 0 : it->second;
  }
};

// A piece of at most `longest` bytes among the first `chars` characters of
// `forms` (joined with `more`'s), each character's forms the same bytes up to
// ASCII letter case, as one caseless literal: it matches every form of those
// characters (and at most some bytes more, which the confirmation rejects).
// The one that the fewest other members may hold (`shared`: members of one
// incident often begin alike, and a piece they share makes each of them a
// candidate wherever one occurs), then the longest. `minBytes` and
// `maxBytes`: the least and most bytes from the member's start to the piece's
// end; `whole`: the piece is the member, of `total` characters.
using FormList = std::vector<std::vector<std::string>>;
std::string caselessPiece(const FormList& forms, const FormList* more, std::size_t chars,
                          std::size_t longest, const GramCounts& shared, std::size_t* minBytes,
                          std::size_t* maxBytes, std::size_t total, bool* whole) {
  const std::size_t n = std::min({chars, forms.size(), more ? more->size() : forms.size()});
  std::vector<std::string> folded(n);  // empty where the forms differ otherwise
  std::vector<std::size_t> lo(n + 1, 0);
  std::vector<std::size_t> hi(n + 1, 0);
  for (std::size_t c = 0; c < n; ++c) {
    // The character's forms in both lists, side by side.
    const std::vector<std::string>& f = forms[c];
    const std::vector<std::string>* g = more ? &(*more)[c] : nullptr;
    const std::string* first = !f.empty() ? &f.front() : g && !g->empty() ? &g->front() : nullptr;
    std::size_t fLo = 4;
    std::size_t fHi = 0;
    std::string one = first ? *first : std::string();
    std::transform(one.begin(), one.end(), one.begin(), asciiLower);
    bool same = first != nullptr;
    for (const std::vector<std::string>* list : {&f, g}) {
      if (!list)
        continue;
      for (const std::string& x : *list) {
        fLo = std::min(fLo, x.size());
        fHi = std::max(fHi, x.size());
        same = same && x.size() == one.size() &&
               std::equal(x.begin(), x.end(), one.begin(),
                          [](char a, char b) { return asciiLower(a) == b; });
      }
    }
    lo[c + 1] = lo[c] + fLo;
    hi[c + 1] = hi[c] + fHi;
    if (same)
      folded[c] = std::move(one);
  }
  // How many members hold each piece of 8 bytes of this one, at most.
  std::string bytes;
  std::vector<std::size_t> at(n + 1, 0);
  for (std::size_t c = 0; c < n; ++c) {
    bytes += folded[c].empty() ? std::string(1, '\0') : folded[c];
    at[c + 1] = bytes.size();
  }
  std::vector<std::uint32_t> sharedFrom(bytes.size(), 0);
  for (std::size_t j = 0; j + kGram <= bytes.size(); ++j)
    sharedFrom[j] = shared.count(gramAt(bytes.data() + j));
  std::string best;
  std::uint32_t bestShared = 0;
  for (std::size_t end = 1; end <= n; ++end) {
    // The longest piece that ends with character end - 1.
    std::size_t start = end;
    while (start > 0 && !folded[start - 1].empty() && at[end] - at[start - 1] <= longest)
      --start;
    if (start == end)
      continue;
    // Members that may hold it: those that hold its rarest 8 bytes.
    std::uint32_t many = shared.members;
    for (std::size_t j = at[start]; j + kGram <= at[end]; ++j)
      many = std::min(many, sharedFrom[j]);
    const std::size_t size = at[end] - at[start];
    if (best.empty() || many < bestShared || (many == bestShared && size > best.size())) {
      *whole = start == 0 && end == total && size == lo[end] && lo[end] == hi[end];
      best = bytes.substr(at[start], size);
      bestShared = many;
      *minBytes = lo[end];
      *maxBytes = hi[end];
    }
  }
  return best;
}

}  // namespace

SetMatcher::SetMatcher(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                       text::LineEnds lineEnds, Unbuilt)
    : members_(signatureTexts.size()),
      anyLineEnd_(lineEnds == text::LineEnds::Any),
      encoding_(encoding),
      generation_(++generations),
      confirmationOnce_(new std::once_flag[signatureTexts.size()]),
      confirmations_(signatureTexts.size()) {
  for (const QString& t : signatureTexts)
    utf16Needles_.push_back(anyLineEnd_ ? text::lineBreaksAsLf(t) : t);
}

SetMatcher::SetMatcher(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                       text::LineEnds lineEnds)
    : SetMatcher(signatureTexts, encoding, lineEnds, Unbuilt{}) {
  build(signatureTexts);
}

void SetMatcher::build(const std::vector<QString>& signatureTexts) {
  // The forms' patterns hold the forms of these characters.
  static_assert(kPieceChars <= Pattern::kSetFormChars &&
                kExpressionChars <= Pattern::kSetFormChars);
  const bool any = anyLineEnd_;
  const text::Encoding encoding = encoding_;
  std::vector<std::string> regexes;
  std::vector<unsigned> regexIds;
  std::vector<std::string> literals;
  std::vector<unsigned> literalIds;
  GramCounts shared;
  shared.members = std::uint32_t(signatureTexts.size());
  {
    // Every member's runs, each once per member, then counted.
    std::vector<std::uint64_t> all;
    std::vector<std::uint64_t> grams;
    for (const QString& signature : signatureTexts) {
      const QByteArray text = signature.left(kPieceChars).toUtf8();
      grams.clear();
      for (qsizetype j = 0; j + qsizetype(kGram) <= text.size(); ++j)
        grams.push_back(gramAt(text.data() + j));
      std::sort(grams.begin(), grams.end());
      grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
      all.insert(all.end(), grams.begin(), grams.end());
    }
    std::sort(all.begin(), all.end());
    for (std::size_t i = 0; i < all.size();) {
      std::size_t j = i;
      while (j < all.size() && all[j] == all[i])
        ++j;
      shared.counts.emplace_back(all[i], std::uint32_t(j - i));
      i = j;
    }
  }
  std::vector<Expression> oddExpressions;
  // The members' forms, made a batch at a time on two threads (most of the
  // set's build), and gone before the next batch: the patterns kept for the
  // confirmation are copies made here, so that they leave no holes between them.
  constexpr std::size_t kBatch = 128;
  std::vector<std::optional<Pattern>> gbkBatch(std::min(kBatch, signatureTexts.size()));
  std::vector<std::optional<Pattern>> utf8Batch(gbkBatch.size());
  const auto makeForms = [&](std::size_t from, std::size_t to, std::size_t base) {
    for (std::size_t k = from; k < to; ++k) {
      const QString searched = any ? text::lineBreaksAsLf(signatureTexts[k]) : signatureTexts[k];
      if (encoding != text::Encoding::Utf8 && !searched.isEmpty())
        gbkBatch[k - base] = Pattern::gbk(searched, any, Pattern::Use::SetForms);
      if (encoding != text::Encoding::Gbk && !searched.isEmpty())
        utf8Batch[k - base] = Pattern::utf8(searched, any, Pattern::Use::SetForms);
    }
  };
  for (std::size_t i = 0; i < signatureTexts.size(); ++i) {
    if (i % kBatch == 0) {
      const std::size_t end = std::min(signatureTexts.size(), i + kBatch);
      const std::size_t mid = i + (end - i) / 2;
      // A second thread only where there is enough to share, and where one
      // can be had; what it throws is thrown here.
      std::optional<std::thread> helper;
      std::exception_ptr failure;
      if (end - i == kBatch) {
        try {
          helper.emplace([&, mid, end, i] {
            try {
              makeForms(mid, end, i);
            } catch (...) {
              failure = std::current_exception();
            }
          });
        } catch (const std::system_error&) {
          helper.reset();
        }
      }
      try {
        makeForms(i, helper ? mid : end, i);
      } catch (...) {
        if (helper)
          helper->join();
        throw;
      }
      if (helper)
        helper->join();
      if (failure)
        std::rethrow_exception(failure);
    }
    std::optional<Pattern> gbkForms = std::move(gbkBatch[i % kBatch]);
    std::optional<Pattern> utf8Forms = std::move(utf8Batch[i % kBatch]);
    gbkBatch[i % kBatch].reset();
    utf8Batch[i % kBatch].reset();
    const Pattern* gbk = gbkForms && gbkForms->possible ? &*gbkForms : nullptr;
    const Pattern* utf8 = utf8Forms && utf8Forms->possible ? &*utf8Forms : nullptr;
    // One expression for both readings: a candidate is only a byte match, and
    // each reading confirms its own. Of a long member only the beginning: the
    // expression's length is limited, and its beginning finds it as well.
    if (!gbk && !utf8)
      continue;
    const bool joined = gbk && utf8 && gbk->formChars == utf8->formChars;
    for (const Pattern* p : {gbk, utf8}) {
      if (!p || (joined && p == utf8))
        continue;
      // A literal piece of all the forms finds every occurrence. Else the forms
      // of the characters' own length find most, and the UTF-8 forms of another
      // length (the Kelvin sign for "k") only where such a form occurs (scan()).
      std::string primaryRegex;  // the expression of the forms of the characters' own length
      const auto noEmpty = [](const FormList& forms) {
        return std::none_of(forms.begin(), forms.end(), [](const auto& f) { return f.empty(); });
      };
      for (const bool primary : {true, false}) {
        const Pattern* gbkForm = joined || p == gbk ? gbk : nullptr;
        const Pattern* utf8Form = joined || p == utf8 ? utf8 : nullptr;
        Expression e{std::uint32_t(i), gbkForm != nullptr, utf8Form != nullptr, 0, 0, 0};
        std::size_t lo = 0;
        std::size_t hi = 0;
        bool whole = false;
        auto addLiteral = [&](std::string literal) {
          e.minBytes = lo;
          e.maxBytes = hi;
          for (const Pattern* q : {gbkForm, utf8Form})
            e.wholeMaxBytes = std::max(e.wholeMaxBytes, q ? q->maxBytes : 0);
          literalIds.push_back(unsigned(expressions_.size()));
          literals.push_back(std::move(literal));
          expressions_.push_back(e);
        };
        // Short only where it is the whole member.
        const auto usable = [&](const std::string& literal) {
          return literal.size() >= kLiteralMinBytes || (!literal.empty() && whole);
        };
        // A literal piece of the member's forms finds every occurrence where
        // it is long enough: then no other expression.
        if (primary) {
          std::string literal =
              caselessPiece(p->forms, joined ? &utf8->forms : nullptr, kPieceChars,
                            kLiteralMaxBytes, shared, &lo, &hi, p->formChars, &whole);
          if (usable(literal)) {
            addLiteral(std::move(literal));
            break;
          }
        }
        const FormList forms = joined ? Pattern::joinedForms(gbk, utf8, primary, kPieceChars)
                                      : Pattern::joinedForms(p, nullptr, primary, kPieceChars);
        if (!noEmpty(forms))
          continue;
        // Else a piece of the forms of the characters' own length.
        if (primary) {
          std::string literal = caselessPiece(forms, nullptr, kPieceChars, kLiteralMaxBytes, shared,
                                              &lo, &hi, p->formChars, &whole);
          if (usable(literal)) {
            addLiteral(std::move(literal));
            // The odd forms' expression below compares with this one.
            primaryRegex = Pattern::regexOf(forms, kExpressionChars, &lo, &hi);
            continue;
          }
        }
        std::string regex = Pattern::regexOf(forms, kExpressionChars, &e.minBytes, &e.maxBytes);
        if (!primary && regex == primaryRegex)
          continue;  // no odd forms
        for (const Pattern* q : {gbkForm, utf8Form})
          e.wholeMaxBytes = std::max(e.wholeMaxBytes, q ? q->maxBytes : 0);
        if (primary) {
          primaryRegex = regex;
          regexIds.push_back(unsigned(expressions_.size()));
          regexes.push_back(std::move(regex));
          expressions_.push_back(e);
        } else {
          oddRegexes_.push_back(std::move(regex));
          oddExpressions.push_back(e);
        }
      }
    }
    if (utf8) {
      for (const auto& [a, b] : utf8->odd) {
        if (std::find(oddPrefixes_.begin(), oddPrefixes_.end(), std::pair(a, b)) ==
            oddPrefixes_.end())
          oddPrefixes_.emplace_back(a, b);
      }
    }
  }
  // The odd forms' expressions follow the others, numbered after them.
  oddFirst_ = expressions_.size();
  expressions_.insert(expressions_.end(), oddExpressions.begin(), oddExpressions.end());
  if (oddRegexes_.empty())
    oddPrefixes_.clear();
  // A candidate waits until the whole member fits behind its latest start, and
  // its earliest start must still be in the buffer then.
  for (const Expression& e : expressions_)
    need_ = std::max(need_, e.wholeMaxBytes + (e.maxBytes - e.minBytes) + 1);
  if (regexes.empty() && literals.empty() && oddRegexes_.empty())
    return;
  // Nothing to search but odd forms (every member needs one): an expression
  // that never matches keeps the search, which looks for them, going.
  if (regexes.empty() && literals.empty()) {
    regexes.push_back("\\xff\\x00\\xff\\x00\\xff\\x00\\xfe");
    regexIds.push_back(0);
  }
  auto failed = [this](hs_compile_error_t* err, const std::vector<unsigned>& ids) {
    error_ = QString::fromUtf8(err && err->message ? err->message : "cannot compile the set");
    if (err && err->expression >= 0 && std::size_t(err->expression) < ids.size())
      error_ += QStringLiteral(" (member %1)")
                    .arg(expressions_[ids[std::size_t(err->expression)]].member + 1);
    hs_free_compile_error(err);
  };
  if (!regexes.empty()) {
    std::vector<const char*> texts;
    std::vector<unsigned> flags(regexes.size(), 0);
    for (const std::string& r : regexes)
      texts.push_back(r.c_str());
    hs_compile_error_t* err = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), regexIds.data(), unsigned(texts.size()),
                         HS_MODE_BLOCK, nullptr, &db_, &err) != HS_SUCCESS) {
      db_ = nullptr;
      failed(err, regexIds);
      return;
    }
  }
  if (!literals.empty()) {
    std::vector<const char*> texts;
    std::vector<std::size_t> lengths;
    std::vector<unsigned> flags(literals.size(), HS_FLAG_CASELESS);
    for (const std::string& l : literals) {
      texts.push_back(l.data());
      lengths.push_back(l.size());
    }
    hs_compile_error_t* err = nullptr;
    if (hs_compile_lit_multi(texts.data(), flags.data(), literalIds.data(), lengths.data(),
                             unsigned(texts.size()), HS_MODE_BLOCK, nullptr, &literalDb_,
                             &err) != HS_SUCCESS) {
      literalDb_ = nullptr;
      failed(err, literalIds);
      if (db_)
        hs_free_database(db_);
      db_ = nullptr;
    }
  }
}

namespace {

// The last set shared(), and where sets are kept.
std::mutex sharedLock;
std::vector<QString> lastSignatureTexts;
text::Encoding lastEncoding;
text::LineEnds lastLineEnds;
std::shared_ptr<const SetMatcher> last;
std::shared_ptr<BuiltSetStore> builtSets;

}  // namespace

void SetMatcher::keepBuiltSetsIn(std::shared_ptr<BuiltSetStore> store) {
  const std::lock_guard<std::mutex> hold(sharedLock);
  builtSets = std::move(store);
  // The next command asks the store, as a command in a process of its own would.
  last.reset();
}

std::shared_ptr<const SetMatcher> SetMatcher::shared(const std::vector<QString>& signatureTexts,
                                                     text::Encoding encoding,
                                                     text::LineEnds lineEnds) {
  const std::lock_guard<std::mutex> hold(sharedLock);
  if (!last || lastEncoding != encoding || lastLineEnds != lineEnds ||
      lastSignatureTexts != signatureTexts) {
    last.reset();  // one compiled set at a time
    std::unique_ptr<SetMatcher> made;
    QByteArray key;
    if (builtSets) {
      key = storeKey(signatureTexts, encoding, lineEnds);
      if (const QByteArray image = builtSets->load(key); !image.isEmpty())
        made = fromImage(signatureTexts, encoding, lineEnds, image);
    }
    if (!made) {
      made = std::make_unique<SetMatcher>(signatureTexts, encoding, lineEnds);
      // A set the search cannot take is said again each time, never kept.
      if (builtSets && made->error().isEmpty())
        builtSets->save(key, made->image());
    }
    last = std::move(made);
    lastSignatureTexts = signatureTexts;
    lastEncoding = encoding;
    lastLineEnds = lineEnds;
  }
  return last;
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
  if (literalDb_)
    hs_free_database(literalDb_);
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
  std::size_t literal = 0;
  if (literalDb_)
    hs_database_size(literalDb_, &literal);
  return n + literal;
}

SetMatcher::Search::Search(const SetMatcher& m, std::uint8_t* buf, std::uint64_t size,
                           Recount recount, bool all)
    : m_(m),
      buf_(buf),
      all_(all),
      foundGbk_(m.members_, false),
      foundUtf8_(m.members_, false),
      left_(size),
      recount_(std::move(recount)),
      reading_(m.encoding_) {}

SetMatcher::Search::~Search() = default;

void SetMatcher::Search::fixReading(text::Encoding reading) {
  if (reading_ == text::Encoding::Auto &&
      (reading == text::Encoding::Gbk || reading == text::Encoding::Utf8))
    reading_ = reading;
}

text::Encoding SetMatcher::Search::otherReading() const {
  if (!counting_)
    return text::Encoding::Auto;
  if (reading_ == text::Encoding::Gbk && hitUtf8_ && !hitGbk_)
    return text::Encoding::Utf8;
  if (reading_ == text::Encoding::Utf8 && hitGbk_ && !hitUtf8_)
    return text::Encoding::Gbk;
  return text::Encoding::Auto;
}

int SetMatcher::Search::onBufferMatch(unsigned id, unsigned long long from, unsigned long long to,
                                      unsigned flags, void* ctx) {
  auto* self = static_cast<Search*>(ctx);
  // Those that end in the bytes kept from the last round were seen then.
  if (to <= self->kept_)
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
// buffer, and one byte more to decide a trailing CR or lead byte.
bool SetMatcher::Search::decidable(unsigned id, std::uint64_t end) const {
  const Expression& e = m_.expressions_[id];
  return end - e.minBytes + e.wholeMaxBytes < base_ + len_;
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
  const confirm::Window w{buf_, len_, carryCr_, carryOdd_};
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

// As the single signature's search: settled as soon as the rest of the content
// cannot change the rule's choice.
void SetMatcher::Search::decideReading(bool final) {
  if (const std::optional<bool> utf8 = counter_.settledReadsAsUtf8(left_, final))
    reading_ = *utf8 ? text::Encoding::Utf8 : text::Encoding::Gbk;
}

std::optional<bool> SetMatcher::Search::settled(bool final) const {
  if (reading_ == text::Encoding::Auto && final && !counting_)
    return hitGbk_;  // both readings agree
  switch (reading_) {
    case text::Encoding::Gbk:
      return hitGbk_ || final ? std::optional(hitGbk_) : std::nullopt;
    case text::Encoding::Utf8:
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

std::optional<bool> SetMatcher::Search::scan(std::size_t len, bool final) {
  const std::size_t fresh = len - kept_;
  left_ -= std::min<std::uint64_t>(left_, fresh);
  if (final)
    left_ = 0;
  if (reading_ == text::Encoding::Auto && counting_) {
    counter_.feed(buf_ + kept_, fresh);
    if (final)
      counter_.finish();
    decideReading(final);
  }
  len_ = len;
  final_ = final;
  if (!m_.possible()) {
    if (final)
      return false;
  } else {
    // Candidates that waited for this round's first byte.
    std::vector<std::pair<unsigned, std::uint64_t>> waiting;
    waiting.swap(deferred_);
    for (const auto& [id, end] : waiting) {
      if (!final && !decidable(id, end))
        deferred_.emplace_back(id, end);
      else
        check(id, end, final);
    }
    if (all_ || !settled(false)) {
      // The whole buffer, the bytes kept from the last round included: they
      // hold the start of any occurrence that ends in the new bytes.
      if (fresh > 0 && m_.literalDb_ && !searchBuffer(m_.literalDb_, len))
        return false;
      if (fresh > 0 && m_.db_ && (all_ || !settled(false)) && !searchBuffer(m_.db_, len))
        return false;
    }
    // Where a UTF-8 form of another length occurs, the whole buffer is searched
    // once more for the members' forms that hold one.
    if ((all_ || !settled(false)) && !m_.oddPrefixes_.empty() && len >= 2) {
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
      if (oddDb && !searchBuffer(oddDb, len))
        return false;
    }
  }
  // The reading matters only where the readings disagree: only then is the
  // content counted, from its start up to here and from here on as it comes.
  if (reading_ == text::Encoding::Auto && !counting_ && (hitGbk_ != hitUtf8_ || disagree_ > 0)) {
    counting_ = true;
    if (const int e = recount_(fed_, counter_)) {
      error_ = e;
      return false;
    }
    counter_.feed(buf_ + kept_, fresh);
    if (final)
      counter_.finish();
    decideReading(final);
  }
  fed_ += fresh;
  if (const std::optional<bool> answer = settled(final); answer && (!all_ || final))
    return answer;

  const std::size_t drop = len >= m_.need_ ? len - m_.need_ + 1 : 0;
  const confirm::Window w{buf_, len, carryCr_, carryOdd_};
  carryOdd_ = confirm::leadRunOddBefore(w, drop);
  if (drop > 0)
    carryCr_ = buf_[drop - 1] == '\r';
  std::memmove(buf_, buf_ + drop, len - drop);
  kept_ = len - drop;
  base_ += drop;
  return std::nullopt;
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
      bool hit = false;
      for (std::size_t at = 0;;) {
        const std::size_t take = std::min(chunkSize, std::size_t(content.size()) - at);
        std::memcpy(buf.data() + s.kept(), content.data() + at, take);
        at += take;
        if (const std::optional<bool> answer =
                s.scan(s.kept() + take, at == std::size_t(content.size()))) {
          hit = *answer;
          break;
        }
      }
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
  const auto* p = reinterpret_cast<const std::uint8_t*>(content.data());
  std::size_t left = std::size_t(content.size());
  for (;;) {
    const std::size_t take = std::min(chunkSize, left);
    if (take > 0)
      std::memcpy(buf.data() + s.kept(), p, take);
    p += take;
    left -= take;
    if (const std::optional<bool> answer = s.scan(s.kept() + take, left == 0)) {
      if (members)
        *members = s.members();
      return *answer;
    }
  }
}

}  // namespace scan
