// Building a set's matcher, in steps: how many members share each run of
// bytes, each member's forms (a batch at a time on two threads), the pieces
// and expressions that find its candidates, and Hyperscan's databases.
#include <hs/hs.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include "scan/pattern.h"
#include "scan/signaturesetmatch.h"
#include "text/lineends.h"

namespace scan {

namespace {

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
// UTF-8), how many members hold it: sorted, each run once with its count (a
// hash map's node per run took more time and memory than the rest of the
// choice of pieces).
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

// What the steps gather for Hyperscan.
struct SetMatcher::Build {
  GramCounts shared;
  std::vector<std::string> regexes;
  std::vector<unsigned> regexIds;
  std::vector<std::string> literals;
  std::vector<unsigned> literalIds;
  std::vector<Expression> oddExpressions;
};

void SetMatcher::build(const std::vector<QString>& signatureTexts) {
  // The forms' patterns hold the forms of these characters.
  static_assert(kPieceChars <= Pattern::kSetFormChars &&
                kExpressionChars <= Pattern::kSetFormChars);
  Build gathered;
  countSharedRuns(gathered, signatureTexts);
  const bool any = anyLineEnd_;
  const text::Encoding encoding = encoding_;
  // The members' forms, made a batch at a time on two threads (most of the
  // set's build), and gone before the next batch.
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
    addMember(gathered, std::uint32_t(i), gbk, utf8);
  }
  compile(gathered);
}

void SetMatcher::countSharedRuns(Build& gathered, const std::vector<QString>& signatureTexts) {
  gathered.shared.members = std::uint32_t(signatureTexts.size());
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
    gathered.shared.counts.emplace_back(all[i], std::uint32_t(j - i));
    i = j;
  }
}

// The member's expressions: a caselessly searched piece where one will do,
// else the regular expression of its first characters (and one of its UTF-8
// forms of another length, searched apart).
void SetMatcher::addMember(Build& gathered, std::uint32_t i, const Pattern* gbk,
                           const Pattern* utf8) {
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
        gathered.literalIds.push_back(unsigned(expressions_.size()));
        gathered.literals.push_back(std::move(literal));
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
            caselessPiece(p->forms, joined ? &utf8->forms : nullptr, kPieceChars, kLiteralMaxBytes,
                          gathered.shared, &lo, &hi, p->formChars, &whole);
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
        std::string literal = caselessPiece(forms, nullptr, kPieceChars, kLiteralMaxBytes,
                                            gathered.shared, &lo, &hi, p->formChars, &whole);
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
        gathered.regexIds.push_back(unsigned(expressions_.size()));
        gathered.regexes.push_back(std::move(regex));
        expressions_.push_back(e);
      } else {
        oddRegexes_.push_back(std::move(regex));
        gathered.oddExpressions.push_back(e);
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

void SetMatcher::compile(Build& gathered) {
  // The odd forms' expressions follow the others, numbered after them.
  oddFirst_ = expressions_.size();
  expressions_.insert(expressions_.end(), gathered.oddExpressions.begin(),
                      gathered.oddExpressions.end());
  if (oddRegexes_.empty())
    oddPrefixes_.clear();
  // A candidate waits until the whole member fits behind its latest start, and
  // its earliest start must still be in the buffer then.
  for (const Expression& e : expressions_)
    need_ = std::max(need_, e.wholeMaxBytes + (e.maxBytes - e.minBytes) + 1);
  if (gathered.regexes.empty() && gathered.literals.empty() && oddRegexes_.empty())
    return;
  // Nothing to search but odd forms (every member needs one): an expression
  // that never matches keeps the search, which looks for them, going.
  if (gathered.regexes.empty() && gathered.literals.empty()) {
    gathered.regexes.push_back("\\xff\\x00\\xff\\x00\\xff\\x00\\xfe");
    gathered.regexIds.push_back(0);
  }
  auto failed = [this](hs_compile_error_t* err, const std::vector<unsigned>& ids) {
    error_ = QString::fromUtf8(err && err->message ? err->message : "cannot compile the set");
    if (err && err->expression >= 0 && std::size_t(err->expression) < ids.size())
      error_ += QStringLiteral(" (member %1)")
                    .arg(expressions_[ids[std::size_t(err->expression)]].member + 1);
    hs_free_compile_error(err);
  };
  if (!gathered.regexes.empty()) {
    std::vector<const char*> texts;
    std::vector<unsigned> flags(gathered.regexes.size(), 0);
    for (const std::string& r : gathered.regexes)
      texts.push_back(r.c_str());
    hs_compile_error_t* err = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), gathered.regexIds.data(),
                         unsigned(texts.size()), HS_MODE_BLOCK, nullptr, &db_,
                         &err) != HS_SUCCESS) {
      db_ = nullptr;
      failed(err, gathered.regexIds);
      return;
    }
  }
  if (!gathered.literals.empty()) {
    std::vector<const char*> texts;
    std::vector<std::size_t> lengths;
    std::vector<unsigned> flags(gathered.literals.size(), HS_FLAG_CASELESS);
    for (const std::string& l : gathered.literals) {
      texts.push_back(l.data());
      lengths.push_back(l.size());
    }
    hs_compile_error_t* err = nullptr;
    if (hs_compile_lit_multi(texts.data(), flags.data(), gathered.literalIds.data(), lengths.data(),
                             unsigned(texts.size()), HS_MODE_BLOCK, nullptr, &literalDb_,
                             &err) != HS_SUCCESS) {
      literalDb_ = nullptr;
      failed(err, gathered.literalIds);
      if (db_)
        hs_free_database(db_);
      db_ = nullptr;
    }
  }
}

}  // namespace scan
