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
#include "cli/logreader.h"
#include "cli/report.h"
#include "platform/fd.h"
#include "platform/openpath.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The log is cleaned a batch of lines at a time, so that memory stays bounded
// however long it is; a file is cleaned as soon as its batch is read.
constexpr qsizetype kBatchLines = 1024;
constexpr qsizetype kBatchChars = 4 * 1024 * 1024;

// The identities a scan's report gives its files, by their paths' bytes.
using Identities = QHash<QByteArray, platform::FileIdentity>;

// The files of a report, in order, with their identities.
QList<QByteArray> fromReport(const QString& file, Identities& identities, Sink& err) {
  QString why;
  const auto files = readReport(readAllOrFail(file, err), &why);
  if (!files)
    fail(err, shown(file) + u": "_s + why);
  QList<QByteArray> paths;
  for (const ReportedFile& f : *files) {
    // A file found twice was the same file both times, or the report is not one scan's.
    const auto seen = identities.constFind(f.path);
    if (seen != identities.constEnd() && seen.value() != f.identity)
      fail(err, shown(file) + u": two identities for "_s + platform::lineOfBytes(f.path));
    paths.append(f.path);
    identities.insert(f.path, f.identity);
  }
  return paths;
}

// Opens the file at `path` to read it, reaching its folder as the clean does: one
// folder at a time, so that any length works, and through a link only where the
// clean would go through it (any link when the scan's identity will judge the
// file). -1 with errno, or with `why` set for a link the clean would refuse.
int openAsCleaned(const QByteArray& path, bool identified, QString* why = nullptr) {
  platform::OpenedFolder folder = platform::openFolderOf(
      path, identified ? platform::LinkTrust::Any : platform::LinkTrust::Trusted);
  if (!folder.dir.ok()) {
    if (why && !folder.untrustedLink.isEmpty()) {
      *why = u"not followed: the link "_s + platform::lineOfBytes(folder.untrustedLink) +
             u" lies in a folder that others than root and you can change"_s;
    }
    errno = folder.error;
    return -1;
  }
  return openToRead(folder.dir.get(), folder.name);
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

// Tells what the clean would remove from files; changes nothing.
class DryRun {
 public:
  DryRun(const Identities& identities, const QString& gjz, text::Encoding encoding,
         text::LineEnds lineEnds, bool json, Sink& out, Sink& err)
      : identities_(identities),
        gjz_(gjz),
        encoding_(encoding),
        lineEnds_(lineEnds),
        json_(json),
        out_(out),
        err_(err) {}

  void file(const QByteArray& path) {
    ++files_;
    const QByteArray line = platform::lineOfBytes(path).toUtf8();
    QJsonObject o{{u"type"_s, u"clean"_s}};
    platform::putPath(o, path);
    int error = 0;
    QString why;
    const auto id = identities_.constFind(path);
    platform::UniqueFd fd(openAsCleaned(path, id != identities_.constEnd(), &why));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0) {
      error = errno;  // `why` names a refused link
    } else if (!S_ISREG(st.st_mode)) {
      why = u"not a regular file"_s;
    } else if (id != identities_.constEnd() && id.value() != platform::identityOf(st)) {
      why = u"not the file the scan found there"_s;
    }
    Occurrences found;
    if (error == 0 && why.isEmpty()) {
      found = findOccurrences(fd.get(), gjz_, encoding_, lineEnds_);
      error = found.error;
    }
    if (error != 0 || !why.isEmpty()) {
      if (why.isEmpty())
        why = QString::fromLocal8Bit(std::strerror(error));
      ++failed_;
      err_.write("tervane-cli: " + line + ": " + why.toUtf8() + '\n');
      o.insert(u"outcome"_s, u"failed"_s);
      o.insert(u"error"_s, why);
    } else {
      const bool changes = !found.ranges.empty();
      changing_ += changes ? 1 : 0;
      o.insert(u"outcome"_s, changes ? u"would-clean"_s : u"unchanged"_s);
      putOccurrences(o, found.ranges);
      putStat(o, st);
      if (!json_) {
        out_.write(line + ": " +
                   (changes ? QByteArray::number(qlonglong(found.ranges.size())) +
                                  " to remove, bytes " + rangesText(found.ranges)
                            : QByteArray("unchanged")) +
                   '\n');
      }
    }
    if (json_)
      out_.write(jsonLine(o));
  }

  int finish() {
    if (json_) {
      out_.write(jsonLine(QJsonObject{{u"type"_s, u"summary"_s},
                                      {u"files"_s, files_},
                                      {u"files_changing"_s, changing_},
                                      {u"files_failed"_s, failed_}}));
    }
    return failed_ > 0 ? kError : kOk;
  }

 private:
  const Identities& identities_;
  QString gjz_;
  text::Encoding encoding_;
  text::LineEnds lineEnds_;
  bool json_;
  Sink& out_;
  Sink& err_;
  qint64 files_ = 0;
  qint64 changing_ = 0;
  qint64 failed_ = 0;
};

}  // namespace

int runClean(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption noBackup(u"no-backup"_s, u"keep no backups"_s);
  parser.addOption(noBackup);
  const QCommandLineOption null({u"0"_s, u"null"_s}, u"NUL-separated raw paths"_s);
  const QCommandLineOption dry(u"dry-run"_s, u"preview"_s);
  const QCommandLineOption json(u"json"_s, u"JSON Lines"_s);
  const QCommandLineOption report(u"report"_s, u"scan report"_s, u"FILE"_s);
  parser.addOption(null);
  parser.addOption(dry);
  parser.addOption(json);
  parser.addOption(report);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"clean takes at most one LOG"_s);
  if (parser.values(null).size() > 1 || parser.values(report).size() > 1)
    usageError(err, u"an option is given twice"_s);
  if (parser.isSet(report) && (!positional.isEmpty() || parser.isSet(null)))
    usageError(err, u"give either LOG or --report"_s);
  const QString signature = signatureBox(parser, c, err);
  const QString gjz = text::signatureFrom(signature);
  const text::Encoding encoding = contentEncoding(parser, c, err);
  const text::LineEnds lineEnds = contentLineEnds(parser, c);
  const bool nul = parser.isSet(null);

  // The paths come from the report whole, or from the log a batch at a time.
  Identities identities;
  QList<QByteArray> reported;
  if (parser.isSet(report))
    reported = fromReport(parser.value(report), identities, err);
  qsizetype nextReported = 0;
  const QString input = positional.isEmpty() ? u"-"_s : positional.front();
  platform::UniqueFd fd;
  if (!parser.isSet(report))
    fd = openInputOrFail(input, err);
  // One path per line, in the form the scan writes (platform/pathline.h); a CR
  // before the LF belongs to the line end. With --null, raw paths each ended by
  // a NUL. A last path without its end is a path as well.
  LogReader reader(fd.get(), nul ? '\0' : '\n', kLogLineLimit);
  LogReader::Status status = LogReader::Status::Line;
  // The next path's bytes; nothing at the end, or for a line that is no path
  // (left to the clean, which names it).
  auto next = [&](QString& line) -> bool {
    if (parser.isSet(report)) {
      if (nextReported == reported.size()) {
        status = LogReader::Status::End;
        return false;
      }
      line = platform::lineOfBytes(reported[nextReported++]);
      return true;
    }
    QByteArray raw;
    if ((status = reader.next(raw)) != LogReader::Status::Line)
      return false;
    line = nul ? platform::lineOfBytes(raw) : platform::decodePath(raw);
    return true;
  };
  auto readFailed = [&] {
    if (status == LogReader::Status::TooLong) {
      // A scan can write such a line: thousands of folders deep, names of bytes
      // that are not UTF-8 take four characters a byte. Raw, the path is shorter.
      fail(err, shown(input) +
                    u": line %1 is longer than %2 bytes, the most a line may hold; the files "
                    u"after it were not touched"_s.arg(reader.lineNumber())
                        .arg(kLogLineLimit) +
                    (nul ? QString()
                         : u" (a path that long is cleaned from the NUL-separated list of "
                           u"scan -0, with clean -0, or from a report of scan --json, with "
                           u"clean --report)"_s));
    }
    if (status == LogReader::Status::Error)
      fail(err, shown(input) + u": "_s + QString::fromLocal8Bit(std::strerror(reader.error())));
  };

  if (parser.isSet(dry)) {
    DryRun preview(identities, gjz, encoding, lineEnds, parser.isSet(json), out, err);
    QString line;
    while (next(line)) {
      const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
      if (!bytes) {
        err.write("tervane-cli: " + platform::visibleText(line).toUtf8() + ": not a path\n");
        throw Exit{kError};
      }
      preview.file(*bytes);
    }
    readFailed();
    const int result = preview.finish();
    checkOutput(out, err);
    return result;
  }

  CliWindowState w(out, err, false);
  w.Text3 = signature;
  w.encoding = encoding;
  w.lineEnds = lineEnds;
  w.setJson(parser.isSet(json));
  // The scan's identities: each file must still be the one the scan read, as in
  // the window after its own scan.
  for (auto it = identities.cbegin(); it != identities.cend(); ++it)
    w.scannedFiles.insert(platform::decodePath(it.key()), it.value());
  Cleaner cleaner(w);
  cleaner.setKeepBackups(!parser.isSet(noBackup));
  cleaner.beginBatches();
  // Counted just before each batch is cleaned: the removal reports no number.
  QHash<QByteArray, qint64> counts;
  if (parser.isSet(json)) {
    cleaner.onFile = [&](const QByteArray& path, const clean::CleanResult& result) {
      QJsonObject o{{u"type"_s, u"clean"_s}};
      platform::putPath(o, path);
      o.insert(u"outcome"_s, result.ok() ? u"cleaned"_s : u"failed"_s);
      if (!result.ok()) {
        o.insert(u"error"_s, text::fromCrLf(clean::failureMessage(platform::lineOfBytes(path),
                                                                  result.failure())));
      } else if (counts.contains(path)) {
        o.insert(u"occurrences"_s, counts.value(path));
      }
      out.write(jsonLine(o));
    };
  }
  for (;;) {
    QString text1;
    qsizetype lines = 0;
    QString line;
    counts.clear();
    while (lines < kBatchLines && text1.size() < kBatchChars && next(line)) {
      if (parser.isSet(json)) {
        if (const auto bytes = platform::bytesOfLine(line)) {
          platform::UniqueFd file(openAsCleaned(*bytes, identities.contains(*bytes)));
          if (file.ok())
            counts.insert(
                *bytes, qint64(findOccurrences(file.get(), gjz, encoding, lineEnds).ranges.size()));
        }
      }
      text1 += line;
      text1 += text::kCrLf;
      ++lines;
    }
    if (lines > 0) {
      w.setResultsText(text1);
      cleaner.Command2_Click();
      checkOutput(out, err);
      if (w.messageShown())
        return kError;
    }
    if (status == LogReader::Status::Line)
      continue;
    readFailed();
    cleaner.endBatches();
    return kOk;
  }
}

}  // namespace cli
