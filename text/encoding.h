// How the bytes of a file become text: the one rule that the scan, the clean,
// the dry run, the watch and the report share. A page is read as a browser
// reads it, so that its author cannot pick a reading that hides it:
//
// 1. a byte-order mark: UTF-8, UTF-16LE or UTF-16BE;
// 2. otherwise the encoding its first 1,024 bytes declare, found as a browser's
//    prescan finds it (<meta charset>, <meta http-equiv="Content-Type">,
//    comments skipped), or an XML declaration's encoding, or a CSS @charset,
//    when it is one of UTF-8 or of the GBK family;
// 3. otherwise the count: UTF-8 when its valid UTF-8 characters of two to four
//    bytes outnumber its bytes that begin no valid character (or when it has
//    no such bytes at all), GBK when not. A UTF-8 page with a stray byte stays
//    UTF-8, each stray byte a character that matches nothing; GBK's double
//    byte characters are invalid UTF-8 nearly always.
//
// A page that declares an encoding read in neither way keeps the count, and
// the label it declared is told. The byte-order mark stays in the bytes, as
// the character U+FEFF. The user may also fix one reading.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "text/utf8.h"

namespace text {

enum class Encoding {
  Auto,  // by the rule above
  Gbk,
  Utf8,
  Utf16Le,
  Utf16Be,
};

// What decided a content's reading.
enum class Decider {
  Option,       // the user's choice
  Bom,          // a byte-order mark
  Declaration,  // a declaration in the first bytes
  Count,        // the count of valid characters and stray bytes
};

// The bytes at the start of a content where a declaration counts.
inline constexpr std::size_t kDeclarationBytes = 1024;

// What a content's first bytes decide.
struct HeadReading {
  // Auto: nothing; the count decides.
  Encoding encoding = Encoding::Auto;
  Decider decider = Decider::Count;
  // A label declared that names an encoding read in neither way.
  QByteArray unreadLabel;
};

// The reading that a content's first bytes (at most kDeclarationBytes of them
// are looked at) give: its byte-order mark, else its declaration.
HeadReading readingOfHead(QByteArrayView head);

// A content's reading as a whole. Never Auto.
struct Reading {
  Encoding encoding = Encoding::Utf8;
  Decider decider = Decider::Count;
  QByteArray unreadLabel;
};

// The reading given the user's choice, what the first bytes decide and, for
// the count, whether the count reads the content as UTF-8
// (utf8::SequenceCounter).
Reading resolveReading(Encoding choice, const HeadReading& head, bool countReadsUtf8);

// A content's reading, found as it is read piece by piece: its first bytes
// kept for the byte-order mark and the declaration, the rest counted.
class ReadingFinder {
 public:
  explicit ReadingFinder(Encoding choice) : choice_(choice) {}
  void feed(const std::uint8_t* p, std::size_t n);
  // Whether the reading is known already: the rest need not be fed.
  bool decided() const { return choice_ != Encoding::Auto || head_.encoding != Encoding::Auto; }
  // The reading, once the whole content (or enough to decide) was fed.
  Reading finish();

 private:
  Encoding choice_;
  QByteArray first_;
  bool headSeen_ = false;
  HeadReading head_;
  utf8::SequenceCounter counter_;
};

// The reading the user is told of, for a content that holds no occurrence in
// the reading taken (`taken`): `holding`, a reading that holds one, unless it is
// the one taken. Auto: none to tell. The other reading of a page the count
// decided, and a reading of a page's bytes without the mark or declaration
// that decided it, are told this way: either could be its author's choice.
inline Encoding readingToTell(Encoding taken, Encoding holding) {
  return holding == taken ? Encoding::Auto : holding;
}
// The same where `taken` is GBK or UTF-8 (else Auto) and the other of the two
// was searched too: whether each holds an occurrence.
inline Encoding readingToTell(Encoding taken, bool gbkHolds, bool utf8Holds) {
  if (taken == Encoding::Gbk && utf8Holds && !gbkHolds)
    return readingToTell(taken, Encoding::Utf8);
  if (taken == Encoding::Utf8 && gbkHolds && !utf8Holds)
    return readingToTell(taken, Encoding::Gbk);
  return Encoding::Auto;
}

// The reading of a content in memory.
Reading readingOf(QByteArrayView content, Encoding choice = Encoding::Auto);
inline Encoding encodingOf(QByteArrayView content, Encoding choice = Encoding::Auto) {
  return readingOf(content, choice).encoding;
}

// The content as text, by the rule. Bytes that do not decode become lone low
// surrogates (U+DC00 + byte), which match no typed signature.
QString decodeContent(QByteArrayView content, Encoding choice = Encoding::Auto);

// UTF-8 as its text, each byte that begins no valid character as a lone low
// surrogate (U+DC00 + byte).
QString decodeUtf8(QByteArrayView bytes);

// The names of the command line: "auto", "gbk", "utf-8"; and of the report,
// which adds "utf-16le" and "utf-16be".
std::optional<Encoding> encodingNamed(QStringView name);
QString encodingName(Encoding encoding);
// "option", "bom", "declaration", "count".
QString deciderName(Decider decider);

}  // namespace text
