// A built set as bytes, for the set cache: what the build costs (the
// Hyperscan databases, the expressions, the patterns kept for the
// confirmation), read back without building. Every count and index is checked
// on the way in, so that an image that is not one of this set is refused, never
// half used.
#include <QCryptographicHash>
#include <QDataStream>
#include <QIODevice>
#include <QSysInfo>

#include <hs/hs.h>

#include <cstdlib>
#include <unordered_map>

#include "scan/pattern.h"
#include "scan/signaturesetmatch.h"

namespace scan {

namespace {

// Raised whenever the build or the image changes what it makes: an image of
// another format is then built anew.
constexpr quint32 kImageFormat = 1;
constexpr char kImageMagic[] = "tervane built set";

QByteArray platformName() {
  hs_platform_info_t p{};
  hs_populate_platform(&p);
  return QSysInfo::buildAbi().toUtf8() + ' ' + QByteArray::number(p.tune) + ' ' +
         QByteArray::number(p.cpu_features);
}

class Writer {
 public:
  explicit Writer(QByteArray* out) : s_(out, QIODevice::WriteOnly) {
    s_.setVersion(QDataStream::Qt_6_0);
  }
  void n(quint64 v) { s_ << v; }
  void flag(bool v) { s_ << quint8(v); }
  void bytes(const QByteArray& b) { s_ << b; }
  void probe(const bytesearch::Probe& p) { s_ << p.offset << p.mask << p.value; }
  // A character of a pattern as a varint: most are ASCII, one byte each.
  void character(char32_t c) {
    quint32 v = c;
    do {
      s_ << quint8((v & 0x7F) | (v > 0x7F ? 0x80 : 0));
      v >>= 7;
    } while (v != 0);
  }

 private:
  QDataStream s_;
};

class Reader {
 public:
  explicit Reader(const QByteArray& in) : s_(in), size_(quint64(in.size())) {
    s_.setVersion(QDataStream::Qt_6_0);
  }
  bool ok() const { return s_.status() == QDataStream::Ok; }
  bool atEnd() const { return ok() && s_.atEnd(); }
  quint64 n() {
    quint64 v = 0;
    s_ >> v;
    return v;
  }
  // A count of things of at least one byte each: never more than the image holds.
  std::size_t count() {
    const quint64 v = n();
    if (v > size_) {
      s_.setStatus(QDataStream::ReadCorruptData);
      return 0;
    }
    return std::size_t(v);
  }
  bool flag() {
    quint8 v = 0;
    s_ >> v;
    if (v > 1)
      s_.setStatus(QDataStream::ReadCorruptData);
    return v == 1;
  }
  QByteArray bytes() {
    QByteArray b;
    s_ >> b;
    return b;
  }
  bytesearch::Probe probe() {
    bytesearch::Probe p;
    s_ >> p.offset >> p.mask >> p.value;
    return p;
  }
  char32_t character() {
    quint32 v = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      quint8 b = 0;
      s_ >> b;
      v |= quint32(b & 0x7F) << shift;
      if (!(b & 0x80))
        return v <= 0x10FFFF ? v : 0;
    }
    s_.setStatus(QDataStream::ReadCorruptData);
    return 0;
  }

 private:
  QDataStream s_;
  quint64 size_;
};

void writePattern(Writer& w, const Pattern& p) {
  for (const bool f :
       {p.utf8Form, p.anyLineEnd, p.beginsWithLineBreak, p.possible, p.useProbes, p.checkAlignment})
    w.flag(f);
  w.n(p.minBytes);
  w.n(p.maxBytes);
  w.probe(p.a);
  w.probe(p.b);
  QByteArray first(32, '\0');
  for (std::size_t i = 0; i < 256; ++i) {
    if (p.firstByte[i])
      first[qsizetype(i / 8)] = char(first[qsizetype(i / 8)] | (1 << (i % 8)));
  }
  w.bytes(first);
  w.n(p.bytes.size());
  for (const bytesearch::Probe& b : p.bytes)
    w.probe(b);
  w.n(p.chars.size());
  for (const char32_t c : p.chars)
    w.character(c);
  w.n(p.odd.size());
  for (const auto& [a, b] : p.odd) {
    w.probe(a);
    w.probe(b);
  }
  w.n(p.formChars);
}

Pattern readPattern(Reader& r) {
  Pattern p;
  for (bool* f : {&p.utf8Form, &p.anyLineEnd, &p.beginsWithLineBreak, &p.possible, &p.useProbes,
                  &p.checkAlignment})
    *f = r.flag();
  p.minBytes = std::size_t(r.n());
  p.maxBytes = std::size_t(r.n());
  p.a = r.probe();
  p.b = r.probe();
  const QByteArray first = r.bytes();
  if (first.size() == 32) {
    for (std::size_t i = 0; i < 256; ++i)
      p.firstByte[i] = (first[qsizetype(i / 8)] >> (i % 8)) & 1;
  } else {
    p.possible = false;
  }
  p.bytes.resize(r.count());
  for (bytesearch::Probe& b : p.bytes)
    b = r.probe();
  p.chars.resize(r.count());
  for (char32_t& c : p.chars)
    c = r.character();
  p.odd.resize(r.count());
  for (auto& [a, b] : p.odd) {
    a = r.probe();
    b = r.probe();
  }
  p.formChars = std::size_t(r.n());
  return p;
}

QByteArray serialized(const hs_database_t* db) {
  if (!db)
    return {};
  char* bytes = nullptr;
  std::size_t len = 0;
  if (hs_serialize_database(db, &bytes, &len) != HS_SUCCESS)
    return {};
  QByteArray out(bytes, qsizetype(len));
  std::free(bytes);
  return out;
}

// Null for no bytes; false when the bytes are no database Hyperscan takes here.
bool readDatabase(const QByteArray& bytes, hs_database_t** db) {
  *db = nullptr;
  if (bytes.isEmpty())
    return true;
  if (hs_deserialize_database(bytes.constData(), std::size_t(bytes.size()), db) != HS_SUCCESS) {
    *db = nullptr;
    return false;
  }
  return true;
}

}  // namespace

QByteArray SetMatcher::storeKey(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                                text::LineEnds lineEnds) {
  QCryptographicHash h(QCryptographicHash::Sha256);
  QByteArray head;
  {
    Writer w(&head);
    w.bytes(kImageMagic);
    w.n(kImageFormat);
    w.bytes(hs_version());
    w.bytes(platformName());
    w.n(quint64(encoding));
    w.n(quint64(lineEnds));
    w.n(signatureTexts.size());
  }
  h.addData(head);
  for (const QString& t : signatureTexts) {
    const quint64 units = quint64(t.size());
    h.addData(QByteArrayView(reinterpret_cast<const char*>(&units), sizeof units));
    h.addData(QByteArrayView(reinterpret_cast<const char*>(t.utf16()), t.size() * 2));
  }
  return h.result().toHex();
}

QByteArray SetMatcher::image() const {
  QByteArray out;
  Writer w(&out);
  w.bytes(kImageMagic);
  w.n(kImageFormat);
  w.bytes(hs_version());
  w.n(members_);
  w.n(need_);
  std::unordered_map<const Pattern*, quint64> index;
  w.n(patterns_.size());
  for (const std::unique_ptr<Pattern>& p : patterns_) {
    index.emplace(p.get(), index.size() + 1);
    writePattern(w, *p);
  }
  w.n(expressions_.size());
  for (const Expression& e : expressions_) {
    w.n(e.member);
    w.n(e.gbkForm ? index.at(e.gbkForm) : 0);
    w.n(e.utf8Form ? index.at(e.utf8Form) : 0);
    w.n(e.minBytes);
    w.n(e.maxBytes);
    w.n(e.wholeMaxBytes);
  }
  w.n(oddFirst_);
  w.n(oddRegexes_.size());
  for (const std::string& r : oddRegexes_)
    w.bytes(QByteArray::fromStdString(r));
  w.n(oddPrefixes_.size());
  for (const auto& [a, b] : oddPrefixes_) {
    w.probe(a);
    w.probe(b);
  }
  w.bytes(serialized(db_));
  w.bytes(serialized(literalDb_));
  return out;
}

std::unique_ptr<SetMatcher> SetMatcher::fromImage(const std::vector<QString>& signatureTexts,
                                                  text::Encoding encoding, text::LineEnds lineEnds,
                                                  QByteArrayView image) {
  std::unique_ptr<SetMatcher> m(new SetMatcher(signatureTexts, encoding, lineEnds, Unbuilt{}));
  if (!m->readImage(image))
    return nullptr;
  return m;
}

bool SetMatcher::readImage(QByteArrayView image) {
  const QByteArray bytes = QByteArray::fromRawData(image.data(), image.size());
  Reader r(bytes);
  if (r.bytes() != kImageMagic || r.n() != kImageFormat || r.bytes() != hs_version() ||
      r.n() != members_)
    return false;
  need_ = std::size_t(r.n());
  patterns_.resize(r.count());
  for (std::unique_ptr<Pattern>& p : patterns_)
    p = std::make_unique<Pattern>(readPattern(r));
  expressions_.resize(r.count());
  const auto pattern = [&](quint64 i) -> const Pattern* {
    return i > 0 && i <= patterns_.size() ? patterns_[std::size_t(i - 1)].get() : nullptr;
  };
  for (Expression& e : expressions_) {
    const quint64 member = r.n();
    const quint64 gbk = r.n();
    const quint64 utf8 = r.n();
    e = Expression{std::uint32_t(member), pattern(gbk),       pattern(utf8),
                   std::size_t(r.n()),    std::size_t(r.n()), std::size_t(r.n())};
    // Each index names what is there, and the bytes kept cover every candidate.
    if (member >= members_ || (gbk != 0 && !e.gbkForm) || (utf8 != 0 && !e.utf8Form) ||
        (!e.gbkForm && !e.utf8Form) || e.minBytes > e.maxBytes ||
        need_ < e.wholeMaxBytes + (e.maxBytes - e.minBytes) + 1)
      return false;
  }
  oddFirst_ = std::size_t(r.n());
  oddRegexes_.resize(r.count());
  for (std::string& x : oddRegexes_)
    x = r.bytes().toStdString();
  oddPrefixes_.resize(r.count());
  for (auto& [a, b] : oddPrefixes_) {
    a = r.probe();
    b = r.probe();
  }
  if (oddFirst_ + oddRegexes_.size() != expressions_.size())
    return false;
  const QByteArray regexBytes = r.bytes();
  const QByteArray literalBytes = r.bytes();
  if (!r.atEnd())
    return false;
  return readDatabase(regexBytes, &db_) && readDatabase(literalBytes, &literalDb_);
}

}  // namespace scan
