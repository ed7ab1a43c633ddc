#include "scan/pattern.h"

#include <QChar>

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "text/gbk.h"
#include "text/textops.h"
#include "text/utf8.h"

namespace scan {

namespace {

using bytesearch::Probe;

// One byte form of one character.
struct Form {
  std::uint8_t bytes[4] = {0, 0, 0, 0};
  std::uint8_t len = 0;
};

// Each character's forms, kept once per character in the tables below: a set of
// long members would otherwise copy the same few forms hundreds of thousands
// of times.
using Forms = std::vector<const std::vector<Form>*>;

const std::vector<Form> kNoForms;

// Every GBK form of each lower-cased character, from the decoder's own tables,
// taken once: a set builds thousands of patterns. A lead byte alone is a form
// of its invalid-byte character.
const std::unordered_map<char16_t, std::vector<Form>>& gbkFormsByChar() {
  static const auto map = [] {
    const gbk::Tables& t = gbk::tables();
    std::unordered_map<char16_t, std::vector<Form>> byChar;
    byChar.reserve(256 + 126 * 190);
    for (int b = 0; b < 256; ++b)
      byChar[t.singleLower[b]].push_back(Form{{std::uint8_t(b)}, 1});
    for (int l = 0x81; l <= 0xFE; ++l) {
      for (int tr = 0x40; tr <= 0xFE; ++tr) {
        if (gbk::isTrail(std::uint8_t(tr)))
          byChar[t.pairLower[l - 0x81][tr - 0x40]].push_back(
              Form{{std::uint8_t(l), std::uint8_t(tr)}, 2});
      }
    }
    return byChar;
  }();
  return map;
}

// Every GBK form of each code unit of `signature`.
Forms gbkForms(const QString& signature) {
  const auto& byChar = gbkFormsByChar();
  Forms forms;
  for (QChar c : signature) {
    const auto it = byChar.find(c.unicode());
    forms.push_back(it == byChar.end() ? &kNoForms : &it->second);
  }
  return forms;
}

// Every code point whose lower case differs from it, by that lower case.
// Beyond the first two planes (ideographs, tags, private use) no character
// has a case, and asking each of them took a third of a scan's start.
const std::unordered_multimap<char32_t, char32_t>& upperForms() {
  static const auto map = [] {
    std::unordered_multimap<char32_t, char32_t> m;
    for (char32_t c = 0; c <= text::kLastCased; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF)
        continue;
      const char32_t l = text::lowerCodePoint(c);
      if (l != c)
        m.emplace(l, c);
    }
    return m;
  }();
  return map;
}

Form formOf(char32_t c) {
  Form f;
  f.len = std::uint8_t(utf8::encode(c, f.bytes));
  return f;
}

// A rough weight of how often a byte occurs in web pages, scripts and Chinese text;
// the probes go to the signature's rarest bytes.
int byteWeight(std::uint8_t b) {
  static const auto table = [] {
    std::array<int, 256> w{};
    for (int i = 0; i < 256; ++i)
      w[i] = 10;
    for (int i = 0x21; i < 0x7F; ++i)
      w[i] = 40;  // punctuation
    for (int i = 'A'; i <= 'Z'; ++i)
      w[i] = 70;
    for (int i = 'a'; i <= 'z'; ++i)
      w[i] = 160;
    for (int i = '0'; i <= '9'; ++i)
      w[i] = 110;
    for (int i = 0x80; i <= 0xFE; ++i)
      w[i] = 90;
    for (const char* p = "etaoinsr"; *p; ++p)
      w[std::uint8_t(*p)] = 210;
    for (const char* p = "ldchupm"; *p; ++p)
      w[std::uint8_t(*p)] = 185;
    for (const char* p = "kxjqz"; *p; ++p)
      w[std::uint8_t(*p)] = 70;
    for (const char* p = "<>\"/=.\r\n"; *p; ++p)
      w[std::uint8_t(*p)] = 175;
    for (const char* p = ",;:()-_'#{}"; *p; ++p)
      w[std::uint8_t(*p)] = 110;
    w[' '] = 255;
    w['\t'] = 150;
    w[0xFF] = 20;
    return w;
  }();
  return table[b];
}

// The probe for one byte position whose possible bytes are `set`, if one bit of
// difference at most tells them apart.
bool probeFor(const std::vector<std::uint8_t>& set, std::uint32_t offset, Probe& out) {
  if (set.size() == 1) {
    out = Probe{offset, 0, set[0]};
    return true;
  }
  if (set.size() == 2) {
    const std::uint8_t diff = std::uint8_t(set[0] ^ set[1]);
    if ((diff & (diff - 1)) == 0) {
      out = Probe{offset, diff, std::uint8_t(set[0] | diff)};
      return true;
    }
  }
  return false;
}

// Under the any-line-end rule an LF of the signature has the forms of every
// line break.
void lineBreakForms(const std::vector<char32_t>& chars, Forms& forms) {
  static const std::vector<Form> anyBreak{Form{{'\n'}, 1}, Form{{'\r'}, 1}, Form{{'\r', '\n'}, 2}};
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (chars[i] == U'\n')
      forms[i] = &anyBreak;
  }
}

// Each character's forms as byte strings, sorted, each once.
std::vector<std::vector<std::string>> formStrings(const Forms& all) {
  std::vector<std::vector<std::string>> out;
  const std::size_t n = std::min(all.size(), Pattern::kSetFormChars);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::vector<Form>& f = *all[i];
    std::vector<std::string> one;
    for (const Form& x : f)
      one.emplace_back(reinterpret_cast<const char*>(x.bytes), x.len);
    std::sort(one.begin(), one.end());
    one.erase(std::unique(one.begin(), one.end()), one.end());
    out.push_back(std::move(one));
  }
  return out;
}

// The fewest and most bytes an occurrence takes; false when some character
// has no form at all.
bool countBytes(Pattern& pat, const Forms& all) {
  for (const std::vector<Form>* forms : all) {
    const std::vector<Form>& f = *forms;
    if (f.empty())
      return false;
    std::uint8_t lo = 4;
    std::uint8_t hi = 1;
    for (const Form& x : f) {
      lo = std::min(lo, x.len);
      hi = std::max(hi, x.len);
    }
    pat.minBytes += lo;
    pat.maxBytes += hi;
  }
  return true;
}

// A probe and how often its bytes occur in text.
struct WeighedProbe {
  Probe probe;
  int weight;
};

// The byte positions every occurrence shares: those of the leading characters
// whose forms all have the same length. `end`: the offset after the last.
std::vector<WeighedProbe> sharedProbes(const Forms& primary, std::uint32_t& end) {
  std::vector<WeighedProbe> usable;
  std::uint32_t offset = 0;
  for (const std::vector<Form>* forms : primary) {
    const std::vector<Form>& f = *forms;
    if (f.empty())
      break;
    const std::uint8_t len = f.front().len;
    if (std::any_of(f.begin(), f.end(), [len](const Form& x) { return x.len != len; }))
      break;
    for (std::uint8_t k = 0; k < len; ++k) {
      std::vector<std::uint8_t> set;
      for (const Form& x : f) {
        if (std::find(set.begin(), set.end(), x.bytes[k]) == set.end())
          set.push_back(x.bytes[k]);
      }
      Probe pr;
      if (probeFor(set, offset + k, pr)) {
        int w = 0;
        for (std::uint8_t b : set)
          w += byteWeight(b);
        usable.push_back({pr, w});
      }
    }
    offset += len;
    if (offset >= 256)
      break;
  }
  end = offset;
  return usable;
}

// The two probes the search looks for together.
void chooseProbes(Pattern& pat, const Forms& primary) {
  std::uint32_t offset = 0;
  const std::vector<WeighedProbe> usable = sharedProbes(primary, offset);
  if (usable.empty())
    return;
  pat.useProbes = true;
  pat.a = pat.b = usable.front().probe;
  // Text that merely resembles the signature (another frame element, the same
  // tag with other attributes) shares its beginning more often than its end,
  // so the second probe counts more the farther it is from the end.
  long best = std::numeric_limits<long>::max();
  for (std::size_t i = 0; i < usable.size(); ++i) {
    for (std::size_t j = i + 1; j < usable.size(); ++j) {
      const Probe& first = usable[i].probe;
      const Probe& second = usable[j].probe;
      long score = long(usable[i].weight) * usable[j].weight;
      score += score * long(offset - 1 - second.offset) * 3 / long(offset);
      // Neighbours tend to come together ("th"), so they count a little more.
      if (second.offset - first.offset < 2)
        score += score / 4;
      if (score < best) {
        best = score;
        pat.a = first;
        pat.b = second;
      }
    }
  }
}

// A signature whose characters all have one-byte forms, none of them a lead
// byte, is confirmed byte by byte without decoding.
void confirmByBytes(Pattern& pat, const Forms& primary) {
  bool byBytes = true;
  for (std::size_t i = 0; i < primary.size() && byBytes; ++i) {
    std::vector<std::uint8_t> set;
    if (primary[i]->empty())
      byBytes = false;
    for (const Form& x : *primary[i]) {
      if (x.len != 1 || (!pat.utf8Form && gbk::isLead(x.bytes[0])))
        byBytes = false;
      set.push_back(x.bytes[0]);
    }
    Probe pr;
    if (byBytes && probeFor(set, std::uint32_t(i), pr))
      pat.bytes.push_back(pr);
    else
      byBytes = false;
  }
  if (!byBytes)
    pat.bytes.clear();
}

// A GBK form that can begin with a trail byte is confirmed only where it
// starts a character.
void markAlignment(Pattern& pat, const Forms& all) {
  for (const Form& x : *all.front()) {
    if (!pat.utf8Form && gbk::isTrail(x.bytes[0]))
      pat.checkAlignment = true;
  }
}

// `all`: every form of each character; `primary`: those the probes and the
// byte-by-byte confirmation rely on.
void build(Pattern& pat, const Forms& all, const Forms& primary, Pattern::Use use) {
  if (!countBytes(pat, all)) {
    pat.possible = false;
    return;
  }
  if (all.empty())
    return;
  if (use == Pattern::Use::SetForms) {
    pat.formChars = all.size();
    pat.forms = formStrings(all);
    pat.primaryForms = formStrings(primary);
  }
  markAlignment(pat, all);
  // A set's search finds its own candidates: no probes to choose.
  if (use != Pattern::Use::Single)
    return;
  chooseProbes(pat, primary);
  confirmByBytes(pat, primary);
  for (const Form& x : *all.front())
    pat.firstByte[x.bytes[0]] = true;
}

}  // namespace

Pattern Pattern::gbk(const QString& signature, bool anyLineEnd, Use use) {
  Pattern p;
  for (QChar c : signature)
    p.chars.push_back(c.unicode());
  Forms forms = gbkForms(signature);
  if (anyLineEnd) {
    p.anyLineEnd = true;
    lineBreakForms(p.chars, forms);
  }
  build(p, forms, forms, use);
  return p;
}

namespace {

// The signature's code points; false for a lone surrogate, no character of
// UTF-8 text, so that such a signature matches nothing.
bool codePointsOf(const QString& signature, std::vector<char32_t>& out) {
  for (qsizetype i = 0; i < signature.size(); ++i) {
    const char16_t c = signature[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < signature.size() &&
        signature[i + 1].isLowSurrogate()) {
      out.push_back(QChar::surrogateToUcs4(c, signature[i + 1].unicode()));
      ++i;
    } else if (QChar::isSurrogate(c)) {
      return false;
    } else {
      out.push_back(c);
    }
  }
  return true;
}

// A code point's forms: `mine` of its own length, `both` with those of another.
struct CodePointForms {
  std::vector<Form> mine;
  std::vector<Form> both;
  std::vector<std::pair<Probe, Probe>> odd;
};

const CodePointForms& utf8FormsOf(char32_t c) {
  // Per thread: the set's patterns are made on two.
  thread_local std::unordered_map<char32_t, CodePointForms> known;
  auto [at, fresh] = known.try_emplace(c);
  CodePointForms& f = at->second;
  if (!fresh)
    return f;
  std::vector<Form> other;
  // The character itself only if it is in lower case; then every character
  // whose lower case it is.
  const std::uint8_t ownLen = formOf(c).len;
  if (text::lowerCodePoint(c) == c)
    f.mine.push_back(formOf(c));
  auto [from, to] = upperForms().equal_range(c);
  for (auto it = from; it != to; ++it) {
    const Form x = formOf(it->second);
    (x.len == ownLen ? f.mine : other).push_back(x);
  }
  for (const Form& x : other)
    f.odd.emplace_back(Probe{0, 0, x.bytes[0]}, Probe{1, 0, x.bytes[1]});
  f.both = f.mine;
  f.both.insert(f.both.end(), other.begin(), other.end());
  return f;
}

}  // namespace

Pattern Pattern::utf8(const QString& signature, bool anyLineEnd, Use use) {
  Pattern p;
  p.utf8Form = true;
  p.anyLineEnd = anyLineEnd;
  if (!codePointsOf(signature, p.chars)) {
    p.possible = false;
    return p;
  }
  Forms all;
  Forms primary;
  all.reserve(p.chars.size());
  primary.reserve(p.chars.size());
  for (char32_t c : p.chars) {
    const CodePointForms& f = utf8FormsOf(c);
    p.odd.insert(p.odd.end(), f.odd.begin(), f.odd.end());
    all.push_back(&f.both);
    primary.push_back(&f.mine);
  }
  if (anyLineEnd) {
    lineBreakForms(p.chars, all);
    lineBreakForms(p.chars, primary);
  }
  build(p, all, primary, use);
  // Without primary forms (a character that only odd forms reach) the probes
  // would miss everything: search by first bytes instead.
  if (std::any_of(primary.begin(), primary.end(), [](const auto* f) { return f->empty(); })) {
    p.useProbes = false;
    p.bytes.clear();
  }
  return p;
}

}  // namespace scan
