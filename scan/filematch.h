// Whether a file's GBK-decoded, lower-cased content holds the signature.
//
// The test works on the raw bytes and decodes only around candidates: two bytes
// of the signature's byte form are searched together (many bytes at a time), and
// each hit is confirmed by decoding the signature's length from it. GBK character
// boundaries can be recovered backwards, so a hit that starts with a byte that
// could trail a lead byte is confirmed only when it starts a character.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/fs.h"

namespace scan {

enum class MatchResult { NoMatch, Match, Error };

// What reading one file came to besides the answer.
struct ReadStats {
  // For MatchResult::Error: the errno of the failed call, or 0 when the name no
  // longer leads to a regular file.
  int error = 0;
  // Bytes read from the file.
  std::uint64_t bytes = 0;
};

class SignatureMatcher {
 public:
  // `gjz`: the signature, already trimmed and lower-cased; never empty.
  explicit SignatureMatcher(QString gjz);

  // Reads the file through a fixed buffer, so memory stays flat whatever its size.
  // Only regular files are read; links are not followed and nothing blocks. As
  // many bytes are read as the file is long when it is opened. Thread-safe.
  // With `identity`, the device and inode of the file read are stored there; with
  // `stats`, why it failed and how much was read.
  MatchResult matchFile(const QByteArray& nativePath, platform::FileIdentity* identity = nullptr,
                        ReadStats* stats = nullptr) const;
  // The same for the file `name` (a bare name) of the open directory `dirFd`: the
  // file read is the one in that very directory, whatever became of its path.
  MatchResult matchFileAt(int dirFd, const QByteArray& name,
                          platform::FileIdentity* identity = nullptr,
                          ReadStats* stats = nullptr) const;

  // The same test on content in memory, fed in pieces of `chunkSize` bytes (the
  // file reader's buffer size unless told otherwise).
  bool matchBytes(QByteArrayView content, std::size_t chunkSize = 0) const;

  static constexpr std::size_t kReadSize = 128 * 1024;

  // The instructions the byte search uses: the best the processor has, unless
  // lowered (the tests compare every level). setSearchLevel fails when the
  // processor lacks the level.
  enum class SearchLevel { Scalar, Sse2, Avx2, Avx512 };
  static SearchLevel searchLevel();
  static bool setSearchLevel(SearchLevel level);

  // One byte position of the signature's byte form that every occurrence shares:
  // a byte b fits when (b | mask) == value.
  struct Probe {
    std::uint32_t offset = 0;
    std::uint8_t mask = 0;
    std::uint8_t value = 0;
  };

 private:
  class Stream;
  friend class Stream;

  // Tests the file open on `fd`, and closes it.
  MatchResult matchOpen(int fd, platform::FileIdentity* identity, ReadStats* stats) const;

  QString gjz_;
  // False when some character of the signature has no GBK form at all: nothing
  // can match then.
  bool possible_ = true;
  // Bounds of an occurrence's length in bytes.
  std::size_t minBytes_ = 0;
  std::size_t maxBytes_ = 0;
  // The two bytes searched together; when none of the signature's bytes is fixed
  // enough, every byte that can start an occurrence is a candidate instead.
  bool useProbes_ = false;
  Probe a_;
  Probe b_;
  std::array<bool, 256> firstByte_{};
  // For a signature of one-byte characters only: each byte's probe, so that a
  // candidate is confirmed without decoding. Empty otherwise.
  std::vector<Probe> pattern_;
  // Whether an occurrence can start with a byte that could trail a lead byte;
  // only then does a candidate's character alignment need checking.
  bool checkAlignment_ = false;
};

}  // namespace scan
