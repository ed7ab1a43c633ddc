// A set's expressions from patterns' forms: the forms of two readings joined,
// and the regular expression of a member's first characters.
#include <algorithm>
#include <cstdint>

#include "scan/pattern.h"

namespace scan {

std::vector<std::vector<std::string>> Pattern::joinedForms(const Pattern* a, const Pattern* b,
                                                           bool primary, std::size_t chars) {
  auto of = [primary, chars](const Pattern* p) {
    const std::vector<std::vector<std::string>>& all = primary ? p->primaryForms : p->forms;
    return std::vector<std::vector<std::string>>(
        all.begin(), all.begin() + std::ptrdiff_t(std::min(chars, all.size())));
  };
  if (!a || !b)
    return a ? of(a) : b ? of(b) : std::vector<std::vector<std::string>>{};
  std::vector<std::vector<std::string>> forms = of(a);
  const std::vector<std::vector<std::string>> other = of(b);
  for (std::size_t i = 0; i < forms.size() && i < other.size(); ++i) {
    forms[i].insert(forms[i].end(), other[i].begin(), other[i].end());
    std::sort(forms[i].begin(), forms[i].end());
    forms[i].erase(std::unique(forms[i].begin(), forms[i].end()), forms[i].end());
  }
  return forms;
}

std::string Pattern::regexOf(const std::vector<std::vector<std::string>>& forms, std::size_t chars,
                             std::size_t* minBytes, std::size_t* maxBytes) {
  static const char* hex = "0123456789abcdef";
  // Letters and digits as they are (the expression stays short), any other
  // byte escaped.
  auto put = [](std::string& out, char c) {
    const auto byte = std::uint8_t(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
        (byte >= 'A' && byte <= 'Z')) {
      out += c;
      return;
    }
    out += "\\x";
    out += hex[byte >> 4];
    out += hex[byte & 15];
  };
  std::string out;
  *minBytes = 0;
  *maxBytes = 0;
  for (std::size_t i = 0; i < chars && i < forms.size(); ++i) {
    const std::vector<std::string>& f = forms[i];
    std::size_t lo = 4;
    std::size_t hi = 0;
    for (const std::string& x : f) {
      lo = std::min(lo, x.size());
      hi = std::max(hi, x.size());
    }
    *minBytes += lo;
    *maxBytes += hi;
    if (f.size() == 1) {
      for (char c : f.front())
        put(out, c);
      continue;
    }
    const bool single = hi == 1;
    out += single ? "[" : "(?:";
    for (std::size_t k = 0; k < f.size(); ++k) {
      if (k > 0 && !single)
        out += '|';
      for (char c : f[k])
        put(out, c);
    }
    out += single ? "]" : ")";
  }
  return out;
}

}  // namespace scan
