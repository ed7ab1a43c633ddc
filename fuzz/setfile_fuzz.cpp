// Target for set files: any bytes as a set file's content. A set file is read
// or refused with an error that names it; a set read keeps the limits, and
// each member's name and signature as the set's one text carries them (each
// signature already trimmed and lower-cased, as a second reading would leave
// it). Reading is the same twice.
//
// Input: mode byte, then the content. Mode bit 0 takes small limits, so that
// each of them is reached.
#include <QByteArray>
#include <QSet>
#include <QString>

#include "engine/signaturesetfile.h"
#include "fuzzsupport.h"
#include "text/signatureset.h"
#include "text/textops.h"

namespace {

const QString kFile = QStringLiteral("set.jsonl");

signatures::Limits limitsFor(uint8_t mode) {
  signatures::Limits limits;
  if (mode & 1) {
    limits.fileBytes = 4096;
    limits.members = 8;
    limits.textChars = 64;
    limits.nameChars = 16;
  }
  return limits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.byte();
  const QByteArray content = in.rest();
  const signatures::Limits limits = limitsFor(mode);

  signatures::Builder set(limits);
  const bool ok = set.addJsonLines(content, kFile);
  signatures::Builder again(limits);
  if (again.addJsonLines(content, kFile) != ok || again.error() != set.error())
    fuzz::fail("the same content read twice gave two answers");
  if (!ok) {
    if (!set.error().startsWith(kFile + u':'))
      fuzz::fail("an error that does not name the set file");
    return 0;
  }
  const std::vector<text::SetMember>& members = set.members();
  if (qsizetype(members.size()) > limits.members)
    fuzz::fail("more members than the limit");
  QSet<QString> names;
  for (const text::SetMember& m : members) {
    if (m.name.isEmpty() || m.name.size() > limits.nameChars)
      fuzz::fail("a name empty or over the limit");
    if (m.signature.isEmpty() || m.signature.size() > limits.textChars)
      fuzz::fail("a signature empty or over the limit");
    if (text::signatureFrom(m.signature) != m.signature) {
      fuzz::dump("signature", m.signature);
      fuzz::fail("a signature that a second trim and lower case changes");
    }
    names.insert(text::lowerCase(m.name));
  }
  if (qsizetype(names.size()) != qsizetype(members.size()))
    fuzz::fail("two members whose names differ only in case");
  const std::vector<text::SetMember> back = text::unpackSignatureSet(set.text());
  bool same = back.size() == members.size();
  for (std::size_t i = 0; same && i < back.size(); ++i)
    same = back[i].name == members[i].name && back[i].signature == members[i].signature &&
           back[i].action == members[i].action;
  if (!same)
    fuzz::fail("the set's text does not carry its members");
  return 0;
}
