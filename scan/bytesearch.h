// The byte search under the file match: the first position where two bytes at
// fixed distances both fit, many positions at a time, with the best instructions
// the processor has (chosen once at start-up, or lowered by the tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace scan::bytesearch {

inline constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// One byte position of a pattern: a byte b fits when (b | mask) == value, so a
// mask of one bit lets a letter match in either case.
struct Probe {
  std::uint32_t offset = 0;
  std::uint8_t mask = 0;
  std::uint8_t value = 0;
  friend bool operator==(const Probe&, const Probe&) = default;
};

inline bool fits(std::uint8_t b, const Probe& p) {
  return std::uint8_t(b | p.mask) == p.value;
}

enum class Level { Scalar, Sse2, Avx2, Avx512 };

// Whether the processor has the instructions of `level`.
bool supported(Level level);
// The level find() uses: the best supported, unless set lower. setLevel fails
// when the processor lacks the level.
Level level();
bool setLevel(Level level);

// The first s in [s, last] where p[s + a.offset] fits a and p[s + b.offset]
// fits b, or kNone. Reads p[s .. last + max(a.offset, b.offset)] and nothing else.
std::size_t find(const std::uint8_t* p, std::size_t s, std::size_t last, Probe a, Probe b);
// The same at a given level, which must be supported.
std::size_t findAt(Level level, const std::uint8_t* p, std::size_t s, std::size_t last, Probe a,
                   Probe b);

}  // namespace scan::bytesearch
