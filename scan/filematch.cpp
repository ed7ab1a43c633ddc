#include "scan/filematch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "scan/bufferedsearch.h"
#include "scan/confirm.h"
#include "scan/fileread.h"
#include "scan/pattern.h"
#include "scan/signaturesetmatch.h"
#include "scan/utf16search.h"
#include "text/gbk.h"
#include "text/lineends.h"
#include "text/signatureset.h"
#include "text/textops.h"
#include "text/utf8.h"

namespace scan {

namespace {

using bytesearch::kNone;

bool anyHigh(const std::uint8_t* p, std::size_t n) {
  std::uint8_t all = 0;
  for (std::size_t i = 0; i < n; ++i)
    all |= p[i];
  return (all & 0x80) != 0;
}

}  // namespace

// Searches one buffer at a time. The buffer holds the bytes kept from the last
// round (candidates that could not be decided yet) followed by new bytes.
class SignatureMatcher::Stream : public BufferedSearch {
 public:
  // `fixed`: the reading the user chose or the content's first bytes gave
  // (Gbk or Utf8), or Auto for the count.
  Stream(const SignatureMatcher& m, std::uint8_t* buf, std::uint64_t size, Recount&& recount,
         text::Encoding fixed)
      : BufferedSearch(buf, size, std::move(recount), fixed), m_(m) {}

  // Searches buf[0, len), of which buf[kept(), len) is new; `final`: no byte
  // follows. Returns the answer once it is settled (always after the final
  // piece). Otherwise, unless final, keeps the undecided tail at the buffer's
  // start (see kept()).
  std::optional<bool> scan(std::size_t len, bool final) {
    const Round round = beginRound(len, final);
    bool high = round.high;
    if (!round.counted && m_.utf8_ && !m_.utf8_->odd.empty())
      high = anyHigh(buf_ + kept_, round.fresh);
    const bool wantGbk =
        m_.gbk_ && m_.gbk_->possible && !hitGbk_ && reading_ != text::Encoding::Utf8;
    const bool wantUtf8 =
        m_.utf8_ && m_.utf8_->possible && !hitUtf8_ && reading_ != text::Encoding::Gbk;
    // Where a form of another length may occur, the UTF-8 probes could miss it.
    bool general = false;
    if (wantUtf8 && (high || keptHigh_) && len >= 2) {
      for (const auto& [a, b] : m_.utf8_->odd) {
        if (bytesearch::find(buf_, 0, len - 2, a, b) != kNone) {
          general = true;
          break;
        }
      }
    }
    if (m_.shared_ && wantGbk && wantUtf8 && !general) {
      searchBoth(len, final);
    } else {
      if (wantGbk)
        hitGbk_ = search(*m_.gbk_, len, final, false);
      if (wantUtf8)
        hitUtf8_ = search(*m_.utf8_, len, final, general);
    }
    if (!endRound(hitGbk_ != hitUtf8_, round, final))
      return false;
    if (const std::optional<bool> answer =
            settled(final, m_.gbk_ && m_.gbk_->possible, m_.utf8_ && m_.utf8_->possible))
      return answer;
    carry(len, m_.need_, m_.gbk_ && m_.gbk_->checkAlignment);
    keptHigh_ = anyHigh(buf_, kept_);
    return std::nullopt;
  }

 private:
  // The last candidate of `p` that this round can decide, or kNone.
  std::size_t lastFor(const Pattern& p, std::size_t len, bool final) const {
    const std::size_t needed = final ? p.minBytes : m_.need_;
    return len >= needed && len > 0 ? len - needed : kNone;
  }

  std::size_t next(const Pattern& p, std::size_t s, std::size_t last, bool general) const {
    if (p.useProbes && !general)
      return bytesearch::find(buf_, s, last, p.a, p.b);
    for (; s <= last; ++s) {
      if (p.firstByte[buf_[s]])
        return s;
    }
    return kNone;
  }

  bool search(const Pattern& p, std::size_t len, bool final, bool general) const {
    const std::size_t last = lastFor(p, len, final);
    if (last == kNone)
      return false;
    for (std::size_t s = 0; s <= last; ++s) {
      s = next(p, s, last, general);
      if (s == kNone)
        return false;
      if (p.utf8Form ? confirmUtf8(s, len, final, general) : confirmGbk(s, len, final))
        return true;
    }
    return false;
  }

  // One search for an ASCII signature, whose candidates are the same in both.
  void searchBoth(std::size_t len, bool final) {
    const Pattern& p = *m_.gbk_;
    const std::size_t last = lastFor(p, len, final);
    if (last == kNone)
      return;
    for (std::size_t s = 0; s <= last && !(hitGbk_ && hitUtf8_); ++s) {
      s = next(p, s, last, false);
      if (s == kNone)
        return;
      hitGbk_ = hitGbk_ || confirmGbk(s, len, final);
      hitUtf8_ = hitUtf8_ || confirmUtf8(s, len, final, false);
    }
  }

  bool confirmGbk(std::size_t s, std::size_t len, bool final) const {
    return confirm::gbkAt(*m_.gbk_, window(len), s, final);
  }

  bool confirmUtf8(std::size_t s, std::size_t len, bool final, bool general) const {
    return confirm::utf8At(*m_.utf8_, window(len), s, final, general);
  }

  const SignatureMatcher& m_;
  bool keptHigh_ = false;
};

SignatureMatcher::SignatureMatcher(QString signature, text::Encoding encoding,
                                   text::LineEnds lineEnds, const std::optional<QString>& core)
    : signature_(std::move(signature)),
      encoding_(encoding),
      anyLineEnd_(lineEnds == text::LineEnds::Any) {
  if (core && !text::isSignatureSet(signature_))
    core_ = std::make_shared<const SignatureMatcher>(*core, encoding, lineEnds);
  if (text::isSignatureSet(signature_)) {
    const std::vector<QString> signatureTexts = text::memberSignaturesViewing(signature_);
    if (signatureTexts.size() != 1) {
      set_ = SetMatcher::shared(signatureTexts, encoding, lineEnds, signature_);
      need_ = std::max<std::size_t>(set_->need(), 4);
      return;
    }
    // A set of one costs what the signature alone does; copied, since the
    // view is of the text it replaces.
    signature_ = QString(signatureTexts.front().constData(), signatureTexts.front().size());
  }
  const bool any = anyLineEnd_;
  const QString searched = any ? text::lineBreaksAsLf(signature_) : signature_;
  needles_.push_back(searched);
  if (encoding_ != text::Encoding::Utf8)
    gbk_ = std::make_shared<const Pattern>(Pattern::gbk(searched, any));
  if (encoding_ != text::Encoding::Gbk)
    utf8_ = std::make_shared<const Pattern>(Pattern::utf8(searched, any));
  // A UTF-16 page keeps up to a character and a CR of its last bytes.
  need_ = 4;
  for (const auto& p : {gbk_, utf8_}) {
    if (p)
      need_ = std::max(need_, p->maxBytes + 1);
  }
  // The same probes give the same candidates; each form confirms its own.
  shared_ = gbk_ && utf8_ && gbk_->possible && utf8_->possible && gbk_->useProbes &&
            utf8_->useProbes && gbk_->a == utf8_->a && gbk_->b == utf8_->b &&
            gbk_->minBytes == utf8_->minBytes;
}

QString SignatureMatcher::error() const {
  return set_ ? set_->error() : QString();
}

bool SignatureMatcher::possible() const {
  if (set_)
    return set_->possible();
  return (gbk_ && gbk_->possible) || (utf8_ && utf8_->possible);
}

bool SignatureMatcher::matchBytes(QByteArrayView content, std::size_t chunkSize) const {
  if (signature_.isEmpty())
    return true;
  if (!possible())
    return false;
  if (chunkSize == 0)
    chunkSize = kReadSize;
  std::vector<std::uint8_t> buf(chunkSize + need_);
  const auto recount = [content](std::uint64_t upTo, utf8::SequenceCounter& c) {
    c.feed(reinterpret_cast<const std::uint8_t*>(content.data()), std::size_t(upTo));
    return 0;
  };
  const auto feed = [&](auto& s) { return feedContent(content, chunkSize, buf.data(), s); };
  const text::Encoding reading = readingFor(content);
  if (reading == text::Encoding::Utf16Le || reading == text::Encoding::Utf16Be) {
    Utf16Search s(set_ ? set_->utf16Needles() : needles_, reading == text::Encoding::Utf16Be,
                  anyLineEnd_, buf.data());
    return feed(s);
  }
  if (set_) {
    SetMatcher::Search s(*set_, buf.data(), std::uint64_t(content.size()), recount);
    s.fixReading(reading);
    return feed(s);
  }
  Stream s(*this, buf.data(), std::uint64_t(content.size()), recount, reading);
  return feed(s);
}

text::Encoding SignatureMatcher::readingFor(QByteArrayView head) const {
  if (encoding_ != text::Encoding::Auto)
    return encoding_;
  return text::readingOfHead(head).encoding;
}

using fileread::feedFile;
using fileread::FirstPiece;
using fileread::readFirstPiece;

MatchResult SignatureMatcher::matchRegular(int fd, const struct stat& st,
                                           platform::FileIdentity* identity, ReadStats& out) const {
  if (!core_)
    return matchSignature(fd, st, identity, out);
  // A reading that holds the signature holds the core. So a content that lacks
  // the core in the reading taken, and has no other reading to tell, lacks the
  // signature in every reading, and that is most files: only the others are
  // read again, for the signature.
  const MatchResult core = core_->matchSignature(fd, st, identity, out);
  out.holdsCore = core == MatchResult::Match;
  if (core == MatchResult::Error ||
      (core == MatchResult::NoMatch && out.otherReading == text::Encoding::Auto))
    return core;
  ReadStats whole;
  const MatchResult answer = matchSignature(fd, st, identity, whole);
  whole.bytes += out.bytes;
  whole.waited = whole.waited || out.waited;
  whole.holdsCore = out.holdsCore;
  out = std::move(whole);
  return answer;
}

MatchResult SignatureMatcher::matchSignature(int fd, const struct stat& st,
                                             platform::FileIdentity* identity,
                                             ReadStats& out) const {
  if (identity)
    *identity = platform::identityOf(st);
  if (signature_.isEmpty())
    return MatchResult::Match;
  if (!possible()) {
    if (set_ && !set_->error().isEmpty()) {
      out.error = ENOMEM;
      return MatchResult::Error;
    }
    return MatchResult::NoMatch;
  }
  const off_t size = st.st_size;
  if (size > off_t(4 * kReadSize))
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  // One buffer per thread, reused for every file.
  thread_local std::vector<std::uint8_t> buf;
  const std::size_t bufSize = kReadSize + need_;
  if (buf.size() < bufSize)
    buf.resize(bufSize);
  const bool sparse = st.st_blocks < (size + 511) / 512;
  const std::optional<FirstPiece> first = readFirstPiece(fd, buf.data(), size, sparse, out);
  if (!first)
    return MatchResult::Error;
  const text::Encoding reading = readingFor(
      QByteArrayView(buf.data(), qsizetype(std::min(first->bytes, text::kDeclarationBytes))));
  const Pass taken = search(fd, size, sparse, reading, buf, out, *first);
  // The page's first bytes are its author's: a mark or a declaration that
  // would hide what the same bytes without them hold is not taken on trust.
  // Only such a file, when its reading finds nothing, is searched once more
  // as if it had neither; a file with no mark or declaration costs nothing
  // more.
  if (taken.result != MatchResult::NoMatch || encoding_ != text::Encoding::Auto ||
      reading == text::Encoding::Auto)
    return taken.result;
  const std::optional<FirstPiece> again = readFirstPiece(fd, buf.data(), size, sparse, out);
  if (!again)
    return MatchResult::Error;
  ReadStats counted;
  const Pass byCount = search(fd, size, sparse, text::Encoding::Auto, buf, counted, *again);
  out.bytes += counted.bytes;
  out.waited = out.waited || counted.waited;
  if (byCount.result == MatchResult::Error) {
    out.error = counted.error;
    return MatchResult::Error;
  }
  out.members.clear();
  // Told whenever the same bytes with no mark or declaration would be found,
  // or told themselves.
  const text::Encoding holding = byCount.result == MatchResult::NoMatch ? counted.otherReading
                                 : byCount.heldIn == text::Encoding::Auto
                                     ? text::Encoding::Utf8  // both hold it
                                     : byCount.heldIn;
  out.otherReading = text::readingToTell(reading, holding);
  return MatchResult::NoMatch;
}

SignatureMatcher::Pass SignatureMatcher::search(int fd, off_t size, bool sparse,
                                                text::Encoding reading,
                                                std::vector<std::uint8_t>& buf, ReadStats& out,
                                                const fileread::FirstPiece& first) const {
  // Where in the file the piece being searched starts. A recount reads the
  // file up to there: a shortened hole counts as its whole run of zeros would.
  off_t pieceStart = 0;
  const auto recount = [fd, &pieceStart](std::uint64_t, utf8::SequenceCounter& c) {
    const std::uint64_t upTo = std::uint64_t(pieceStart);
    std::vector<std::uint8_t> again(std::min<std::uint64_t>(upTo, 64 * 1024));
    for (std::uint64_t at = 0; at < upTo;) {
      const ssize_t n =
          ::pread(fd, again.data(), std::size_t(std::min<std::uint64_t>(upTo - at, again.size())),
                  off_t(at));
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return errno;
      if (n == 0)
        return EIO;  // cut short since it was read: no answer to give
      c.feed(again.data(), std::size_t(n));
      at += std::uint64_t(n);
    }
    return 0;
  };
  if (reading == text::Encoding::Utf16Le || reading == text::Encoding::Utf16Be) {
    Utf16Search s(set_ ? set_->utf16Needles() : needles_, reading == text::Encoding::Utf16Be,
                  anyLineEnd_, buf.data());
    const MatchResult r = feedFile(fd, size, sparse, need_, s, buf, pieceStart, out, first);
    if (r == MatchResult::Match)
      out.members = {s.found()};
    return {r, reading};
  }
  if (set_) {
    SetMatcher::Search s(*set_, buf.data(), std::uint64_t(size), recount);
    s.fixReading(reading);
    const MatchResult r = feedFile(fd, size, sparse, need_, s, buf, pieceStart, out, first);
    if (r == MatchResult::Match)
      out.members = s.members();
    else if (r == MatchResult::NoMatch)
      out.otherReading = s.otherReading();
    return {r, s.reading()};
  }
  Stream s(*this, buf.data(), std::uint64_t(size), recount, reading);
  const MatchResult r = feedFile(fd, size, sparse, need_, s, buf, pieceStart, out, first);
  if (r == MatchResult::Match)
    out.members = {0};
  else if (r == MatchResult::NoMatch)
    out.otherReading = s.otherReading();
  return {r, s.reading()};
}

}  // namespace scan
