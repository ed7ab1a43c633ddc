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
#endif

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
