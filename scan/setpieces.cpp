#include "scan/setpieces.h"

#include <algorithm>

namespace scan::setpieces {

namespace {

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// The characters laid out as bytes (each one's folded form, a zero byte
// where it has none), where each begins, the least and most bytes up to it,
// and how many members hold the 8 bytes from each position.
void layOut(const PieceAsk& ask, PieceScratch& s) {
  s.bytes.clear();
  s.at.assign(1, 0);
  s.lo.assign(1, 0);
  s.hi.assign(1, 0);
  for (std::size_t c = 0; c < ask.n; ++c) {
    const CharForms& f = ask.chars[c];
    if (f.len)
      s.bytes.append(f.folded, f.len);
    else
      s.bytes.push_back('\0');
    s.at.push_back(s.bytes.size());
    s.lo.push_back(s.lo.back() + f.lo);
    s.hi.push_back(s.hi.back() + f.hi);
  }
  s.sharedFrom.assign(s.bytes.size(), 0);
  for (std::size_t j = 0; j + kGram <= s.bytes.size(); ++j)
    s.sharedFrom[j] = ask.shared.count(gramAt(s.bytes.data() + j));
}

}  // namespace

std::uint32_t GramCounts::count(std::uint64_t g) const {
  const std::uint64_t key = spread(g);
  const std::size_t top = std::size_t(key >> (64 - kIndexBits));
  const auto from = runs.begin() + firstWithTop[top];
  const auto to = runs.begin() + firstWithTop[top + 1];
  const auto it = std::lower_bound(from, to, key);
  return it == to || *it != key ? 0 : counts[std::size_t(it - runs.begin())];
}

GramCounts countSharedRuns(const std::vector<QString>& signatureTexts) {
  GramCounts shared;
  shared.members = std::uint32_t(signatureTexts.size());
  // Every member's runs, each once per member, then counted where they lie.
  std::vector<std::uint64_t>& all = shared.runs;
  std::size_t most = 0;
  for (const QString& signature : signatureTexts)
    most += std::size_t(std::max<qsizetype>(0, signature.left(kPieceChars).size() * 3 - 7));
  all.reserve(most);
  for (const QString& signature : signatureTexts) {
    const QByteArray text = signature.left(kPieceChars).toUtf8();
    const std::size_t from = all.size();
    for (qsizetype j = 0; j + qsizetype(kGram) <= text.size(); ++j)
      all.push_back(spread(gramAt(text.data() + j)));
    std::sort(all.begin() + std::ptrdiff_t(from), all.end());
    all.erase(std::unique(all.begin() + std::ptrdiff_t(from), all.end()), all.end());
  }
  // Sorted by the top bits first, into as many buckets as the index has, then
  // each small bucket: the runs are spread evenly, and one sort of them all
  // took a tenth of a large set's build.
  constexpr std::size_t kTops = std::size_t(1) << GramCounts::kIndexBits;
  const auto topOf = [](std::uint64_t g) {
    return std::size_t(g >> (64 - GramCounts::kIndexBits));
  };
  std::vector<std::uint32_t> starts(kTops + 1, 0);
  for (const std::uint64_t g : all)
    ++starts[topOf(g) + 1];
  for (std::size_t top = 0; top < kTops; ++top)
    starts[top + 1] += starts[top];
  std::vector<std::uint64_t> byTop(all.size());
  {
    std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
    for (const std::uint64_t g : all)
      byTop[next[topOf(g)]++] = g;
  }
  all.clear();
  all.shrink_to_fit();
  shared.firstWithTop.assign(kTops + 1, 0);
  std::size_t kept = 0;
  for (std::size_t top = 0; top < kTops; ++top) {
    shared.firstWithTop[top] = std::uint32_t(kept);
    const auto from = byTop.begin() + starts[top];
    const auto to = byTop.begin() + starts[top + 1];
    std::sort(from, to);
    for (auto i = from; i != to;) {
      auto j = i;
      while (j != to && *j == *i)
        ++j;
      byTop[kept++] = *i;
      shared.counts.push_back(std::uint32_t(j - i));
      i = j;
    }
  }
  shared.firstWithTop[kTops] = std::uint32_t(kept);
  byTop.resize(kept);
  byTop.shrink_to_fit();
  all = std::move(byTop);
  return shared;
}

CharForms formsOf(const std::vector<std::string>& forms) {
  CharForms c;
  if (forms.empty() || forms.front().size() > sizeof c.folded)
    return c;
  const std::string& first = forms.front();
  // A loop bounded by the array: GCC 12 at -O3 warns of std::transform here.
  for (std::size_t i = 0; i < sizeof c.folded && i < first.size(); ++i)
    c.folded[i] = asciiLower(first[i]);
  bool same = true;
  for (const std::string& x : forms) {
    c.lo = std::uint8_t(std::min<std::size_t>(c.lo, x.size()));
    c.hi = std::uint8_t(std::max<std::size_t>(c.hi, x.size()));
    same =
        same && x.size() == first.size() &&
        std::equal(x.begin(), x.end(), c.folded, [](char a, char b) { return asciiLower(a) == b; });
  }
  c.len = same ? std::uint8_t(first.size()) : 0;
  return c;
}

CharForms joinedCharForms(const CharForms& a, const CharForms& b) {
  CharForms c = a;
  c.lo = std::min(a.lo, b.lo);
  c.hi = std::max(a.hi, b.hi);
  if (a.len != b.len || std::memcmp(a.folded, b.folded, a.len) != 0)
    c.len = 0;
  return c;
}

Piece choosePiece(const PieceAsk& ask, std::size_t longest, PieceScratch& s) {
  layOut(ask, s);
  Piece best;
  std::uint32_t bestShared = 0;
  for (std::size_t end = 1; end <= ask.n; ++end) {
    // The longest piece that ends with character end - 1.
    std::size_t start = end;
    while (start > 0 && ask.chars[start - 1].len != 0 && s.at[end] - s.at[start - 1] <= longest)
      --start;
    if (start == end)
      continue;
    // Members that may hold it: those that hold its rarest 8 bytes.
    std::uint32_t many = ask.shared.members;
    for (std::size_t j = s.at[start]; j + kGram <= s.at[end]; ++j)
      many = std::min(many, s.sharedFrom[j]);
    const std::size_t size = s.at[end] - s.at[start];
    if (best.bytes.empty() || many < bestShared ||
        (many == bestShared && size > best.bytes.size())) {
      best.whole = start == 0 && end == ask.total && size == s.lo[end] && s.lo[end] == s.hi[end];
      best.bytes.assign(s.bytes, s.at[start], size);
      bestShared = many;
      best.minBytes = s.lo[end];
      best.maxBytes = s.hi[end];
    }
  }
  return best;
}

Piece pieceOfForms(const FormList& forms, const FormList* more, std::size_t total,
                   const GramCounts& shared, PieceScratch& s) {
  const std::size_t n = std::min({kPieceChars, forms.size(), more ? more->size() : forms.size()});
  std::vector<CharForms> chars(n);
  for (std::size_t c = 0; c < n; ++c)
    chars[c] = more ? joinedCharForms(formsOf(forms[c]), formsOf((*more)[c])) : formsOf(forms[c]);
  return choosePiece(PieceAsk{chars.data(), n, total, shared}, kLiteralMaxBytes, s);
}

const CharEntry& CharTable::of(char32_t c) {
  if (c < ascii_.size()) {
    if (!ascii_[c])
      ascii_[c] = entry(c);
    return *ascii_[c];
  }
  auto [at, fresh] = other_.try_emplace(c);
  if (fresh)
    at->second = entry(c);
  return at->second;
}

CharEntry CharTable::entry(char32_t c) const {
  const QString one = utf8_ ? QString::fromUcs4(&c, 1) : QString(QChar(char16_t(c)));
  const Pattern p = utf8_ ? Pattern::utf8(one, anyLineEnd_, Pattern::Use::SetForms)
                          : Pattern::gbk(one, anyLineEnd_, Pattern::Use::SetForms);
  CharEntry e;
  e.possible = p.possible && p.forms.size() == 1;
  if (e.possible)
    e.forms = formsOf(p.forms.front());
  e.maxBytes = p.maxBytes;
  e.odd = p.odd;
  return e;
}

void readForms(const QString& searched, CharTable& table, bool utf8, ReadingForms& r) {
  r.possible = true;
  r.chars = 0;
  r.maxBytes = 0;
  r.first.clear();
  r.odd.clear();
  for (qsizetype k = 0; k < searched.size(); ++k) {
    char32_t c = searched[k].unicode();
    if (utf8 && QChar::isSurrogate(c)) {
      // A lone surrogate is no character of UTF-8 text.
      if (!QChar::isHighSurrogate(c) || k + 1 >= searched.size() ||
          !searched[k + 1].isLowSurrogate()) {
        r.possible = false;
        return;
      }
      c = QChar::surrogateToUcs4(char16_t(c), searched[++k].unicode());
    }
    const CharEntry& e = table.of(c);
    if (!e.possible) {
      r.possible = false;
      return;
    }
    ++r.chars;
    r.maxBytes += e.maxBytes;
    if (r.first.size() < kPieceChars)
      r.first.push_back(e.forms);
    for (const OddPrefix& o : e.odd) {
      if (std::find(r.odd.begin(), r.odd.end(), o) == r.odd.end())
        r.odd.push_back(o);
    }
  }
}

}  // namespace scan::setpieces
