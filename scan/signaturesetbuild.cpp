// Building a set's matcher, in steps: how many members share each run of
// bytes, each member's forms (a batch at a time on two threads), the pieces
// and expressions that find its candidates, and Hyperscan's databases.
#include <hs/hs.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "scan/pattern.h"
#include "scan/setpieces.h"
#include "scan/signaturesetmatch.h"
#include "text/lineends.h"

namespace scan {

using namespace setpieces;

namespace {

// Literals from which a set's are compiled in two halves at once.
constexpr std::size_t kHalvedLiterals = 4096;

}  // namespace

// One member as a batch's thread leaves it: its literals where each reading
// has a piece that will do, else its full forms for addMember().
struct SetMatcher::MemberSlot {
  struct Literal {
    Piece piece;
    bool gbk;
    bool utf8;
    std::size_t wholeMaxBytes;
  };
  bool none = false;   // nothing can match it
  bool quick = false;  // `literals` and `odd` are the member's expressions
  std::vector<Literal> literals;
  std::vector<OddPrefix> odd;
  std::optional<Pattern> gbk;
  std::optional<Pattern> utf8;
};

// What one thread of the build keeps from member to member.
struct SetMatcher::FormsMaker {
  FormsMaker(const GramCounts& counts, bool any)
      : shared(counts), gbkTable(false, any), utf8Table(true, any) {}
  const GramCounts& shared;
  CharTable gbkTable;
  CharTable utf8Table;
  ReadingForms gbkForms;
  ReadingForms utf8Forms;
  std::vector<CharForms> joined;
  PieceScratch scratch;
};

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
  Build gathered;
  gathered.shared = countSharedRuns(signatureTexts);
  // The members' pieces, a batch at a time on two threads, each member's
  // full forms made only where no piece will do, and gone before the next
  // batch.
  constexpr std::size_t kBatch = 128;
  std::vector<MemberSlot> slots(std::min(kBatch, signatureTexts.size()));
  FormsMaker mine(gathered.shared, anyLineEnd_);
  FormsMaker helpers(gathered.shared, anyLineEnd_);
  const auto makeForms = [&](FormsMaker& maker, std::size_t from, std::size_t to,
                             std::size_t base) {
    for (std::size_t k = from; k < to; ++k)
      makeMember(maker, signatureTexts[k], slots[k - base]);
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
              makeForms(helpers, mid, end, i);
            } catch (...) {
              failure = std::current_exception();
            }
          });
        } catch (const std::system_error&) {
          helper.reset();
        }
      }
      try {
        makeForms(mine, i, helper ? mid : end, i);
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
    addMember(gathered, std::uint32_t(i), slots[i % kBatch]);
  }
  // Not needed by the compiler, which takes the most memory of the build.
  gathered.shared = GramCounts();
  compile(gathered);
}

// A member's literals from the characters' forms alone; else (a reading
// without a piece that will do) its full forms.
void SetMatcher::makeMember(FormsMaker& maker, const QString& signature, MemberSlot& slot) const {
  slot.none = false;
  slot.quick = false;
  slot.literals.clear();
  slot.odd.clear();
  slot.gbk.reset();
  slot.utf8.reset();
  const QString searched = anyLineEnd_ ? text::lineBreaksAsLf(signature) : signature;
  ReadingForms& g = maker.gbkForms;
  ReadingForms& u = maker.utf8Forms;
  g.possible = u.possible = false;
  if (encoding_ != text::Encoding::Utf8 && !searched.isEmpty())
    readForms(searched, maker.gbkTable, false, g);
  if (encoding_ != text::Encoding::Gbk && !searched.isEmpty())
    readForms(searched, maker.utf8Table, true, u);
  if (!g.possible && !u.possible) {
    slot.none = true;
    return;
  }
  // One literal for both readings where they have as many characters: a
  // candidate is only a byte match, and each reading confirms its own.
  const auto usable = [](const Piece& p) {
    return p.bytes.size() >= kLiteralMinBytes || (!p.bytes.empty() && p.whole);
  };
  if (g.possible && u.possible && g.chars == u.chars) {
    maker.joined.resize(g.first.size());
    for (std::size_t c = 0; c < g.first.size(); ++c)
      maker.joined[c] = joinedCharForms(g.first[c], u.first[c]);
    Piece piece =
        choosePiece(PieceAsk{maker.joined.data(), maker.joined.size(), g.chars, maker.shared},
                    kLiteralMaxBytes, maker.scratch);
    slot.quick = usable(piece);
    if (slot.quick)
      slot.literals.push_back({std::move(piece), true, true, std::max(g.maxBytes, u.maxBytes)});
  } else {
    slot.quick = true;
    for (ReadingForms* r : {&g, &u}) {
      if (!r->possible || !slot.quick)
        continue;
      Piece piece = choosePiece(PieceAsk{r->first.data(), r->first.size(), r->chars, maker.shared},
                                kLiteralMaxBytes, maker.scratch);
      slot.quick = usable(piece);
      if (slot.quick)
        slot.literals.push_back({std::move(piece), r == &g, r == &u, r->maxBytes});
    }
  }
  if (slot.quick) {
    if (u.possible)
      slot.odd = u.odd;
    return;
  }
  if (g.possible)
    slot.gbk = Pattern::gbk(searched, anyLineEnd_, Pattern::Use::SetForms);
  if (u.possible)
    slot.utf8 = Pattern::utf8(searched, anyLineEnd_, Pattern::Use::SetForms);
}

void SetMatcher::addMember(Build& gathered, std::uint32_t member, MemberSlot& slot) {
  if (slot.none)
    return;
  if (slot.quick) {
    for (MemberSlot::Literal& l : slot.literals)
      addLiteral(
          gathered,
          Expression{member, l.gbk, l.utf8, l.piece.minBytes, l.piece.maxBytes, l.wholeMaxBytes},
          std::move(l.piece.bytes));
  } else {
    const Pattern* gbk = slot.gbk && slot.gbk->possible ? &*slot.gbk : nullptr;
    const Pattern* utf8 = slot.utf8 && slot.utf8->possible ? &*slot.utf8 : nullptr;
    if (!gbk && !utf8)
      return;
    const bool joined = gbk && utf8 && gbk->formChars == utf8->formChars;
    if (joined)
      addReading(gathered, MemberReading{member, gbk, utf8});
    else {
      for (const Pattern* p : {gbk, utf8}) {
        if (p)
          addReading(gathered,
                     MemberReading{member, p == gbk ? p : nullptr, p == utf8 ? p : nullptr});
      }
    }
    if (utf8)
      slot.odd = utf8->odd;
  }
  for (const OddPrefix& o : slot.odd) {
    if (std::find(oddPrefixes_.begin(), oddPrefixes_.end(), o) == oddPrefixes_.end())
      oddPrefixes_.push_back(o);
  }
}

void SetMatcher::addLiteral(Build& gathered, const Expression& e, std::string literal) {
  gathered.literalIds.push_back(unsigned(expressions_.size()));
  gathered.literals.push_back(std::move(literal));
  expressions_.push_back(e);
}

// A member's expressions where its forms have no piece that will do alone: a
// piece of the forms of the characters' own length, else the regular
// expression of its first characters; and one of its UTF-8 forms of another
// length (the Kelvin sign for "k"), searched apart (scan()) only where such a
// form occurs.
void SetMatcher::addReading(Build& gathered, const MemberReading& r) {
  const Pattern* p = r.gbk ? r.gbk : r.utf8;
  std::size_t wholeMaxBytes = 0;
  for (const Pattern* q : {r.gbk, r.utf8})
    wholeMaxBytes = std::max(wholeMaxBytes, q ? q->maxBytes : 0);
  Expression e{r.member, r.gbk != nullptr, r.utf8 != nullptr, 0, 0, wholeMaxBytes};
  PieceScratch scratch;
  // A literal piece of all the forms finds every occurrence where it is long
  // enough: then no other expression.
  if (Piece piece = pieceOfForms(p->forms, r.gbk && r.utf8 ? &r.utf8->forms : nullptr, p->formChars,
                                 gathered.shared, scratch);
      piece.bytes.size() >= kLiteralMinBytes || (!piece.bytes.empty() && piece.whole)) {
    e.minBytes = piece.minBytes;
    e.maxBytes = piece.maxBytes;
    addLiteral(gathered, e, std::move(piece.bytes));
    return;
  }
  const auto noEmpty = [](const FormList& forms) {
    return std::none_of(forms.begin(), forms.end(), [](const auto& f) { return f.empty(); });
  };
  // The forms of the characters' own length find most occurrences.
  std::string primaryRegex;
  if (const FormList forms = Pattern::joinedForms(r.gbk, r.utf8, true, kPieceChars);
      noEmpty(forms)) {
    Piece piece = pieceOfForms(forms, nullptr, p->formChars, gathered.shared, scratch);
    primaryRegex = Pattern::regexOf(forms, kExpressionChars, &e.minBytes, &e.maxBytes);
    if (piece.bytes.size() >= kLiteralMinBytes || (!piece.bytes.empty() && piece.whole)) {
      e.minBytes = piece.minBytes;
      e.maxBytes = piece.maxBytes;
      addLiteral(gathered, e, std::move(piece.bytes));
    } else {
      gathered.regexIds.push_back(unsigned(expressions_.size()));
      gathered.regexes.push_back(primaryRegex);
      expressions_.push_back(e);
    }
  }
  // The odd forms' expression, where it differs from the primary one.
  if (const FormList forms = Pattern::joinedForms(r.gbk, r.utf8, false, kPieceChars);
      noEmpty(forms)) {
    std::string regex = Pattern::regexOf(forms, kExpressionChars, &e.minBytes, &e.maxBytes);
    if (regex == primaryRegex)
      return;
    oddRegexes_.push_back(std::move(regex));
    gathered.oddExpressions.push_back(e);
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
  std::vector<const char*> regexTexts;
  for (const std::string& r : gathered.regexes)
    regexTexts.push_back(r.c_str());
  const std::vector<unsigned> regexFlags(gathered.regexes.size(), 0);
  std::vector<const char*> literalTexts;
  std::vector<std::size_t> lengths;
  for (const std::string& l : gathered.literals) {
    literalTexts.push_back(l.data());
    lengths.push_back(l.size());
  }
  const std::vector<unsigned> literalFlags(gathered.literals.size(), HS_FLAG_CASELESS);
  // Each database on a thread of its own: Hyperscan's compiler is most of a
  // large set's build, and a large set's literals make two halves.
  struct Part {
    hs_database** db;
    bool literal;
    std::size_t from;
    std::size_t to;
    hs_compile_error_t* err = nullptr;
    bool ok = false;
  };
  std::vector<Part> parts;
  if (!regexTexts.empty())
    parts.push_back({&db_, false, 0, regexTexts.size()});
  const std::size_t literals = literalTexts.size();
  if (literals >= kHalvedLiterals) {
    parts.push_back({&literalDbs_[0], true, 0, literals / 2});
    parts.push_back({&literalDbs_[1], true, literals / 2, literals});
  } else if (literals > 0) {
    parts.push_back({&literalDbs_[0], true, 0, literals});
  }
  const auto compilePart = [&](Part& p) {
    const auto count = unsigned(p.to - p.from);
    p.ok = (p.literal
                ? hs_compile_lit_multi(literalTexts.data() + p.from, literalFlags.data() + p.from,
                                       gathered.literalIds.data() + p.from, lengths.data() + p.from,
                                       count, HS_MODE_BLOCK, nullptr, p.db, &p.err)
                : hs_compile_multi(regexTexts.data(), regexFlags.data(), gathered.regexIds.data(),
                                   count, HS_MODE_BLOCK, nullptr, p.db, &p.err)) == HS_SUCCESS;
  };
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    try {
      helpers.emplace_back(compilePart, std::ref(parts[i]));
    } catch (const std::system_error&) {
      compilePart(parts[i]);
    }
  }
  compilePart(parts.front());
  for (std::thread& t : helpers)
    t.join();
  // One failure leaves nothing to search: the error names the first.
  const auto bad = std::find_if(parts.begin(), parts.end(), [](const Part& p) { return !p.ok; });
  if (bad != parts.end()) {
    const hs_compile_error_t* err = bad->err;
    const std::vector<unsigned>& ids = bad->literal ? gathered.literalIds : gathered.regexIds;
    error_ = QString::fromUtf8(err && err->message ? err->message : "cannot compile the set");
    if (err && err->expression >= 0 && bad->from + std::size_t(err->expression) < ids.size())
      error_ += QStringLiteral(" (member %1)")
                    .arg(expressions_[ids[bad->from + std::size_t(err->expression)]].member + 1);
  }
  for (Part& p : parts) {
    hs_free_compile_error(p.err);
    if (bad != parts.end() && *p.db) {
      hs_free_database(*p.db);
      *p.db = nullptr;
    }
  }
}

}  // namespace scan
