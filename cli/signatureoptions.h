// Signature sets on the command line: --signatures FILE (JSON Lines, see
// engine/signaturesetfile.h), and --signature and --signature-file given several times,
// all joining one set; and the set's names in the reports.
#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

#include "clean/remover.h"
#include "cli/common.h"

namespace cli {

struct SetOption {
  QCommandLineOption signatures{QStringLiteral("signatures"), QStringLiteral("signature set"),
                                QStringLiteral("FILE")};
  // The set is built afresh, neither read from the set cache nor kept there.
  QCommandLineOption noCache{QStringLiteral("no-cache"), QStringLiteral("build the set afresh")};
};

void addSetOption(QCommandLineParser& parser, const SetOption& o);

// The set's text (text/signatureset.h) when the options make a set: any
// --signatures, or more than one --signature and --signature-file in all.
// Nothing for one signature, which typedSignature reads as before. Ends the
// command on a fault of the set (its members, sizes and names, as the set's
// reader checks them), naming the file, the line and the field; nothing is
// compiled here: a set the search cannot take is refused where its matcher is
// built. Turns the set cache (engine/setcache.h) on unless --no-cache is given.
std::optional<QString> signatureSetText(const QCommandLineParser& parser, const Common& c,
                                        const SetOption& o, Sink& err);

// The member names of a set's text, by index; empty for one signature.
QStringList memberNames(QStringView signature);

// "signatures": the name of each occurrence's member, for a set.
void putSignatureNames(QJsonObject& o, const std::vector<clean::ByteRange>& ranges,
                       QStringView signature);
// " [name, name, ...]": the same for the plain dry run; empty for one signature.
QByteArray signatureNamesText(const std::vector<clean::ByteRange>& ranges, QStringView signature);

// Detections per member, for the scan's summary: a file counts once for each
// member among its occurrences.
class SignatureCounts {
 public:
  void count(const QJsonObject& detection);
  QJsonObject toJson(const QStringList& names) const;

 private:
  QHash<QString, qint64> files_;
};

}  // namespace cli
