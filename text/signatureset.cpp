#include "text/signatureset.h"

#include <utility>

namespace text {

bool reservedInSets(QChar c) {
  return c.unicode() == 0xFDD0 || c.unicode() == kSetSeparator || c.unicode() == kQuarantineMark;
}

bool isSignatureSet(QStringView signature) {
  return signature.startsWith(QStringView(kSetMarker));
}

QString packSignatureSet(const std::vector<SetMember>& members) {
  QString out = QString::fromUtf16(kSetMarker);
  for (const SetMember& m : members) {
    if (m.action == MemberAction::Quarantine)
      out += QChar(kQuarantineMark);
    out += m.name;
    out += QChar(kSetSeparator);
    out += m.signature;
    out += QChar(kSetSeparator);
  }
  return out;
}

std::vector<SetMember> unpackSignatureSet(QStringView signature) {
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
    SetMember m{signature.sliced(at, nameEnd - at).toString(),
                signature.sliced(nameEnd + 1, textEnd - nameEnd - 1).toString()};
    if (m.name.startsWith(QChar(kQuarantineMark))) {
      m.name.remove(0, 1);
      m.action = MemberAction::Quarantine;
    }
    out.push_back(std::move(m));
    at = textEnd + 1;
  }
  return out;
}

bool anyQuarantines(QStringView signature) {
  if (!isSignatureSet(signature))
    return false;
  for (const SetMember& m : unpackSignatureSet(signature)) {
    if (m.action == MemberAction::Quarantine)
      return true;
  }
  return false;
}

}  // namespace text
