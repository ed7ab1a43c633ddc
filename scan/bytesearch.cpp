#include "scan/bytesearch.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TERVANE_X86 1
#endif

namespace scan::bytesearch {

namespace {

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

std::atomic<Level> current{bestLevel()};
std::atomic<FindFn> currentFind{findFor(current.load())};

}  // namespace

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

Level level() {
  return current.load();
}

bool setLevel(Level l) {
  if (!supported(l))
    return false;
  current.store(l);
  currentFind.store(findFor(l));
  return true;
}

std::size_t find(const std::uint8_t* p, std::size_t s, std::size_t last, Probe a, Probe b) {
  return currentFind.load(std::memory_order_relaxed)(p, s, last, a, b);
}

std::size_t findAt(Level level, const std::uint8_t* p, std::size_t s, std::size_t last, Probe a,
                   Probe b) {
  return findFor(level)(p, s, last, a, b);
}

}  // namespace scan::bytesearch
