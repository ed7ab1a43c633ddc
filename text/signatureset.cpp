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
  // Sized once: a large set's text is megabytes, and growing it leaves up to
  // half as much again unused for as long as the scan runs.
  qsizetype size = QStringView(kSetMarker).size();
  for (const SetMember& m : members)
    size += 3 + m.name.size() + m.signature.size();
  QString out;
  out.reserve(size);
  out += QStringView(kSetMarker);
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

namespace {

// Each member's name (its quarantine mark included) and signature, in order:
// the one reading of a packed set.
template <typename Each>
void forEachMember(QStringView signature, Each each) {
  qsizetype at = QStringView(kSetMarker).size();
  for (;;) {
    const qsizetype nameEnd = signature.indexOf(QChar(kSetSeparator), at);
    if (nameEnd < 0)
      break;
    const qsizetype textEnd = signature.indexOf(QChar(kSetSeparator), nameEnd + 1);
    if (textEnd < 0)
      break;
    each(signature.sliced(at, nameEnd - at), signature.sliced(nameEnd + 1, textEnd - nameEnd - 1));
    at = textEnd + 1;
  }
}

}  // namespace

std::vector<SetMember> unpackSignatureSet(QStringView signature) {
  if (!isSignatureSet(signature))
    return {SetMember{QString(), signature.toString()}};
  std::vector<SetMember> out;
  forEachMember(signature, [&](QStringView name, QStringView text) {
    SetMember m{name.toString(), text.toString()};
    if (m.name.startsWith(QChar(kQuarantineMark))) {
      m.name.remove(0, 1);
      m.action = MemberAction::Quarantine;
    }
    out.push_back(std::move(m));
  });
  return out;
}

std::vector<QString> memberSignaturesViewing(const QString& signature) {
  if (!isSignatureSet(signature))
    return {signature};
  std::vector<QString> out;
  forEachMember(signature, [&](QStringView, QStringView text) {
    out.push_back(QString::fromRawData(text.data(), text.size()));
  });
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
