#include "text/declaration.h"

#include <algorithm>
#include <array>
#include <string>

namespace text {

namespace {

using Bytes = std::string_view;

// The labels of the encodings a browser knows, as the Encoding Standard lists
// them. A declaration of UTF-16 in a page is taken as UTF-8 (a page read by its
// own declaration is ASCII-compatible), as a browser's prescan takes it.
enum class Family { Utf8, Gbk, Other };

struct Label {
  Bytes name;
  Family family;
};

constexpr Family U = Family::Utf8;
constexpr Family G = Family::Gbk;
constexpr Family O = Family::Other;

// clang-format off
constexpr std::array kLabels = std::to_array<Label>({
  {"unicode-1-1-utf-8", U}, {"unicode11utf8", U}, {"unicode20utf8", U}, {"utf-8", U},
  {"utf8", U}, {"x-unicode20utf8", U},
  {"unicodefffe", U}, {"utf-16be", U}, {"csunicode", U}, {"iso-10646-ucs-2", U},
  {"ucs-2", U}, {"unicode", U}, {"unicodefeff", U}, {"utf-16", U}, {"utf-16le", U},
  {"chinese", G}, {"csgb2312", G}, {"csiso58gb231280", G}, {"gb2312", G}, {"gb_2312", G},
  {"gb_2312-80", G}, {"gbk", G}, {"iso-ir-58", G}, {"x-gbk", G}, {"gb18030", G},
  {"866", O}, {"cp866", O}, {"csibm866", O}, {"ibm866", O},
  {"csisolatin2", O}, {"iso-8859-2", O}, {"iso-ir-101", O}, {"iso8859-2", O}, {"iso88592", O},
  {"iso_8859-2", O}, {"iso_8859-2:1987", O}, {"l2", O}, {"latin2", O},
  {"csisolatin3", O}, {"iso-8859-3", O}, {"iso-ir-109", O}, {"iso8859-3", O}, {"iso88593", O},
  {"iso_8859-3", O}, {"iso_8859-3:1988", O}, {"l3", O}, {"latin3", O},
  {"csisolatin4", O}, {"iso-8859-4", O}, {"iso-ir-110", O}, {"iso8859-4", O}, {"iso88594", O},
  {"iso_8859-4", O}, {"iso_8859-4:1988", O}, {"l4", O}, {"latin4", O},
  {"csisolatincyrillic", O}, {"cyrillic", O}, {"iso-8859-5", O}, {"iso-ir-144", O},
  {"iso8859-5", O}, {"iso88595", O}, {"iso_8859-5", O}, {"iso_8859-5:1988", O},
  {"arabic", O}, {"asmo-708", O}, {"csiso88596e", O}, {"csiso88596i", O},
  {"csisolatinarabic", O}, {"ecma-114", O}, {"iso-8859-6", O}, {"iso-8859-6-e", O},
  {"iso-8859-6-i", O}, {"iso-ir-127", O}, {"iso8859-6", O}, {"iso88596", O}, {"iso_8859-6", O},
  {"iso_8859-6:1987", O},
  {"csisolatingreek", O}, {"ecma-118", O}, {"elot_928", O}, {"greek", O}, {"greek8", O},
  {"iso-8859-7", O}, {"iso-ir-126", O}, {"iso8859-7", O}, {"iso88597", O}, {"iso_8859-7", O},
  {"iso_8859-7:1987", O}, {"sun_eu_greek", O},
  {"csiso88598e", O}, {"csisolatinhebrew", O}, {"hebrew", O}, {"iso-8859-8", O},
  {"iso-8859-8-e", O}, {"iso-ir-138", O}, {"iso8859-8", O}, {"iso88598", O}, {"iso_8859-8", O},
  {"iso_8859-8:1988", O}, {"visual", O}, {"csiso88598i", O}, {"iso-8859-8-i", O},
  {"logical", O},
  {"csisolatin6", O}, {"iso-8859-10", O}, {"iso-ir-157", O}, {"iso8859-10", O},
  {"iso885910", O}, {"l6", O}, {"latin6", O},
  {"iso-8859-13", O}, {"iso8859-13", O}, {"iso885913", O},
  {"iso-8859-14", O}, {"iso8859-14", O}, {"iso885914", O},
  {"csisolatin9", O}, {"iso-8859-15", O}, {"iso8859-15", O}, {"iso885915", O},
  {"iso_8859-15", O}, {"l9", O}, {"iso-8859-16", O},
  {"cskoi8r", O}, {"koi", O}, {"koi8", O}, {"koi8-r", O}, {"koi8_r", O}, {"koi8-ru", O},
  {"koi8-u", O},
  {"csmacintosh", O}, {"mac", O}, {"macintosh", O}, {"x-mac-roman", O},
  {"dos-874", O}, {"iso-8859-11", O}, {"iso8859-11", O}, {"iso885911", O}, {"tis-620", O},
  {"windows-874", O},
  {"cp1250", O}, {"windows-1250", O}, {"x-cp1250", O}, {"cp1251", O}, {"windows-1251", O},
  {"x-cp1251", O},
  {"ansi_x3.4-1968", O}, {"ascii", O}, {"cp1252", O}, {"cp819", O}, {"csisolatin1", O},
  {"ibm819", O}, {"iso-8859-1", O}, {"iso-ir-100", O}, {"iso8859-1", O}, {"iso88591", O},
  {"iso_8859-1", O}, {"iso_8859-1:1987", O}, {"l1", O}, {"latin1", O}, {"us-ascii", O},
  {"windows-1252", O}, {"x-cp1252", O},
  {"cp1253", O}, {"windows-1253", O}, {"x-cp1253", O},
  {"cp1254", O}, {"csisolatin5", O}, {"iso-8859-9", O}, {"iso-ir-148", O}, {"iso8859-9", O},
  {"iso88599", O}, {"iso_8859-9", O}, {"iso_8859-9:1989", O}, {"l5", O}, {"latin5", O},
  {"windows-1254", O}, {"x-cp1254", O},
  {"cp1255", O}, {"windows-1255", O}, {"x-cp1255", O}, {"cp1256", O}, {"windows-1256", O},
  {"x-cp1256", O}, {"cp1257", O}, {"windows-1257", O}, {"x-cp1257", O}, {"cp1258", O},
  {"windows-1258", O}, {"x-cp1258", O},
  {"x-mac-cyrillic", O}, {"x-mac-ukrainian", O},
  {"big5", O}, {"big5-hkscs", O}, {"cn-big5", O}, {"csbig5", O}, {"x-x-big5", O},
  {"cseucpkdfmtjapanese", O}, {"euc-jp", O}, {"x-euc-jp", O},
  {"csiso2022jp", O}, {"iso-2022-jp", O},
  {"csshiftjis", O}, {"ms932", O}, {"ms_kanji", O}, {"shift-jis", O}, {"shift_jis", O},
  {"sjis", O}, {"windows-31j", O}, {"x-sjis", O},
  {"cseuckr", O}, {"csksc56011987", O}, {"euc-kr", O}, {"iso-ir-149", O}, {"korean", O},
  {"ks_c_5601-1987", O}, {"ks_c_5601-1989", O}, {"ksc5601", O}, {"ksc_5601", O},
  {"windows-949", O},
  {"csiso2022kr", O}, {"hz-gb-2312", O}, {"iso-2022-cn", O}, {"iso-2022-cn-ext", O},
  {"iso-2022-kr", O}, {"replacement", O}, {"x-user-defined", O},
});
// clang-format on

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Whether `s` at `at` begins with `word` (lower case), ignoring ASCII case.
bool startsWith(Bytes s, std::size_t at, Bytes word) {
  if (s.size() - std::min(at, s.size()) < word.size())
    return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lower(s[at + i]) != word[i])
      return false;
  }
  return true;
}

// What a label names: its family, or nothing when it is no label.
const Label* labelNamed(Bytes value) {
  while (!value.empty() && isSpace(value.front()))
    value.remove_prefix(1);
  while (!value.empty() && isSpace(value.back()))
    value.remove_suffix(1);
  for (const Label& l : kLabels) {
    if (l.name.size() == value.size() && startsWith(value, 0, l.name))
      return &l;
  }
  return nullptr;
}

// A declaration found: the reading it gives, or its label when Tervane does
// not read that encoding. Nothing for no label at all.
std::optional<HeadReading> declared(Bytes value) {
  const Label* l = labelNamed(value);
  if (!l)
    return std::nullopt;
  HeadReading r;
  r.decider = Decider::Declaration;
  if (l->family == Family::Other) {
    r.decider = Decider::Count;
    r.unreadLabel = QByteArray(l->name.data(), qsizetype(l->name.size()));
  } else {
    r.encoding = l->family == Family::Utf8 ? Encoding::Utf8 : Encoding::Gbk;
  }
  return r;
}

// The browser's prescan of a page's first bytes, reduced to what decides a
// reading: tags are skipped attribute by attribute, so that a "<meta" inside
// another tag's attribute value or a comment is not taken.
class Prescan {
 public:
  explicit Prescan(Bytes s) : s_(s) {}

  std::optional<HeadReading> run() {
    while (pos_ < s_.size()) {
      // Only a '<' begins anything the prescan looks at.
      pos_ = s_.find('<', pos_);
      if (pos_ == Bytes::npos)
        return std::nullopt;
      if (startsWith(s_, pos_, "<!--")) {
        // The end of the comment: "-->" that ends after "<!--".
        const std::size_t end = s_.find("-->", pos_ + 2);
        if (end == Bytes::npos)
          return std::nullopt;
        pos_ = end + 3;
      } else if (startsWith(s_, pos_, "<meta") && pos_ + 5 < s_.size() &&
                 (isSpace(s_[pos_ + 5]) || s_[pos_ + 5] == '/')) {
        pos_ += 6;
        if (std::optional<HeadReading> r = meta())
          return r;
      } else if (s_[pos_] == '<' && pos_ + 1 < s_.size() &&
                 (isLetter(s_[pos_ + 1]) ||
                  (s_[pos_ + 1] == '/' && pos_ + 2 < s_.size() && isLetter(s_[pos_ + 2])))) {
        skipTag();
      } else if (startsWith(s_, pos_, "<!") || startsWith(s_, pos_, "</") ||
                 startsWith(s_, pos_, "<?")) {
        const std::size_t end = s_.find('>', pos_ + 2);
        if (end == Bytes::npos)
          return std::nullopt;
        pos_ = end + 1;
      } else {
        ++pos_;
      }
    }
    return std::nullopt;
  }

 private:
  struct Attribute {
    std::string name;
    std::string value;
  };

  static bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

  void skipTag() {
    while (pos_ < s_.size() && !isSpace(s_[pos_]) && s_[pos_] != '>')
      ++pos_;
    while (attribute()) {
    }
  }

  // The charset of a meta tag's content attribute ("text/html; charset=gbk").
  static std::optional<std::string> charsetOfContent(const std::string& v) {
    for (std::size_t at = 0;;) {
      at = v.find("charset", at);
      if (at == std::string::npos)
        return std::nullopt;
      at += 7;
      while (at < v.size() && isSpace(v[at]))
        ++at;
      if (at >= v.size() || v[at] != '=')
        continue;
      ++at;
      while (at < v.size() && isSpace(v[at]))
        ++at;
      if (at >= v.size())
        return std::nullopt;
      if (v[at] == '"' || v[at] == '\'') {
        const std::size_t end = v.find(v[at], at + 1);
        if (end == std::string::npos)
          return std::nullopt;
        return v.substr(at + 1, end - at - 1);
      }
      std::size_t end = at;
      while (end < v.size() && !isSpace(v[end]) && v[end] != ';')
        ++end;
      return v.substr(at, end - at);
    }
  }

  std::optional<HeadReading> meta() {
    bool gotPragma = false;
    std::optional<bool> needPragma;
    std::optional<HeadReading> charset;
    bool seenHttpEquiv = false;
    bool seenContent = false;
    bool seenCharset = false;
    while (std::optional<Attribute> a = attribute()) {
      if (a->name == "http-equiv" && !seenHttpEquiv) {
        seenHttpEquiv = true;
        gotPragma = gotPragma || a->value == "content-type";
      } else if (a->name == "content" && !seenContent) {
        seenContent = true;
        if (!charset) {
          if (std::optional<std::string> v = charsetOfContent(a->value)) {
            charset = declared(*v);
            needPragma = true;
          }
        }
      } else if (a->name == "charset" && !seenCharset) {
        seenCharset = true;
        charset = declared(a->value);
        needPragma = false;
      }
    }
    if (!needPragma || (*needPragma && !gotPragma))
      return std::nullopt;
    return charset;
  }

  // The next attribute of a tag, lower-cased, or nothing at the tag's end.
  std::optional<Attribute> attribute() {
    while (pos_ < s_.size() && (isSpace(s_[pos_]) || s_[pos_] == '/'))
      ++pos_;
    if (pos_ >= s_.size() || s_[pos_] == '>')
      return std::nullopt;
    Attribute a;
    for (;; ++pos_) {
      if (pos_ >= s_.size())
        return std::nullopt;
      const char c = s_[pos_];
      if (c == '=' && !a.name.empty()) {
        ++pos_;
        break;
      }
      if (isSpace(c)) {
        while (pos_ < s_.size() && isSpace(s_[pos_]))
          ++pos_;
        if (pos_ >= s_.size() || s_[pos_] != '=')
          return a;
        ++pos_;
        break;
      }
      if (c == '/' || c == '>')
        return a;
      a.name += lower(c);
    }
    while (pos_ < s_.size() && isSpace(s_[pos_]))
      ++pos_;
    if (pos_ >= s_.size())
      return std::nullopt;
    if (const char q = s_[pos_]; q == '"' || q == '\'') {
      for (++pos_;; ++pos_) {
        if (pos_ >= s_.size())
          return std::nullopt;
        if (s_[pos_] == q) {
          ++pos_;
          return a;
        }
        a.value += lower(s_[pos_]);
      }
    }
    if (s_[pos_] == '>')
      return a;
    for (; pos_ < s_.size(); ++pos_) {
      if (isSpace(s_[pos_]) || s_[pos_] == '>')
        return a;
      a.value += lower(s_[pos_]);
    }
    return std::nullopt;
  }

  Bytes s_;
  std::size_t pos_ = 0;
};

// `<?xml version="1.0" encoding="gbk"?>` or `@charset "gbk";` at the very start.
std::optional<HeadReading> leadingDeclaration(Bytes s) {
  if (s.starts_with("@charset \"")) {
    const std::size_t end = s.find("\";", 10);
    return end == Bytes::npos ? std::nullopt : declared(s.substr(10, end - 10));
  }
  if (!s.starts_with("<?xml"))
    return std::nullopt;
  const std::size_t close = s.find("?>");
  if (close == Bytes::npos)
    return std::nullopt;
  const Bytes decl = s.substr(0, close);
  std::size_t at = decl.find("encoding");
  if (at == Bytes::npos)
    return std::nullopt;
  at += 8;
  while (at < decl.size() && isSpace(decl[at]))
    ++at;
  if (at >= decl.size() || decl[at] != '=')
    return std::nullopt;
  ++at;
  while (at < decl.size() && isSpace(decl[at]))
    ++at;
  if (at >= decl.size() || (decl[at] != '"' && decl[at] != '\''))
    return std::nullopt;
  const std::size_t end = decl.find(decl[at], at + 1);
  return end == Bytes::npos ? std::nullopt : declared(decl.substr(at + 1, end - at - 1));
}

}  // namespace

std::optional<HeadReading> declaredReading(std::string_view head) {
  if (std::optional<HeadReading> r = leadingDeclaration(head))
    return r;
  return Prescan(head).run();
}

}  // namespace text
