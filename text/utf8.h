// UTF-8, decoding only: one character at a time, and the counts the reading
// rule weighs, taken piece by piece.
#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <optional>

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

// Counts, as decodeOne reads a stream from its start, the valid characters of
// two to four bytes and the bytes that begin no valid character. Fed piece by
// piece; memory and work per byte stay constant.
class SequenceCounter {
 public:
  // Returns whether the piece held a byte above 0x7F.
  bool feed(const uint8_t* p, std::size_t n);
  // The end of the content: a character cut short there is invalid bytes.
  void finish();

  std::uint64_t validSequences() const { return valid_; }
  std::uint64_t invalidBytes() const { return invalid_; }
  // The reading rule: UTF-8 unless invalid bytes are at least as many as the
  // valid multi-byte characters (pure ASCII and valid UTF-8 read as UTF-8).
  bool readsAsUtf8() const { return invalid_ == 0 || valid_ > invalid_; }
  // The rule's answer once `bytesLeft` more bytes cannot change it: each can be
  // one more invalid byte, and every two of them one more valid character.
  // Nothing while they still could; with `final`, always an answer.
  std::optional<bool> settledReadsAsUtf8(std::uint64_t bytesLeft, bool final) const {
    if (final)
      return readsAsUtf8();
    const std::uint64_t rest = bytesLeft + pendingBytes();
    if (invalid_ > valid_ + rest / 2)
      return false;
    if (valid_ > invalid_ + rest)
      return true;
    return std::nullopt;
  }
  // Bytes of a character begun and not yet complete, counted as neither.
  std::size_t pendingBytes() const { return carrySize_; }

 private:
  // Decodes from p (< end); returns the bytes used, 0 when more input is needed.
  std::size_t step(const uint8_t* p, const uint8_t* end, bool final);

  std::uint64_t valid_ = 0;
  std::uint64_t invalid_ = 0;
  // The first bytes of a character that the next piece may complete.
  uint8_t carry_[4] = {};
  std::size_t carrySize_ = 0;
};

// Whether the rule reads `bytes` as UTF-8.
bool readsAsUtf8(QByteArrayView bytes);

}  // namespace utf8
