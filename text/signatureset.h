// A set of signatures written as one text, so that a set travels every road a
// single signature does (the scan, the clean, the backup run's record, the
// report) without each of them learning a new type: the set's text begins with
// two reserved noncharacters and holds each member's name and signature, each
// followed by the separator. A signature (typed, pasted or read from a file)
// never begins with the marker, and a set's names and texts never hold the
// reserved characters (the set file's reader refuses them).
#pragma once

#include <QString>
#include <QStringView>

#include <vector>

namespace text {

struct SetMember {
  QString name;
  // Trimmed and lower-cased, as a single signature is.
  QString signature;
};

inline constexpr char16_t kSetMarker[] = u"\uFDD0\uFDD1";
inline constexpr char16_t kSetSeparator = u'\uFDD1';

// Whether a character may not appear in a set's names or texts.
inline bool reservedInSets(QChar c) {
  return c.unicode() == 0xFDD0 || c.unicode() == kSetSeparator;
}

inline bool isSignatureSet(QStringView signature) {
  return signature.startsWith(QStringView(kSetMarker));
}

inline QString packSignatureSet(const std::vector<SetMember>& members) {
  QString out = QString::fromUtf16(kSetMarker);
  for (const SetMember& m : members) {
    out += m.name;
    out += QChar(kSetSeparator);
    out += m.signature;
    out += QChar(kSetSeparator);
  }
  return out;
}

// The members of a set's text; a plain signature is one member with no name.
inline std::vector<SetMember> unpackSignatureSet(QStringView signature) {
  if (!isSignatureSet(signature))
    return {SetMember{QString(), signature.toString()}};
  std::vector<SetMember> out;
  qsizetype at = QStringView(kSetMarker).size();
  for (;;) {
    const qsizetype nameEnd = signature.indexOf(QChar(kSetSeparator), at);
    if (nameEnd < 0)
      break;
    const qsizetype textEnd = signature.indexOf(QChar(kSetSeparator), nameEnd + 1);
    if (textEnd < 0)
      break;
    out.push_back(SetMember{signature.sliced(at, nameEnd - at).toString(),
                            signature.sliced(nameEnd + 1, textEnd - nameEnd - 1).toString()});
    at = textEnd + 1;
  }
  return out;
}

}  // namespace text
