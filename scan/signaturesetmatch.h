// Matching a set of signatures in one read of a file.
//
// Hyperscan finds the candidates, searching each buffer with the bytes kept
// from the one before. Most members have a piece among their first characters
// whose every byte form (in the GBK and the UTF-8 reading) is the same bytes up
// to ASCII letter case: that piece is one caseless literal of a literal
// database. The others are one expression each, every character an
// alternation of the byte forms that read and lower-case to it (any line
// break for a line break unless line ends are exact). A candidate is only a
// byte match: each is confirmed by the single signature's own rule
// (scan/confirm.h), which decodes the member from each start the candidate's
// end allows and checks GBK character boundaries backwards. As for one
// signature, the reading the rule gives matters only where the two readings
// disagree; only then is the content counted (its start read once more).
#pragma once

#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scan/bufferedsearch.h"
#include "scan/bytesearch.h"
#include "scan/pattern.h"
#include "text/encoding.h"
#include "text/lineends.h"
#include "text/utf8.h"

struct hs_database;

namespace scan {

// A seam for tests: the Hyperscan steps of the set search that can fail (on a
// file, or the set's build), and the step made to fail from now on (none:
// nothing is made to fail).
enum class SetSearchStep { Scratch, Scan, LateCompile, Build };
void failSetSearchAt(std::optional<SetSearchStep> step);
bool setSearchFails(SetSearchStep step);

class SetMatcher;

// Where built sets are kept from one run to the next (the engine's set cache):
// building a large set costs far more than reading it back.
class BuiltSetStore {
 public:
  virtual ~BuiltSetStore() = default;
  // The image kept under `key` once the store trusts it; empty when none is.
  virtual QByteArray load(const QByteArray& key) = 0;
  virtual void save(const QByteArray& key, const QByteArray& image) = 0;
};

class SetMatcher {
 public:
  // `signatureTexts`: the members, each trimmed and lower-cased.
  SetMatcher(const std::vector<QString>& signatureTexts, text::Encoding encoding,
             text::LineEnds lineEnds);
  ~SetMatcher();
  // The same, shared with the last caller that asked for the same set: a
  // command that checks a set before it scans builds it once. `holder` is
  // the text whose characters `signatureTexts` may view
  // (text::memberSignaturesViewing): the set keeps it as long as it lives.
  static std::shared_ptr<const SetMatcher> shared(const std::vector<QString>& signatureTexts,
                                                  text::Encoding encoding, text::LineEnds lineEnds,
                                                  const QString& holder = QString());
  SetMatcher(const SetMatcher&) = delete;
  SetMatcher& operator=(const SetMatcher&) = delete;

  // From now on shared() reads the sets it needs from `store` and keeps there
  // those it builds (null: every set is built).
  static void keepBuiltSetsIn(std::shared_ptr<BuiltSetStore> store);
  // A set's name in a store: the SHA-256 (hex) of the image's format,
  // Hyperscan's version, the platform, the options and the members.
  static QByteArray storeKey(const std::vector<QString>& signatureTexts, text::Encoding encoding,
                             text::LineEnds lineEnds);
  // The built set as bytes, and back: null where `image` is not an image of
  // this set made by this build with this Hyperscan (then it is built anew).
  QByteArray image() const;
  static std::unique_ptr<SetMatcher> fromImage(const std::vector<QString>& signatureTexts,
                                               text::Encoding encoding, text::LineEnds lineEnds,
                                               QByteArrayView image);

  // Why the candidates' database could not be built (then nothing matches).
  const QString& error() const { return error_; }
  // Whether some member can match at all.
  bool possible() const { return db_ != nullptr || literalDbs_[0] != nullptr; }
  // The bytes of the compiled database.
  std::size_t databaseBytes() const;

  // One more than the bytes kept from one buffer to the next: the longest form
  // of any member and the spread of its starts, so that a deferred candidate
  // keeps every start it allows.
  std::size_t need() const { return need_; }
  text::Encoding encoding() const { return encoding_; }
  // The members as a page read as UTF-16 is searched for them.
  const std::vector<QString>& utf16Needles() const { return utf16Needles_; }

  // One content's search, fed in buffers as SignatureMatcher::Stream is: buf[0,
  // kept()) holds the bytes kept from the last round, buf[kept(), len) the new
  // ones. `all`: go on to the end to find every member that occurs, instead of
  // stopping at the first confirmed occurrence.
  class Search : public BufferedSearch {
   public:
    // `size`: the most bytes the content can have. `recount`: how to read the
    // content's start again, for the rare content where the two readings
    // disagree (only then does the reading matter, and only then is it counted).
    Search(const SetMatcher& m, std::uint8_t* buf, std::uint64_t size, Recount&& recount,
           bool all = false);
    ~Search();
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    // The answer once settled (always after the final piece).
    std::optional<bool> scan(std::size_t len, bool final);
    // Reads the content as `reading` (Gbk or Utf8: what the content's first
    // bytes declare) instead of by the count, unless the user chose one.
    void fixReading(text::Encoding reading);
    // The members found in the content's reading, in ascending order, once the
    // answer is settled (only those found until then unless `all`).
    std::vector<std::uint32_t> members() const;

   private:
    friend class SetMatcher;
    static int onMatch(unsigned id, unsigned long long from, unsigned long long to, unsigned flags,
                       void* ctx);
    // The same for a search of the whole buffer, `to` counted from its start.
    static int onBufferMatch(unsigned id, unsigned long long from, unsigned long long to,
                             unsigned flags, void* ctx);
    // Confirms the candidate of expression `id` that ends at content offset `end`.
    void check(unsigned id, std::uint64_t end, bool final);
    bool wanted(bool gbk) const;
    bool decidable(unsigned id, std::uint64_t end) const;
    // This round's candidates: those that waited for its bytes, then the
    // databases' over the whole buffer. False (with error_ set) when a search fails.
    bool searchRound(std::size_t len, std::size_t fresh);
    // Searches buf_[0, len) with `db`; false (with error_ set) when Hyperscan fails.
    bool searchBuffer(const hs_database* db, std::size_t len);
    // Where a UTF-8 form of another length occurs, the buffer once more for
    // the members' forms that hold one.
    bool searchOddForms(std::size_t len);

    const SetMatcher& m_;
    std::size_t len_ = 0;
    std::uint64_t base_ = 0;  // the content offset of buf_[0]
    bool all_;
    bool final_ = false;
    // Candidates that end at the last byte so far: decided with the next bytes.
    std::vector<std::pair<unsigned, std::uint64_t>> deferred_;
    std::vector<bool> foundGbk_;
    std::vector<bool> foundUtf8_;
    // Members found in one reading and not in the other.
    std::size_t disagree_ = 0;
  };

  // The test on content in memory, fed in pieces of `chunkSize` bytes; with
  // `members`, every member that occurs is stored there.
  bool matchBytes(QByteArrayView content, std::size_t chunkSize = 0,
                  std::vector<std::uint32_t>* members = nullptr) const;

 private:
  struct Unbuilt {};
  // The members' own texts only; build() or an image gives the rest.
  SetMatcher(const std::vector<QString>& signatureTexts, text::Encoding encoding,
             text::LineEnds lineEnds, Unbuilt);
  // The build's steps (signaturesetbuild.cpp).
  struct Build;
  struct MemberSlot;
  struct FormsMaker;
  struct Expression;
  // A member's forms in the readings one of its expressions searches.
  struct MemberReading {
    std::uint32_t member;
    const Pattern* gbk;
    const Pattern* utf8;
  };
  void build(const std::vector<QString>& signatureTexts);
  void makeMember(FormsMaker& maker, const QString& signature, MemberSlot& slot) const;
  void addMember(Build& gathered, std::uint32_t member, MemberSlot& slot);
  void addReading(Build& gathered, const MemberReading& reading);
  void addLiteral(Build& gathered, const Expression& e, std::string literal);
  void compile(Build& gathered);
  bool readImage(QByteArrayView image);

  struct Expression {
    std::uint32_t member;
    bool gbk;   // whether this expression is the member's GBK form
    bool utf8;  // the same for UTF-8
    // The bytes from the member's start to the end of what the expression
    // matches (its first characters, or a piece of them), and that the whole
    // member may take.
    std::size_t minBytes;
    std::size_t maxBytes;
    std::size_t wholeMaxBytes;
  };
  std::size_t members_ = 0;
  QString holder_;  // what the members' texts may view
  // The members, as searched in a page read as UTF-16.
  std::vector<QString> utf16Needles_;
  bool anyLineEnd_;
  text::Encoding encoding_;
  std::vector<Expression> expressions_;
  hs_database* db_ = nullptr;
  // The members whose first characters have one byte form up to ASCII letter
  // case (most injected text) as caseless literals: Hyperscan's literal
  // matcher takes thousands of them at the speed of a few, and builds them in
  // a fraction of the time an expression takes. A large set's literals are
  // compiled in two halves on two threads, each searched in turn.
  std::array<hs_database*, 2> literalDbs_{};
  QString error_;
  std::size_t need_ = 1;
  std::uint64_t generation_;
  // The expressions with UTF-8 forms of another length, from oddFirst_ on in
  // expressions_, searched in a block database of their own (oddDatabase())
  // where one of the forms' first two bytes occur.
  hs_database* oddDatabase() const;
  std::size_t oddFirst_ = 0;
  std::vector<std::string> oddRegexes_;
  std::vector<std::pair<bytesearch::Probe, bytesearch::Probe>> oddPrefixes_;
  mutable std::once_flag oddOnce_;
  mutable hs_database* oddDb_ = nullptr;
  // Each member's patterns for the confirmation, made on its first candidate.
  struct Confirmation {
    std::optional<Pattern> gbk;
    std::optional<Pattern> utf8;
  };
  const Confirmation& confirmation(std::uint32_t member) const;
  std::unique_ptr<std::once_flag[]> confirmationOnce_;
  mutable std::vector<std::unique_ptr<Confirmation>> confirmations_;
};

}  // namespace scan
