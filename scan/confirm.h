// Confirming a candidate: whether the bytes at a position of a buffer decode,
// as the whole-file decode would, to the signature's characters. Shared by the
// single signature's search and the set's, so that both keep one rule.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scan {
struct Pattern;
}

namespace scan::confirm {

// A buffer of the content and what lies right before its first byte.
struct Window {
  const std::uint8_t* buf = nullptr;
  std::size_t len = 0;
  bool carryOdd = false;  // the parity of the lead-byte run that ends right before buf[0]
};

// Whether the run of lead-range bytes that ends right before `pos` has odd
// length, that is, whether its last byte leads a GBK character that takes
// buf[pos].
bool leadRunOddBefore(const Window& w, std::size_t pos);

// Decodes from s as the whole-file decode would if s starts a character. With
// `endOut`, the position right after the occurrence is stored there.
bool gbkAt(const Pattern& p, const Window& w, std::size_t s, bool final,
           std::size_t* endOut = nullptr);

// The same for UTF-8. `general`: decode even where the form's bytes would do
// (a form of another length may occur).
bool utf8At(const Pattern& p, const Window& w, std::size_t s, bool final, bool general,
            std::size_t* endOut = nullptr);

}  // namespace scan::confirm
