// The byte search on its own: every instruction level the processor has must
// give exactly the first position where both probes fit, wherever it lies
// relative to the vector widths, and never read past the bytes it is given.
#include "scan/bytesearch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using scan::bytesearch::findAt;
using scan::bytesearch::kNone;
using scan::bytesearch::Level;
using scan::bytesearch::Probe;

namespace {

std::vector<Level> levels() {
  std::vector<Level> out;
  for (Level l : {Level::Scalar, Level::Sse2, Level::Avx2, Level::Avx512}) {
    if (scan::bytesearch::supported(l))
      out.push_back(l);
  }
  return out;
}

// Probes for "<" at 0 and "i" or "I" at 1.
const Probe kA{0, 0, '<'};
const Probe kB{1, 0x20, 'i'};

}  // namespace

TEST(ByteSearch, EveryLevelFindsExactlyTheFirstHit) {
  for (Level level : levels()) {
    SCOPED_TRACE(int(level));
    for (std::size_t at = 0; at <= 300; ++at) {
      // Near misses everywhere: each probe alone fits many times.
      std::vector<std::uint8_t> buf(420, 'i');
      for (std::size_t k = 3; k < buf.size(); k += 5)
        buf[k] = '<';
      for (std::size_t k = 4; k < buf.size(); k += 5)
        buf[k] = 'x';
      buf[at] = '<';
      buf[at + 1] = (at % 2) ? 'I' : 'i';
      // Hits before `at` are removed so that `at` is the first.
      for (std::size_t k = 0; k < at; ++k) {
        if (buf[k] == '<' && (buf[k + 1] | 0x20) == 'i')
          buf[k + 1] = 'x';
      }
      const std::size_t last = buf.size() - 2;
      ASSERT_EQ(findAt(level, buf.data(), 0, last, kA, kB), at) << "offset " << at;
      // Starting at the hit finds it; starting behind it finds the next one or none.
      ASSERT_EQ(findAt(level, buf.data(), at, last, kA, kB), at);
      const std::size_t next = findAt(level, buf.data(), at + 1, last, kA, kB);
      ASSERT_TRUE(next == kNone || next > at);
    }
  }
}

TEST(ByteSearch, EveryLevelStopsAtTheLastPosition) {
  for (Level level : levels()) {
    SCOPED_TRACE(int(level));
    for (std::size_t len = 2; len <= 260; ++len) {
      // Exactly the bytes it may read, with the hit at the very end.
      std::vector<std::uint8_t> buf(len, 'a');
      buf[len - 2] = '<';
      buf[len - 1] = 'I';
      ASSERT_EQ(findAt(level, buf.data(), 0, len - 2, kA, kB), len - 2) << len;
      // The same hit one past `last` is not reported.
      if (len > 2) {
        ASSERT_EQ(findAt(level, buf.data(), 0, len - 3, kA, kB), kNone) << len;
      }
    }
  }
}

TEST(ByteSearch, ProbesFarApartAndTheSameProbeTwice) {
  const Probe far{200, 0, 'z'};
  for (Level level : levels()) {
    SCOPED_TRACE(int(level));
    std::vector<std::uint8_t> buf(600, 'a');
    buf[77] = '<';
    buf[277] = 'z';
    buf[10] = '<';  // its partner at 210 does not fit
    EXPECT_EQ(findAt(level, buf.data(), 0, 399, kA, far), 77u);
    EXPECT_EQ(findAt(level, buf.data(), 0, 399, kA, kA), 10u);
  }
}
