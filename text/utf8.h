// UTF-8, decoding only: one character at a time, and whether a stream of bytes
// is valid UTF-8 (shortest forms, no surrogates, nothing above U+10FFFF), checked
// piece by piece, many bytes at a time.
#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

namespace utf8 {

inline constexpr bool isContinuation(uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// What a byte that begins no valid character decodes to: a lone low surrogate,
// which no character of valid UTF-8 and no signature typed by a user is.
inline constexpr char32_t invalidByteChar(uint8_t b) {
  return char32_t(0xDC00 + b);
}

// Decodes one character at p (p < end). Returns the bytes used (1 to 4), or 0
// when the bytes from p begin a character that more input may complete
// (!final). A byte that begins no valid character is used alone, so decoding
// starts afresh at the next byte: a valid character is never swallowed.
int decodeOne(const uint8_t* p, const uint8_t* end, bool final, char32_t* out);

// The bytes of a Unicode scalar value into out[0..3]; returns their number.
int encode(char32_t cp, uint8_t* out);

// Whether everything fed to it is valid UTF-8. Memory and work per byte stay
// constant: characters split between pieces are carried over.
class Validator {
 public:
  // `simd`: whether to use vector instructions (when the processor has them).
  explicit Validator(bool simd = true);

  // The next piece. Returns whether it held a byte above 0x7F (a piece fed
  // after the content was found invalid is not looked at and counts as none).
  bool feed(const uint8_t* p, std::size_t n);
  // False as soon as the bytes so far cannot begin valid UTF-8.
  bool ok() const { return !error_; }
  // The end of the content: whether the whole of it was valid.
  bool finish();

 private:
  bool feedScalar(const uint8_t* p, std::size_t n);
  bool feedVector(const uint8_t* p, std::size_t n);

  bool simd_;
  bool error_ = false;
  // Scalar: continuation bytes still due, and the range the next one must be in.
  int due_ = 0;
  uint8_t lo_ = 0x80;
  uint8_t hi_ = 0xBF;
  // Vector: the block before, whether it ends inside a character, and the bytes
  // of a block not yet complete.
  alignas(32) uint8_t prev_[32] = {};
  bool prevIncomplete_ = false;
  alignas(32) uint8_t pending_[32] = {};
  std::size_t pendingSize_ = 0;
};

// Whether `bytes` is valid UTF-8 as a whole.
bool isValid(QByteArrayView bytes);

}  // namespace utf8
