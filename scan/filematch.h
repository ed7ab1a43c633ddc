// Whether a file's content, read by the encoding rule (text/encoding.h) and
// lower-cased, holds the signature.
//
// The test works on the raw bytes and decodes only around candidates: two bytes
// of the signature's byte form are searched together (many bytes at a time), and
// each hit is confirmed by decoding the signature's length from it. With the
// rule's automatic choice the GBK form and the UTF-8 form are searched in the
// same pass; where both readings agree (no occurrence in either, or one in
// both) that is the answer. Only a content where one of them finds the
// signature and the other does not (yet) needs the rule's count of valid
// characters and invalid bytes: its start is read once more to count, and the
// rest is counted as it comes, the reading settled as soon as the rest cannot
// change it. GBK character
// boundaries can be recovered backwards, so a GBK hit that starts with a byte
// that could trail a lead byte is confirmed only when it starts a character; a
// UTF-8 form always starts a character in valid UTF-8. A file whose byte-order
// mark or declaration fixed its reading, and that holds nothing read so, is
// searched once more as if it had neither, so that what its author put in front
// cannot hide the rest (ReadStats::otherReading).
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/fd.h"
#include "platform/fs.h"
#include "scan/bytesearch.h"
#include "text/encoding.h"
#include "text/lineends.h"

namespace scan {

enum class MatchResult { NoMatch, Match, Error };

// What reading one file came to besides the answer.
struct ReadStats {
  // For MatchResult::Error: the errno of the failed call, or 0 when the name no
  // longer leads to a regular file.
  int error = 0;
  // Bytes read from the file.
  std::uint64_t bytes = 0;
  // Whether some of its content was not in memory, so that a read waited for the
  // disk: the page cache is cold.
  bool waited = false;
  // For a match: the members of the signature set found (only the first found
  // when the search could stop there), or {0} for a single signature.
  std::vector<std::uint32_t> members;
  // For no match: a reading not taken that holds an occurrence (Auto when
  // none): the other one when the count decided; when a mark or a declaration
  // decided, what the same bytes without them would be found or told in.
  text::Encoding otherReading = text::Encoding::Auto;
  // With a matcher that has a core (see SignatureMatcher): whether the content
  // holds the core.
  bool holdsCore = false;
};

struct Pattern;
class SetMatcher;
namespace fileread {
struct FirstPiece;
}

class SignatureMatcher {
 public:
  // `signature`: already trimmed and lower-cased; never empty. A set's
  // text (text/signatureset.h) matches when any member does, in one read.
  // `encoding`: how file contents are read (Auto: the rule). `lineEnds`: Any
  // lets each line break of the signature match any line break (the rule of
  // text/lineends.h). `core`: a piece of a single signature that every content
  // holding the signature holds too, in whatever reading holds it (the
  // signature without the blanks at its ends). Each file is then searched for
  // the core first, and for the signature only when the core is there (or in
  // a reading not taken): the answer is the same, and ReadStats::holdsCore
  // counts the core's files in the same read.
  explicit SignatureMatcher(QString signature, text::Encoding encoding = text::Encoding::Auto,
                            text::LineEnds lineEnds = text::LineEnds::Any,
                            const std::optional<QString>& core = std::nullopt);

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

  // The file `name` of the open directory `dirFd` read through `fd`, a descriptor
  // opened on it earlier (the same way matchFileAt opens it) whose file had the
  // identity `fdIdentity`: saves the path lookup and the open. Only while the
  // name still leads to that very regular file; otherwise nullopt (`fd` closed),
  // and the caller opens the name again, which reads what the name leads to now.
  std::optional<MatchResult> matchIfStillAt(int dirFd, const QByteArray& name,
                                            platform::UniqueFd fd,
                                            const platform::FileIdentity& fdIdentity,
                                            platform::FileIdentity* identity = nullptr,
                                            ReadStats* stats = nullptr) const;

  // The same test on content in memory, fed in pieces of `chunkSize` bytes (the
  // file reader's buffer size unless told otherwise).
  bool matchBytes(QByteArrayView content, std::size_t chunkSize = 0) const;

  static constexpr std::size_t kReadSize = 128 * 1024;

  bool hasCore() const { return core_ != nullptr; }

  // Why the set's search could not be built (empty when it was, and for one
  // signature). Every file is then an Error, never clean: a search that could
  // not be made finds nothing only falsely.
  QString error() const;

  // The instructions the byte search uses (see scan/bytesearch.h).
  using SearchLevel = bytesearch::Level;
  static SearchLevel searchLevel() { return bytesearch::level(); }
  static bool setSearchLevel(SearchLevel level) { return bytesearch::setLevel(level); }

 private:
  class Stream;
  friend class Stream;

  // Tests the file open on `fd`.
  MatchResult matchOpen(platform::UniqueFd fd, platform::FileIdentity* identity,
                        ReadStats* stats) const;
  // Tests the regular file open on `fd`, whose status is `st`: for the core
  // first, when there is one.
  MatchResult matchRegular(int fd, const struct stat& st, platform::FileIdentity* identity,
                           ReadStats& out) const;
  // The same for the signature alone.
  MatchResult matchSignature(int fd, const struct stat& st, platform::FileIdentity* identity,
                             ReadStats& out) const;
  // Whether some content can match at all.
  bool possible() const;
  // The reading the choice or a content's first bytes fix; Auto for the count.
  text::Encoding readingFor(QByteArrayView head) const;
  // One search of the regular file open on `fd` read as `reading` (Auto: by
  // the count), from its first piece, already in `buf`; and the reading that
  // holds a match (Auto: both that were searched).
  struct Pass {
    MatchResult result;
    text::Encoding heldIn;
  };
  Pass search(int fd, off_t size, bool sparse, text::Encoding reading,
              std::vector<std::uint8_t>& buf, ReadStats& out,
              const fileread::FirstPiece& first) const;

  QString signature_;
  text::Encoding encoding_;
  bool anyLineEnd_;
  // The text a UTF-16 page is searched for (a set's are its matcher's).
  std::vector<QString> needles_;
  // The forms searched: null for an encoding the choice rules out.
  std::shared_ptr<const Pattern> gbk_;
  std::shared_ptr<const Pattern> utf8_;
  // Both forms have the same probes and byte-by-byte confirmation (an ASCII
  // signature): one search gives the candidates of both.
  bool shared_ = false;
  // The set's matcher, for a set of several members.
  std::shared_ptr<const SetMatcher> set_;
  // The core's matcher, when there is a core.
  std::shared_ptr<const SignatureMatcher> core_;
  // Bytes needed after a candidate's first byte to decide it before the end.
  std::size_t need_ = 1;
};

}  // namespace scan
