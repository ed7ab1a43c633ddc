#include "text/signatureset.h"

namespace text {

bool reservedInSets(QChar c) {
  return c.unicode() == 0xFDD0 || c.unicode() == kSetSeparator;
}

bool isSignatureSet(QStringView signature) {
  return signature.startsWith(QStringView(kSetMarker));
}

QString packSignatureSet(const std::vector<SetMember>& members) {
  QString out = QString::fromUtf16(kSetMarker);
  for (const SetMember& m : members) {
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
    out.push_back(SetMember{signature.sliced(at, nameEnd - at).toString(),
                            signature.sliced(nameEnd + 1, textEnd - nameEnd - 1).toString()});
    at = textEnd + 1;
  }
  return out;
}

}  // namespace text
