#include "cli/signatureoptions.h"

#include <unistd.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QSet>

#include <mutex>

#include "engine/setcache.h"
#include "engine/signaturesetfile.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/signatureset.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The text of a --signature-file, checked as the single signature's is.
QString signatureFileText(const QString& path, Sink& err) {
  QByteArray bytes = readAllOrFail(path, err, kSignatureFileLimit);
  if (bytes.size() > kSignatureFileLimit)
    fail(err, u"the signature file "_s + shown(path) +
                  u" is larger than 1 MiB, the most a signature may take"_s);
  if (bytes.startsWith("\xEF\xBB\xBF"))
    bytes.remove(0, 3);
  if (const qsizetype bad = platform::invalidUtf8At(bytes); bad >= 0) {
    const qsizetype line = QByteArrayView(bytes).first(bad).count('\n') + 1;
    fail(err,
         shown(path) +
             u":%1: not UTF-8 text: byte %2 is not part of a character"_s.arg(line).arg(bad + 1));
  }
  return QString::fromUtf8(bytes);
}

}  // namespace

void addSetOption(QCommandLineParser& parser, const SetOption& o) {
  parser.addOption(o.signatures);
  parser.addOption(o.noCache);
}

std::optional<QString> signatureSetText(const QCommandLineParser& parser, const Common& c,
                                        const SetOption& o, Sink& err) {
  const QStringList files = parser.values(o.signatures);
  const QStringList texts = parser.values(c.signature);
  const QStringList signatureFiles = parser.values(c.signatureFile);
  if (files.isEmpty() && texts.size() + signatureFiles.size() <= 1)
    return std::nullopt;
  engine::keepBuiltSets(!parser.isSet(o.noCache), [](const QString& why) {
    Sink(STDERR_FILENO).write("tervane-cli: " + platform::visibleText(why).toUtf8() + '\n');
  });
  signatures::Builder set;
  for (const QString& file : files) {
    const QByteArray content = readAllOrFail(file, err, set.limits().fileBytes);
    if (!set.addJsonLines(content, shown(file)))
      fail(err, set.error());
  }
  for (qsizetype i = 0; i < texts.size(); ++i) {
    const QString where = u"--signature %1"_s.arg(i + 1);
    const QByteArray bytes = local(texts[i]);
    if (const qsizetype bad = platform::invalidUtf8At(bytes); bad >= 0)
      fail(err, where + u": not UTF-8 text: byte %1 is not part of a character"_s.arg(bad + 1));
    if (!set.addSignature(u"signature %1"_s.arg(i + 1), QString::fromUtf8(bytes), where))
      fail(err, set.error());
  }
  for (const QString& file : signatureFiles) {
    if (!set.addSignature(shown(file), signatureFileText(file, err), shown(file)))
      fail(err, set.error());
  }
  if (set.members().empty())
    fail(err, u"the signature set is empty"_s);
  return set.text();
}

QStringList memberNames(QStringView signature) {
  // A report names many files with the same set: its names are taken out once.
  static std::mutex lock;
  static QString last;
  static QStringList names;
  const std::lock_guard<std::mutex> hold(lock);
  if (signature.size() != last.size() || signature != QStringView(last)) {
    last = signature.toString();
    names.clear();
    if (text::isSignatureSet(signature)) {
      for (const text::SetMember& m : text::unpackSignatureSet(signature))
        names.append(m.name);
    }
  }
  return names;
}

void putSignatureNames(QJsonObject& o, const std::vector<clean::ByteRange>& ranges,
                       QStringView signature) {
  const QStringList names = memberNames(signature);
  if (names.isEmpty())
    return;
  QJsonArray list;
  for (const clean::ByteRange& r : ranges)
    list.append(names.value(qsizetype(r.member)));
  o.insert(u"signatures"_s, list);
}

QByteArray signatureNamesText(const std::vector<clean::ByteRange>& ranges, QStringView signature) {
  const QStringList names = memberNames(signature);
  if (names.isEmpty() || ranges.empty())
    return {};
  QStringList shownNames;
  for (const clean::ByteRange& r : ranges)
    shownNames.append(names.value(qsizetype(r.member)));
  return " [" + platform::visibleText(shownNames.join(u", "_s)).toUtf8() + ']';
}

void SignatureCounts::count(const QJsonObject& detection) {
  QSet<QString> seen;
  for (const QJsonValue& v : detection.value(u"signatures"_s).toArray()) {
    if (!seen.contains(v.toString())) {
      seen.insert(v.toString());
      ++files_[v.toString()];
    }
  }
}

QJsonObject SignatureCounts::toJson(const QStringList& names) const {
  // Every member, those that found nothing included, so that a reader sees them all.
  QJsonObject o;
  for (const QString& name : names)
    o.insert(name, files_.value(name));
  return o;
}

}  // namespace cli
