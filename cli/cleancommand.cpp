// tervane-cli clean: the main window's Clean over a results log read from a file,
// or over the files of a scan's report; with --dry-run, what it would remove.
#include <fcntl.h>
#include <sys/stat.h>

#include <QHash>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

#include "app/cleaner.h"
#include "clean/failures.h"
#include "cli/common.h"
#include "cli/report.h"
#include "platform/fd.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The files to clean, in order, and the identity each must still have (the
// scan's, from its report).
struct Listed {
  QList<QByteArray> paths;
  QHash<QByteArray, platform::FileIdentity> identities;
};

Listed fromLog(const QByteArray& log) {
  // One path per line; a CR before the LF belongs to the line end. A last line
  // without LF is a path as well.
  Listed l;
  QList<QByteArray> lines = log.split('\n');
  if (lines.back().isEmpty())
    lines.removeLast();
  for (QByteArray& line : lines) {
    if (line.endsWith('\r'))
      line.chop(1);
    l.paths.append(line);
  }
  return l;
}

Listed fromReport(const QString& file, Sink& err) {
  QString why;
  const auto files = readReport(readAllOrFail(file, err), &why);
  if (!files)
    fail(err, file + u": "_s + why);
  Listed l;
  for (const ReportedFile& f : *files) {
    // A file found twice was the same file both times, or the report is not one scan's.
    const auto seen = l.identities.constFind(f.path);
    if (seen != l.identities.constEnd() && seen.value() != f.identity)
      fail(err, file + u": two identities for "_s + platform::decodePath(f.path));
    l.paths.append(f.path);
    l.identities.insert(f.path, f.identity);
  }
  return l;
}

// The byte ranges as "FIRST-LAST" (both included), separated by spaces.
QByteArray rangesText(const std::vector<clean::ByteRange>& ranges) {
  QByteArray s;
  for (const clean::ByteRange& r : ranges) {
    if (!s.isEmpty())
      s += ' ';
    s += QByteArray::number(r.offset) + '-' + QByteArray::number(r.offset + r.length - 1);
  }
  return s;
}

// Reads each file and tells what the clean would remove from it; changes nothing.
int dryRun(const Listed& listed, const QString& gjz, bool json, Sink& out, Sink& err) {
  int status = kOk;
  qint64 changing = 0;
  qint64 failed = 0;
  for (const QByteArray& path : listed.paths) {
    QJsonObject o{{u"type"_s, u"clean"_s}};
    platform::putPath(o, path);
    int error = 0;
    QString why;
    platform::UniqueFd fd(openToRead(AT_FDCWD, path));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0) {
      error = errno;
    } else if (!S_ISREG(st.st_mode)) {
      why = u"not a regular file"_s;
    } else if (const auto id = listed.identities.constFind(path);
               id != listed.identities.constEnd() && id.value() != platform::identityOf(st)) {
      why = u"not the file the scan found there"_s;
    }
    Occurrences found;
    if (error == 0 && why.isEmpty()) {
      found = findOccurrences(fd.get(), gjz);
      error = found.error;
    }
    if (error != 0 || !why.isEmpty()) {
      if (why.isEmpty())
        why = QString::fromLocal8Bit(std::strerror(error));
      ++failed;
      status = kError;
      err.write("tervane-cli: " + path + ": " + local(why) + '\n');
      o.insert(u"outcome"_s, u"failed"_s);
      o.insert(u"error"_s, why);
    } else {
      const bool changes = !found.ranges.empty();
      changing += changes ? 1 : 0;
      o.insert(u"outcome"_s, changes ? u"would-clean"_s : u"unchanged"_s);
      putOccurrences(o, found.ranges);
      putStat(o, st);
      if (!json) {
        out.write(path + ": " +
                  (changes ? QByteArray::number(qlonglong(found.ranges.size())) +
                                 " to remove, bytes " + rangesText(found.ranges)
                           : QByteArray("unchanged")) +
                  '\n');
      }
    }
    if (json)
      out.write(jsonLine(o));
  }
  if (json) {
    out.write(jsonLine(QJsonObject{{u"type"_s, u"summary"_s},
                                   {u"files"_s, qint64(listed.paths.size())},
                                   {u"files_changing"_s, changing},
                                   {u"files_failed"_s, failed}}));
  }
  return status;
}

}  // namespace

int runClean(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption dry(u"dry-run"_s, u"preview"_s);
  const QCommandLineOption json(u"json"_s, u"JSON Lines"_s);
  const QCommandLineOption report(u"report"_s, u"scan report"_s, u"FILE"_s);
  parser.addOption(dry);
  parser.addOption(json);
  parser.addOption(report);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"clean takes at most one LOG"_s);
  if (parser.isSet(report) && !positional.isEmpty())
    usageError(err, u"give either LOG or --report"_s);
  if (parser.values(report).size() > 1)
    usageError(err, u"an option is given twice"_s);
  const QString signature = signatureBox(parser, c, err);

  const Listed listed =
      parser.isSet(report)
          ? fromReport(parser.value(report), err)
          : fromLog(readAllOrFail(positional.isEmpty() ? u"-"_s : positional.front(), err));

  if (parser.isSet(dry)) {
    const int status = dryRun(listed, text::signatureFrom(signature), parser.isSet(json), out, err);
    checkOutput(out, err);
    return status;
  }

  QString text1;
  for (const QByteArray& path : listed.paths) {
    text1 += platform::decodePath(path);
    text1 += text::kCrLf;
  }
  CliWindowState w(out, err, false);
  w.Text3 = signature;
  w.setResultsText(text1);
  // The scan's identities: each file must still be the one the scan read, as in
  // the window after its own scan.
  for (auto it = listed.identities.cbegin(); it != listed.identities.cend(); ++it)
    w.scannedFiles.insert(platform::decodePath(it.key()), it.value());
  Cleaner cleaner(w);
  // Counted just before the clean: the removal itself reports no number.
  QHash<QByteArray, qint64> counts;
  if (parser.isSet(json)) {
    w.setJson(true);
    const QString gjz = text::signatureFrom(signature);
    for (const QByteArray& path : listed.paths) {
      platform::UniqueFd fd(openToRead(AT_FDCWD, path));
      if (fd.ok())
        counts.insert(path, qint64(findOccurrences(fd.get(), gjz).ranges.size()));
    }
    cleaner.onFile = [&](const QString& path, const std::optional<clean::Failure>& failure) {
      const QByteArray bytes = platform::encodePath(path);
      QJsonObject o{{u"type"_s, u"clean"_s}};
      platform::putPath(o, bytes);
      o.insert(u"outcome"_s, failure ? u"failed"_s : u"cleaned"_s);
      if (failure)
        o.insert(u"error"_s, text::fromCrLf(clean::failureMessage(path, *failure)));
      else if (counts.contains(bytes))
        o.insert(u"occurrences"_s, counts.value(bytes));
      out.write(jsonLine(o));
    };
  }
  cleaner.Command2_Click();
  checkOutput(out, err);
  return w.messageShown() ? kError : kOk;
}

}  // namespace cli
