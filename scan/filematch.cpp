#include "scan/filematch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "platform/fd.h"
#include "text/gbk.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TERVANE_X86 1
#endif

namespace scan {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

using Probe = SignatureMatcher::Probe;

// One byte form of one signature character: 1 or 2 bytes that decode to it.
struct Form {
  std::uint8_t bytes[2] = {0, 0};
  std::uint8_t len = 0;
};

// Every byte form of each character of `gjz`, taken from the decoder's own tables,
// lower-cased as the content is: "a" has the forms 61 and 41, "ａ" has A3E1 and
// A3C1, "中" has D6D0. A lead byte alone is a form of its invalid-byte character.
std::vector<std::vector<Form>> formsOf(const QString& gjz) {
  const gbk::Tables& t = gbk::tables();
  std::vector<bool> wanted(0x10000, false);
  for (QChar c : gjz)
    wanted[c.unicode()] = true;
  std::unordered_map<char16_t, std::vector<Form>> byChar;
  for (int b = 0; b < 256; ++b) {
    const char16_t c = t.singleLower[b];
    if (wanted[c])
      byChar[c].push_back(Form{{std::uint8_t(b), 0}, 1});
  }
  for (int l = 0x81; l <= 0xFE; ++l) {
    for (int tr = 0x40; tr <= 0xFE; ++tr) {
      if (!gbk::isTrail(std::uint8_t(tr)))
        continue;
      const char16_t c = t.pairLower[l - 0x81][tr - 0x40];
      if (wanted[c])
        byChar[c].push_back(Form{{std::uint8_t(l), std::uint8_t(tr)}, 2});
    }
  }
  std::vector<std::vector<Form>> forms;
  forms.reserve(std::size_t(gjz.size()));
  for (QChar c : gjz)
    forms.push_back(byChar[c.unicode()]);
  return forms;
}

// A rough weight of how often a byte occurs in web pages, scripts and GBK text;
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

inline bool fits(std::uint8_t b, const Probe& p) {
  return std::uint8_t(b | p.mask) == p.value;
}

// The next position s in [s, last] where both probes fit, or kNone. Reads up to
// p[last + the larger probe offset].
std::size_t findScalar(const std::uint8_t* p, std::size_t s, std::size_t last, Probe a, Probe b) {
  for (; s <= last; ++s) {
    if (fits(p[s + a.offset], a) && fits(p[s + b.offset], b))
      return s;
  }
  return kNone;
}

#ifdef TERVANE_X86
std::size_t findSse2(const std::uint8_t* p, std::size_t s, std::size_t last, Probe a, Probe b) {
  const __m128i am = _mm_set1_epi8(char(a.mask));
  const __m128i av = _mm_set1_epi8(char(a.value));
  const __m128i bm = _mm_set1_epi8(char(b.mask));
  const __m128i bv = _mm_set1_epi8(char(b.value));
  for (; s + 16 <= last + 1; s += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + s + a.offset));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + s + b.offset));
    const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(x, am), av),
                                      _mm_cmpeq_epi8(_mm_or_si128(y, bm), bv));
    const unsigned bits = unsigned(_mm_movemask_epi8(hit));
    if (bits != 0)
      return s + std::size_t(__builtin_ctz(bits));
  }
  return findScalar(p, s, last, a, b);
}

__attribute__((target("avx2"), always_inline)) inline __m256i avx2Hits(const std::uint8_t* at,
                                                                       Probe a, Probe b, __m256i am,
                                                                       __m256i av, __m256i bm,
                                                                       __m256i bv) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + a.offset));
  const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + b.offset));
  return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(x, am), av),
                          _mm256_cmpeq_epi8(_mm256_or_si256(y, bm), bv));
}

__attribute__((target("avx2"))) std::size_t findAvx2(const std::uint8_t* p, std::size_t s,
                                                     std::size_t last, Probe a, Probe b) {
  const __m256i am = _mm256_set1_epi8(char(a.mask));
  const __m256i av = _mm256_set1_epi8(char(a.value));
  const __m256i bm = _mm256_set1_epi8(char(b.mask));
  const __m256i bv = _mm256_set1_epi8(char(b.value));
  for (; s + 64 <= last + 1; s += 64) {
    const __m256i h0 = avx2Hits(p + s, a, b, am, av, bm, bv);
    const __m256i h1 = avx2Hits(p + (s + 32), a, b, am, av, bm, bv);
    const __m256i any = _mm256_or_si256(h0, h1);
    if (!_mm256_testz_si256(any, any)) {
      const std::uint64_t bits = std::uint64_t(std::uint32_t(_mm256_movemask_epi8(h0))) |
                                 (std::uint64_t(std::uint32_t(_mm256_movemask_epi8(h1))) << 32);
      return s + std::size_t(__builtin_ctzll(bits));
    }
  }
  for (; s + 32 <= last + 1; s += 32) {
    const std::uint32_t bits =
        std::uint32_t(_mm256_movemask_epi8(avx2Hits(p + s, a, b, am, av, bm, bv)));
    if (bits != 0)
      return s + std::size_t(__builtin_ctz(bits));
  }
  return findScalar(p, s, last, a, b);
}

// Both probes of 64 positions: the second compare runs under the first's mask.
__attribute__((target("avx512bw"), always_inline)) inline __mmask64 avx512Hits(
    const std::uint8_t* pa, const std::uint8_t* pb, __m512i am, __m512i av, __m512i bm,
    __m512i bv) {
  const __mmask64 ha = _mm512_cmpeq_epi8_mask(_mm512_or_si512(_mm512_loadu_si512(pa), am), av);
  return _mm512_mask_cmpeq_epi8_mask(ha, _mm512_or_si512(_mm512_loadu_si512(pb), bm), bv);
}

__attribute__((target("avx512bw"))) std::size_t findAvx512(const std::uint8_t* p, std::size_t s,
                                                           std::size_t last, Probe a, Probe b) {
  const __m512i am = _mm512_set1_epi8(char(a.mask));
  const __m512i av = _mm512_set1_epi8(char(a.value));
  const __m512i bm = _mm512_set1_epi8(char(b.mask));
  const __m512i bv = _mm512_set1_epi8(char(b.value));
  const std::uint8_t* pa = p + a.offset;
  const std::uint8_t* pb = p + b.offset;
  for (; s + 128 <= last + 1; s += 128) {
    const __mmask64 h0 = avx512Hits(pa + s, pb + s, am, av, bm, bv);
    const __mmask64 h1 = avx512Hits(pa + s + 64, pb + s + 64, am, av, bm, bv);
    if ((h0 | h1) != 0) {
      return h0 != 0 ? s + std::size_t(__builtin_ctzll(h0))
                     : s + 64 + std::size_t(__builtin_ctzll(h1));
    }
  }
  for (; s + 64 <= last + 1; s += 64) {
    const __mmask64 h = avx512Hits(pa + s, pb + s, am, av, bm, bv);
    if (h != 0)
      return s + std::size_t(__builtin_ctzll(h));
  }
  return findScalar(p, s, last, a, b);
}
#endif

using FindFn = std::size_t (*)(const std::uint8_t*, std::size_t, std::size_t, Probe, Probe);
using Level = SignatureMatcher::SearchLevel;

bool supported(Level level) {
#ifdef TERVANE_X86
  __builtin_cpu_init();
  switch (level) {
    case Level::Avx512:
      return __builtin_cpu_supports("avx512bw");
    case Level::Avx2:
      return __builtin_cpu_supports("avx2");
    default:
      return true;
  }
#else
  return level == Level::Scalar;
#endif
}

FindFn findFor(Level level) {
  switch (level) {
#ifdef TERVANE_X86
    case Level::Avx512:
      return findAvx512;
    case Level::Avx2:
      return findAvx2;
    case Level::Sse2:
      return findSse2;
#endif
    default:
      return findScalar;
  }
}

Level bestLevel() {
  for (Level l : {Level::Avx512, Level::Avx2, Level::Sse2}) {
    if (supported(l))
      return l;
  }
  return Level::Scalar;
}

std::atomic<Level> level{bestLevel()};
std::atomic<FindFn> findProbes{findFor(level.load())};

// Bytes that are both lead and trail bytes: a run of them pairs up from its
// first byte, because the byte before such a run never leads.
inline bool inLeadRun(std::uint8_t b) {
  return b >= 0x81 && b <= 0xFE;
}

}  // namespace

// Searches one buffer at a time. The buffer holds the bytes kept from the last
// round (candidates that could not be decided yet) followed by new bytes.
class SignatureMatcher::Stream {
 public:
  Stream(const SignatureMatcher& m, std::uint8_t* buf) : m_(m), buf_(buf) {}

  // Bytes needed after a candidate's first byte to decide it before the end.
  static std::size_t need(const SignatureMatcher& m) { return m.maxBytes_ + 1; }

  // Searches buf[0, len); `final`: no byte follows. Returns whether the signature
  // was found. Otherwise, unless final, keeps the undecided tail at the buffer's
  // start (see kept()).
  bool scan(std::size_t len, bool final) {
    const std::size_t needed = final ? m_.minBytes_ : need(m_);
    if (len < needed || len == 0) {
      kept_ = len;
      return false;
    }
    const std::size_t last = len - needed;
    for (std::size_t s = 0; s <= last; ++s) {
      s = next(s, last);
      if (s == kNone)
        break;
      if (confirm(s, len, final))
        return true;
    }
    if (final)
      return false;
    const std::size_t drop = last + 1;
    if (m_.checkAlignment_)
      carryOdd_ = leadRunOddBefore(drop);
    std::memmove(buf_, buf_ + drop, len - drop);
    kept_ = len - drop;
    return false;
  }

  std::size_t kept() const { return kept_; }

 private:
  std::size_t next(std::size_t s, std::size_t last) const {
    if (m_.useProbes_)
      return findProbes.load(std::memory_order_relaxed)(buf_, s, last, m_.a_, m_.b_);
    for (; s <= last; ++s) {
      if (m_.firstByte_[buf_[s]])
        return s;
    }
    return kNone;
  }

  // Decodes from s as the whole-file decode would if s starts a character.
  bool confirm(std::size_t s, std::size_t len, bool final) const {
    if (!m_.pattern_.empty()) {
      // From the end: a look-alike tends to differ there.
      for (std::size_t k = m_.pattern_.size(); k-- > 0;) {
        if (!fits(buf_[s + k], m_.pattern_[k]))
          return false;
      }
      return !(m_.checkAlignment_ && gbk::isTrail(buf_[s]) && leadRunOddBefore(s));
    }
    const std::uint8_t* p = buf_ + s;
    const std::uint8_t* end = buf_ + len;
    for (QChar c : m_.gjz_) {
      if (p >= end)
        return false;
      char16_t d = 0;
      const int used = gbk::decodeOne(p, end, final, &d, true);
      if (used == 0 || d != c.unicode())
        return false;
      p += used;
    }
    return !(m_.checkAlignment_ && gbk::isTrail(buf_[s]) && leadRunOddBefore(s));
  }

  // Whether the run of lead-range bytes that ends right before `pos` has odd
  // length, that is, whether its last byte leads a character that takes buf[pos].
  bool leadRunOddBefore(std::size_t pos) const {
    std::size_t i = pos;
    while (i > 0 && inLeadRun(buf_[i - 1]))
      --i;
    bool odd = ((pos - i) & 1) != 0;
    if (i == 0)
      odd = odd != carryOdd_;
    return odd;
  }

  const SignatureMatcher& m_;
  std::uint8_t* buf_;
  std::size_t kept_ = 0;
  bool carryOdd_ = false;  // the parity of the run that ends right before buf[0]
};

SignatureMatcher::SearchLevel SignatureMatcher::searchLevel() {
  return level.load();
}

bool SignatureMatcher::setSearchLevel(SearchLevel l) {
  if (!supported(l))
    return false;
  level.store(l);
  findProbes.store(findFor(l));
  return true;
}

SignatureMatcher::SignatureMatcher(QString gjz) : gjz_(std::move(gjz)) {
  const std::vector<std::vector<Form>> forms = formsOf(gjz_);
  for (const std::vector<Form>& f : forms) {
    if (f.empty()) {
      possible_ = false;
      return;
    }
    std::uint8_t lo = 2;
    std::uint8_t hi = 1;
    for (const Form& x : f) {
      lo = std::min(lo, x.len);
      hi = std::max(hi, x.len);
    }
    minBytes_ += lo;
    maxBytes_ += hi;
  }
  if (forms.empty())
    return;

  // The byte positions every occurrence shares: those of the leading characters
  // whose forms all have the same length.
  std::vector<Probe> usable;
  std::vector<int> weight;
  std::uint32_t offset = 0;
  for (const std::vector<Form>& f : forms) {
    const std::uint8_t len = f.front().len;
    if (std::any_of(f.begin(), f.end(), [len](const Form& x) { return x.len != len; }))
      break;
    for (std::uint8_t k = 0; k < len; ++k) {
      std::vector<std::uint8_t> set;
      for (const Form& x : f) {
        if (std::find(set.begin(), set.end(), x.bytes[k]) == set.end())
          set.push_back(x.bytes[k]);
      }
      Probe p;
      if (probeFor(set, offset + k, p)) {
        usable.push_back(p);
        int w = 0;
        for (std::uint8_t b : set)
          w += byteWeight(b);
        weight.push_back(w);
      }
    }
    offset += len;
    if (offset >= 256)
      break;
  }
  if (!usable.empty()) {
    useProbes_ = true;
    a_ = b_ = usable.front();
    // Text that merely resembles the signature (another frame element, the same
    // tag with other attributes) shares its beginning more often than its end,
    // so the second probe counts more the farther it is from the end.
    long best = std::numeric_limits<long>::max();
    for (std::size_t i = 0; i < usable.size(); ++i) {
      for (std::size_t j = i + 1; j < usable.size(); ++j) {
        long score = long(weight[i]) * weight[j];
        score += score * long(offset - 1 - usable[j].offset) * 3 / long(offset);
        // Neighbours tend to come together ("th"), so they count a little more.
        if (usable[j].offset - usable[i].offset < 2)
          score += score / 4;
        if (score < best) {
          best = score;
          a_ = usable[i];
          b_ = usable[j];
        }
      }
    }
  }
  // A signature whose characters all have one-byte forms, none of them a lead
  // byte, is confirmed byte by byte without decoding.
  bool byBytes = true;
  for (std::size_t i = 0; i < forms.size() && byBytes; ++i) {
    std::vector<std::uint8_t> set;
    for (const Form& x : forms[i]) {
      if (x.len != 1 || gbk::isLead(x.bytes[0]))
        byBytes = false;
      set.push_back(x.bytes[0]);
    }
    Probe p;
    if (byBytes && probeFor(set, std::uint32_t(i), p))
      pattern_.push_back(p);
    else
      byBytes = false;
  }
  if (!byBytes)
    pattern_.clear();
  for (const Form& x : forms.front()) {
    firstByte_[x.bytes[0]] = true;
    if (gbk::isTrail(x.bytes[0]))
      checkAlignment_ = true;
  }
}

bool SignatureMatcher::matchBytes(QByteArrayView content, std::size_t chunkSize) const {
  if (gjz_.isEmpty())
    return true;
  if (!possible_)
    return false;
  if (chunkSize == 0)
    chunkSize = kReadSize;
  std::vector<std::uint8_t> buf(chunkSize + Stream::need(*this));
  Stream s(*this, buf.data());
  const auto* p = reinterpret_cast<const std::uint8_t*>(content.data());
  std::size_t left = std::size_t(content.size());
  std::size_t kept = 0;
  for (;;) {
    const std::size_t take = std::min(chunkSize, left);
    if (take > 0)
      std::memcpy(buf.data() + kept, p, take);
    p += take;
    left -= take;
    const bool final = left == 0;
    if (s.scan(kept + take, final))
      return true;
    if (final)
      return false;
    kept = s.kept();
  }
}

namespace {

// A link in the last part is not followed; a FIFO or device swapped in since the
// listing does not block the open, and fstat turns it away before any read.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

}  // namespace

MatchResult SignatureMatcher::matchFile(const QByteArray& nativePath,
                                        platform::FileIdentity* identity, ReadStats* stats) const {
  const int fd = ::open(nativePath.constData(), kOpenFlags);
  if (fd < 0) {
    if (stats)
      stats->error = errno;
    return MatchResult::Error;
  }
  return matchOpen(fd, identity, stats);
}

MatchResult SignatureMatcher::matchFileAt(int dirFd, const QByteArray& name,
                                          platform::FileIdentity* identity,
                                          ReadStats* stats) const {
  const int fd = ::openat(dirFd, name.constData(), kOpenFlags);
  if (fd < 0) {
    if (stats)
      stats->error = errno;
    return MatchResult::Error;
  }
  return matchOpen(fd, identity, stats);
}

MatchResult SignatureMatcher::matchOpen(int fd, platform::FileIdentity* identity,
                                        ReadStats* stats) const {
  ReadStats local;
  ReadStats& out = stats ? *stats : local;
  out = ReadStats{};
  struct stat st;
  const bool statted = ::fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    // A name that now leads to a FIFO or device is no file of the tree any more.
    out.error = statted ? 0 : errno;
    ::close(fd);
    return MatchResult::Error;
  }
  if (identity)
    *identity = platform::identityOf(st);
  if (gjz_.isEmpty() || !possible_) {
    ::close(fd);
    return gjz_.isEmpty() ? MatchResult::Match : MatchResult::NoMatch;
  }
  std::size_t remaining = std::size_t(st.st_size);
  if (remaining > 4 * kReadSize)
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  // One buffer per thread, reused for every file.
  thread_local std::vector<std::uint8_t> buf;
  const std::size_t size = kReadSize + Stream::need(*this);
  if (buf.size() < size)
    buf.resize(size);
  Stream s(*this, buf.data());
  std::size_t kept = 0;
  bool found = false;
  for (;;) {
    const std::size_t want = std::min(kReadSize, remaining);
    ssize_t n = 0;
    if (want > 0) {
      n = ::read(fd, buf.data() + kept, want);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        out.error = errno;
        ::close(fd);
        return MatchResult::Error;
      }
    }
    out.bytes += std::uint64_t(n);
    remaining -= std::size_t(n);
    const bool final = n == 0 || remaining == 0;
    found = s.scan(kept + std::size_t(n), final);
    if (found || final)
      break;
    kept = s.kept();
  }
  ::close(fd);
  return found ? MatchResult::Match : MatchResult::NoMatch;
}

}  // namespace scan
