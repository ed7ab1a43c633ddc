// A built set kept: shared by the commands of one process, and as bytes in
// the set cache between processes (what the build costs: the Hyperscan
// databases and the expressions), read back without building. Every count and index is
// checked on the way in, so that an image that is not one of this set is refused, never half used.
#include <QDataStream>
#include <QIODevice>
#include <QSysInfo>

#include <hs/hs.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/sha256.h"
#include "scan/signaturesetmatch.h"

namespace scan {

namespace {

// Raised whenever the build or the image changes what it makes: an image of
// another format is then built anew.
constexpr quint32 kImageFormat = 3;
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

 private:
  QDataStream s_;
  quint64 size_;
};

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

namespace {

// The last set shared(), and where sets are kept.
std::mutex sharedLock;
std::vector<QString> lastSignatureTexts;  // may view the holder `last` keeps
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
  lastSignatureTexts.clear();
}

std::shared_ptr<const SetMatcher> SetMatcher::shared(const std::vector<QString>& signatureTexts,
                                                     text::Encoding encoding,
                                                     text::LineEnds lineEnds,
                                                     const QString& holder) {
  const std::lock_guard<std::mutex> hold(sharedLock);
  if (!last || lastEncoding != encoding || lastLineEnds != lineEnds ||
      lastSignatureTexts != signatureTexts) {
    last.reset();  // one compiled set at a time
    lastSignatureTexts.clear();
    std::unique_ptr<SetMatcher> made;
    QByteArray key;
    // No key (the hash failed): no store.
    if (builtSets)
      key = storeKey(signatureTexts, encoding, lineEnds);
    if (!key.isEmpty()) {
      if (const QByteArray image = builtSets->load(key); !image.isEmpty())
        made = fromImage(signatureTexts, encoding, lineEnds, image);
    }
    if (!made) {
      made = std::make_unique<SetMatcher>(signatureTexts, encoding, lineEnds);
      // A set the search cannot take is said again each time, never kept.
      if (!key.isEmpty() && made->error().isEmpty())
        builtSets->save(key, made->image());
    }
    made->holder_ = holder;
    last = std::move(made);
    lastSignatureTexts = signatureTexts;
    lastEncoding = encoding;
    lastLineEnds = lineEnds;
  }
  return last;
}

QByteArray SetMatcher::storeKey(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                                text::LineEnds lineEnds) {
  platform::Sha256 h;
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
  h.add(head);
  for (const QString& t : signatureTexts) {
    const quint64 units = quint64(t.size());
    h.add(QByteArrayView(reinterpret_cast<const char*>(&units), sizeof units));
    // constData(), not utf16(): that would copy a text viewing another's
    // characters, to end it with a zero.
    h.add(QByteArrayView(reinterpret_cast<const char*>(t.constData()), t.size() * 2));
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
  w.n(expressions_.size());
  for (const Expression& e : expressions_) {
    w.n(e.member);
    w.flag(e.gbk);
    w.flag(e.utf8);
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
  for (const hs_database* literal : literalDbs_)
    w.bytes(serialized(literal));
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
  expressions_.resize(r.count());
  for (Expression& e : expressions_) {
    const quint64 member = r.n();
    const bool gbk = r.flag();
    const bool utf8 = r.flag();
    e = Expression{std::uint32_t(member), gbk, utf8, std::size_t(r.n()), std::size_t(r.n()),
                   std::size_t(r.n())};
    // Each names a member and a reading the set searches, and the bytes kept
    // cover every candidate.
    if (member >= members_ || (!gbk && !utf8) || (gbk && encoding_ == text::Encoding::Utf8) ||
        (utf8 && encoding_ == text::Encoding::Gbk) || e.minBytes > e.maxBytes ||
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
  const QByteArray laterLiteralBytes = r.bytes();
  // A second half without a first is no image this build writes.
  if (!r.atEnd() || (literalBytes.isEmpty() && !laterLiteralBytes.isEmpty()))
    return false;
  return readDatabase(regexBytes, &db_) && readDatabase(literalBytes, &literalDbs_[0]) &&
         readDatabase(laterLiteralBytes, &literalDbs_[1]);
}

}  // namespace scan
