// A set of signatures: read from JSON Lines set files and from single
// signatures, checked member by member, and handed to the scan and the clean as
// one text (text/signatureset.h).
//
// A set file holds one JSON object a line:
//   {"name": "wave-2-iframe", "text": "<iframe src=\"http://x.example/\" width=0 height=0>",
//    "comment": "found 2026-12-01"}
// "name" is unique in the set and shown in reports; "text" is the signature
// exactly (line ends as the JSON escapes write them), trimmed and lower-cased
// as a single signature is; "action" is optional: "remove" (the default) or
// "quarantine" (the clean takes a file that holds it out of the site whole);
// "comment" is optional and not used. Blank lines
// are passed over; a UTF-8 byte-order mark at the start is ignored.
#pragma once

#include <QByteArrayView>
#include <QHashFunctions>
#include <QString>

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "text/signatureset.h"

namespace signatures {

// What a set may hold. A larger set file (or /dev/zero) is a mistake, not a set.
struct Limits {
  qsizetype fileBytes = 32 * 1024 * 1024;  // one set file
  qsizetype members = 100'000;             // the whole set
  qsizetype textChars = 64 * 1024;         // one signature, in UTF-16 code units
  qsizetype nameChars = 256;
};

class Builder {
 public:
  explicit Builder(Limits limits = {}) : limits_(limits) {}

  // Adds the members of a set file's content; `file` names it in errors.
  // False, with error() naming the file, the line and the field, on the first
  // fault.
  bool addJsonLines(QByteArrayView content, const QString& file);
  // Adds one signature as given (the box's text), named `name`; `where` tells
  // where it came from in an error.
  bool addSignature(const QString& name, const QString& boxText, const QString& where);

  const std::vector<text::SetMember>& members() const { return members_; }
  // The set as one text for the scan and the clean.
  QString text() const { return text::packSignatureSet(members_); }
  const QString& error() const { return error_; }
  const Limits& limits() const { return limits_; }

 private:
  struct LineFields;
  // Where a member came from: a set file's line, or (line 0) what `file`
  // says; made into text only for an error, as most sets have none.
  struct Place {
    QString file;
    qsizetype line = 0;
    QString text() const;
  };
  static std::optional<LineFields> plainLine(QByteArrayView line);
  bool addJsonLine(QByteArrayView line, const Place& where);
  bool addFields(const LineFields& fields, const Place& where);
  bool add(const QString& name, const QString& boxText, const Place& where,
           const QString& nameField, const QString& textField);
  bool failed(const QString& message) {
    error_ = message;
    return false;
  }

  Limits limits_;
  std::vector<text::SetMember> members_;
  // Qt's QHash took a fifth of reading a set of 10,000 members; its seeded
  // string hash is kept, so that no set file can choose names that collide.
  struct NameHash {
    std::size_t operator()(const QString& s) const { return qHash(s, QHashSeed::globalSeed()); }
  };
  std::unordered_map<QString, Place, NameHash> whereNamed_;  // each name's first place
  QString error_;
};

}  // namespace signatures
