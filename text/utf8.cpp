#include "text/utf8.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TERVANE_X86 1
#endif

namespace utf8 {

namespace {

// The first byte of a character: how many continuation bytes follow, and the
// range the first of them must lie in (which rules out overlong forms,
// surrogates and values above U+10FFFF). Returns false for a byte that begins
// no character.
inline bool lead(uint8_t b, int& due, uint8_t& lo, uint8_t& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    due = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    due = 2;
    if (b == 0xE0)
      lo = 0xA0;
    else if (b == 0xED)
      hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    due = 3;
    if (b == 0xF0)
      lo = 0x90;
    else if (b == 0xF4)
      hi = 0x8F;
  } else {
    return false;
  }
  return true;
}

#ifdef TERVANE_X86
bool haveAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// Validation of 32 bytes at a time by table look-ups on the high and low halves
// of each byte and of the byte before it: every error of a two-byte window sets
// a bit in all three tables, and the third and fourth bytes of long characters
// are checked by position.
constexpr uint8_t kTooShort = 1 << 0;  // a lead byte, then no continuation
constexpr uint8_t kTooLong = 1 << 1;   // ASCII, then a continuation
constexpr uint8_t kOverlong3 = 1 << 2;
constexpr uint8_t kTooLarge = 1 << 3;
constexpr uint8_t kSurrogate = 1 << 4;
constexpr uint8_t kOverlong2 = 1 << 5;
constexpr uint8_t kTooLarge1000 = 1 << 6;
constexpr uint8_t kOverlong4 = 1 << 6;
constexpr uint8_t kTwoConts = 1 << 7;  // a continuation after a continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i table(const uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

__attribute__((target("avx2"))) inline __m256i highNibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The error bits of block `in`, given the block before it. Long only for its
// three tables, which read best side by side with the bits they set.
__attribute__((target("avx2"))) inline __m256i blockErrors(__m256i in, __m256i prev) {
  static constexpr uint8_t kByte1High[16] = {kTooLong,
                                             kTooLong,
                                             kTooLong,
                                             kTooLong,
                                             kTooLong,
                                             kTooLong,
                                             kTooLong,
                                             kTooLong,
                                             kTwoConts,
                                             kTwoConts,
                                             kTwoConts,
                                             kTwoConts,
                                             kTooShort | kOverlong2,
                                             kTooShort,
                                             kTooShort | kOverlong3 | kSurrogate,
                                             kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
  static constexpr uint8_t kByte1Low[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                            kCarry | kOverlong2,
                                            kCarry,
                                            kCarry,
                                            kCarry | kTooLarge,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                                            kCarry | kTooLarge | kTooLarge1000,
                                            kCarry | kTooLarge | kTooLarge1000};
  static constexpr uint8_t kByte2High[16] = {
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort};
  // The block shifted by 1, 2 and 3 bytes, the end of the block before moving in.
  const __m256i joined = _mm256_permute2x128_si256(prev, in, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(in, joined, 16 - 1);
  const __m256i prev2 = _mm256_alignr_epi8(in, joined, 16 - 2);
  const __m256i prev3 = _mm256_alignr_epi8(in, joined, 16 - 3);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(
          _mm256_shuffle_epi8(table(kByte1High), highNibbles(prev1)),
          _mm256_shuffle_epi8(table(kByte1Low), _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
      _mm256_shuffle_epi8(table(kByte2High), highNibbles(in)));
  // Bytes two after a three- or four-byte lead, or three after a four-byte lead,
  // must be continuations; only there is a continuation after one allowed.
  const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(char(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(char(0xF0 - 0x80)));
  const __m256i must23 =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
  return _mm256_xor_si256(must23, special);
}

// Non-zero where the block ends inside a character.
__attribute__((target("avx2"))) inline __m256i incompleteAtEnd(__m256i in) {
  alignas(32) static constexpr uint8_t kMax[32] = {
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,     0xFF,     0xFF,    0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,     0xFF,     0xFF,    0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};
  return _mm256_subs_epu8(in, _mm256_load_si256(reinterpret_cast<const __m256i*>(kMax)));
}

// Checks `blocks` blocks of 32 bytes; returns whether any byte was above 0x7F.
__attribute__((target("avx2"))) bool validateBlocks(const uint8_t* p, std::size_t blocks,
                                                    uint8_t* prevBytes, bool& prevIncomplete,
                                                    bool& error) {
  __m256i prev = _mm256_load_si256(reinterpret_cast<const __m256i*>(prevBytes));
  __m256i errors = _mm256_setzero_si256();
  __m256i incomplete = prevIncomplete ? _mm256_set1_epi8(1) : _mm256_setzero_si256();
  bool high = false;
  for (std::size_t k = 0; k < blocks; ++k) {
    // Runs of ASCII, 128 bytes at a time.
    while (k + 4 <= blocks) {
      const auto* at = reinterpret_cast<const __m256i*>(p + 32 * k);
      const __m256i any =
          _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(at), _mm256_loadu_si256(at + 1)),
                          _mm256_or_si256(_mm256_loadu_si256(at + 2), _mm256_loadu_si256(at + 3)));
      if (_mm256_movemask_epi8(any) != 0)
        break;
      errors = _mm256_or_si256(errors, incomplete);
      incomplete = _mm256_setzero_si256();
      prev = _mm256_loadu_si256(at + 3);
      k += 4;
    }
    if (k == blocks)
      break;
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
    if (_mm256_movemask_epi8(in) == 0) {
      // All ASCII: valid unless the block before ended inside a character.
      errors = _mm256_or_si256(errors, incomplete);
      incomplete = _mm256_setzero_si256();
    } else {
      high = true;
      errors = _mm256_or_si256(errors, blockErrors(in, prev));
      incomplete = incompleteAtEnd(in);
    }
    prev = in;
    // GBK content fails within its first characters: stop looking early.
    if ((k & 15) == 15 && !_mm256_testz_si256(errors, errors))
      break;
  }
  _mm256_store_si256(reinterpret_cast<__m256i*>(prevBytes), prev);
  prevIncomplete = !_mm256_testz_si256(incomplete, incomplete);
  error = !_mm256_testz_si256(errors, errors);
  return high;
}
#endif

bool anyHigh(const uint8_t* p, std::size_t n) {
  uint8_t all = 0;
  for (std::size_t i = 0; i < n; ++i)
    all |= p[i];
  return (all & 0x80) != 0;
}

}  // namespace

int decodeOne(const uint8_t* p, const uint8_t* end, bool final, char32_t* out) {
  const uint8_t b = *p;
  if (b < 0x80) {
    *out = b;
    return 1;
  }
  const int32_t n = int32_t(std::min<std::ptrdiff_t>(end - p, 4));
  int32_t used = 0;
  UChar32 c;
  U8_NEXT(p, used, n, c);
  if (c >= 0) {
    *out = char32_t(c);
    return used;
  }
  // ICU stops at the end of the input in a character that a valid lead byte
  // began and more bytes may complete.
  if (!final && used == n && b >= 0xC2 && b <= 0xF4)
    return 0;
  *out = invalidByteChar(b);
  return 1;
}

int encode(char32_t cp, uint8_t* out) {
  if (cp < 0x80) {
    out[0] = uint8_t(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = uint8_t(0xC0 | (cp >> 6));
    out[1] = uint8_t(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = uint8_t(0xE0 | (cp >> 12));
    out[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    out[2] = uint8_t(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = uint8_t(0xF0 | (cp >> 18));
  out[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
  out[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
  out[3] = uint8_t(0x80 | (cp & 0x3F));
  return 4;
}

Validator::Validator(bool simd) {
#ifdef TERVANE_X86
  static const bool avx2 = haveAvx2();
  simd_ = simd && avx2;
#else
  (void)simd;
  simd_ = false;
#endif
}

bool Validator::feed(const uint8_t* p, std::size_t n) {
  if (error_ || n == 0)
    return false;
  return simd_ ? feedVector(p, n) : feedScalar(p, n);
}

// Hand-written rather than QByteArrayView::isValidUtf8: that checks whole
// buffers only, and with the carry between pieces and the "any byte above
// 0x7F" answer it measured several times slower on ASCII (bench/RESULTS.md).
bool Validator::feedScalar(const uint8_t* p, std::size_t n) {
  bool high = false;
  std::size_t i = 0;
  while (i < n) {
    if (due_ == 0) {
      while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL)
          break;
        i += 8;
      }
      if (i == n)
        break;
      const uint8_t b = p[i++];
      if (b < 0x80)
        continue;
      high = true;
      if (!lead(b, due_, lo_, hi_)) {
        error_ = true;
        return true;
      }
    } else {
      const uint8_t b = p[i++];
      high = true;
      if (b < lo_ || b > hi_) {
        error_ = true;
        return true;
      }
      --due_;
      lo_ = 0x80;
      hi_ = 0xBF;
    }
  }
  return high;
}

bool Validator::feedVector(const uint8_t* p, std::size_t n) {
#ifdef TERVANE_X86
  bool high = false;
  if (pendingSize_ > 0) {
    const std::size_t take = std::min(32 - pendingSize_, n);
    std::memcpy(pending_ + pendingSize_, p, take);
    high = anyHigh(p, take);
    pendingSize_ += take;
    p += take;
    n -= take;
    if (pendingSize_ < 32)
      return high;
    validateBlocks(pending_, 1, prev_, prevIncomplete_, error_);
    pendingSize_ = 0;
    if (error_)
      return true;
  }
  const std::size_t blocks = n / 32;
  if (blocks > 0)
    high = validateBlocks(p, blocks, prev_, prevIncomplete_, error_) || high;
  const std::size_t rest = n - blocks * 32;
  if (rest > 0 && !error_) {
    std::memcpy(pending_, p + blocks * 32, rest);
    pendingSize_ = rest;
    high = high || anyHigh(pending_, rest);
  }
  return high;
#else
  return feedScalar(p, n);
#endif
}

bool Validator::finish() {
  if (error_)
    return false;
  if (!simd_)
    return due_ == 0;
#ifdef TERVANE_X86
  // The last bytes, padded with ASCII: a character cut short shows as an error.
  std::memset(pending_ + pendingSize_, 0, 32 - pendingSize_);
  validateBlocks(pending_, 1, prev_, prevIncomplete_, error_);
  pendingSize_ = 0;
#endif
  return !error_;
}

bool isValid(QByteArrayView bytes) {
  Validator v;
  v.feed(reinterpret_cast<const uint8_t*>(bytes.data()), std::size_t(bytes.size()));
  return v.finish();
}

std::size_t SequenceCounter::step(const uint8_t* p, const uint8_t* end, bool final) {
  int due = 0;
  uint8_t lo = 0;
  uint8_t hi = 0;
  if (!lead(*p, due, lo, hi)) {
    ++invalid_;
    return 1;
  }
  for (int k = 1; k <= due; ++k) {
    if (p + k == end) {
      if (!final)
        return 0;
      ++invalid_;
      return 1;
    }
    if (p[k] < lo || p[k] > hi) {
      ++invalid_;
      return 1;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  ++valid_;
  return std::size_t(due) + 1;
}

namespace {

#ifdef TERVANE_X86
// The first byte above 0x7F at or after i, or n: 32 bytes at a time.
__attribute__((target("avx2"))) std::size_t skipAsciiAvx2(const uint8_t* p, std::size_t i,
                                                          std::size_t n) {
  while (i + 32 <= n) {
    const int mask =
        _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    if (mask != 0)
      return i + std::size_t(__builtin_ctz(unsigned(mask)));
    i += 32;
  }
  while (i < n && p[i] < 0x80)
    ++i;
  return i;
}
#endif

std::size_t skipAscii(const uint8_t* p, std::size_t i, std::size_t n) {
#ifdef TERVANE_X86
  static const bool avx2 = haveAvx2();
  if (avx2)
    return skipAsciiAvx2(p, i, n);
#endif
  while (i + 8 <= n) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ULL)
      break;
    i += 8;
  }
  while (i < n && p[i] < 0x80)
    ++i;
  return i;
}

}  // namespace

bool SequenceCounter::feed(const uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  const std::uint64_t before = valid_ + invalid_;
  const bool carried = carrySize_ > 0;
  if (carrySize_ > 0) {
    // The character begun in the last piece, with the bytes it needs from this one.
    uint8_t joined[8];
    const std::size_t had = carrySize_;
    const std::size_t take = std::min<std::size_t>(4, n);
    std::memcpy(joined, carry_, had);
    std::memcpy(joined + had, p, take);
    std::size_t at = 0;
    carrySize_ = 0;
    while (at < had) {
      const std::size_t used = step(joined + at, joined + had + take, false);
      if (used == 0) {
        carrySize_ = had + take - at;
        std::memcpy(carry_, joined + at, carrySize_);
        return true;
      }
      at += used;
    }
    i = at - had;
  }
  for (;;) {
    i = skipAscii(p, i, n);
    if (i == n)
      break;
    // Characters of several bytes, one after the other, until the next ASCII.
    while (i < n && p[i] >= 0x80) {
      const std::size_t used = step(p + i, p + n, false);
      if (used == 0) {
        carrySize_ = n - i;
        std::memcpy(carry_, p + i, carrySize_);
        return true;
      }
      i += used;
    }
  }
  return carried || valid_ + invalid_ != before;
}

void SequenceCounter::finish() {
  std::size_t at = 0;
  while (at < carrySize_)
    at += step(carry_ + at, carry_ + carrySize_, true);
  carrySize_ = 0;
}

bool readsAsUtf8(QByteArrayView bytes) {
  SequenceCounter c;
  c.feed(reinterpret_cast<const uint8_t*>(bytes.data()), std::size_t(bytes.size()));
  c.finish();
  return c.readsAsUtf8();
}

}  // namespace utf8
