// How the bytes of a file become text: the one rule that the scan, the clean,
// the dry run and the report share.
//
// A file is read as UTF-8 when its valid UTF-8 characters of two to four bytes
// outnumber its bytes that begin no valid character (or when it has no such
// bytes at all): a UTF-8 page with a stray byte stays UTF-8, each stray byte a
// character that matches nothing. Any other file is read as GBK, whose double
// byte characters are invalid UTF-8 nearly always. Pure ASCII reads the same
// either way; a UTF-8 byte-order mark is an ordinary character and stays in
// the bytes. The user may also fix one of the two.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace text {

enum class Encoding {
  Auto,  // UTF-8 when the content is mostly UTF-8 (above), GBK otherwise
  Gbk,
  Utf8,
};

// The encoding a content is read in, given the user's choice and whether the
// rule reads the content as UTF-8 (utf8::SequenceCounter). Never Auto.
inline Encoding resolveEncoding(Encoding choice, bool readsAsUtf8) {
  if (choice != Encoding::Auto)
    return choice;
  return readsAsUtf8 ? Encoding::Utf8 : Encoding::Gbk;
}

// The same for a content in memory.
Encoding encodingOf(QByteArrayView content, Encoding choice = Encoding::Auto);

// The content as text, by the rule. Bytes that do not decode become lone low
// surrogates (U+DC00 + byte), which match no typed signature.
QString decodeContent(QByteArrayView content, Encoding choice = Encoding::Auto);

// The names of the command line: "auto", "gbk", "utf-8".
std::optional<Encoding> encodingNamed(QStringView name);

}  // namespace text
