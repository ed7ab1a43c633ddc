// Whether a file's GBK-decoded, lower-cased content holds the signature.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>

namespace scan {

enum class MatchResult { NoMatch, Match, Error };

class SignatureMatcher {
 public:
  // `gjz`: the signature, already trimmed and lower-cased; never empty.
  explicit SignatureMatcher(QString gjz);

  // Reads the file through a fixed buffer, so memory stays flat whatever its size.
  // Only regular files are read; links are not followed and nothing blocks.
  MatchResult matchFile(const QByteArray& nativePath) const;

  // The same test on content in memory, fed in pieces of `chunkSize` bytes (the
  // file reader's buffer size unless told otherwise).
  bool matchBytes(QByteArrayView content, std::size_t chunkSize = 0) const;

  static constexpr std::size_t kReadSize = 128 * 1024;

 private:
  class Stream;
  QString gjz_;
};

}  // namespace scan
