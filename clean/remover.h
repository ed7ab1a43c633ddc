// Removes the signature from a GBK byte stream without decoding and re-encoding
// it: occurrences are found on the decoded text and dropped as the bytes that
// encode them, and every other byte is passed on exactly as it came in, bytes
// that do not decode included. Memory stays bounded by one piece of input plus
// the signature's length, whatever the size of the stream.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace clean {

// Where one removed occurrence lay in the input stream, in bytes.
struct ByteRange {
  qint64 offset = 0;
  qint64 length = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

class SignatureRemover {
 public:
  // `gjz`: compared exactly, character by character; an empty one removes nothing.
  explicit SignatureRemover(QStringView gjz);

  // Takes the next `n` bytes of the stream (the last piece with `final` set; it
  // may be empty) and appends to `out` the bytes that no later input can make
  // part of an occurrence. After the final piece everything has been passed on.
  void feed(const uint8_t* p, std::size_t n, bool final, std::vector<uint8_t>& out);

  // Occurrences removed so far.
  qint64 removed() const { return removed_; }

  // With `on`, the byte range of every occurrence removed from now on is kept,
  // in stream order, for the dry run and the report.
  void recordRanges(bool on) { recordRanges_ = on; }
  const std::vector<ByteRange>& ranges() const { return ranges_; }

 private:
  QString gjz_;
  // The decoded characters not yet passed on, where each begins in `bytes_`, and
  // their bytes; plus a lead byte that waits for its trail byte in the next piece.
  std::vector<char16_t> chars_;
  std::vector<std::size_t> starts_;
  std::size_t count_ = 0;
  std::vector<uint8_t> bytes_;
  bool hasCarry_ = false;
  uint8_t carry_ = 0;
  qint64 removed_ = 0;
  // The stream offset of bytes_[0].
  qint64 base_ = 0;
  bool recordRanges_ = false;
  std::vector<ByteRange> ranges_;
};

// The same on content in memory, fed in pieces of `chunkSize` bytes. With
// `ranges`, the byte ranges of the removed occurrences are stored there.
QByteArray removeSignature(QByteArrayView content, QStringView gjz, std::size_t chunkSize,
                           std::vector<ByteRange>* ranges = nullptr);

}  // namespace clean
