// tervane-cli clean: the main window's Clean over a results log read from a file,
// or over the files of a scan's report; with --dry-run, what it would remove.
#include <fcntl.h>
#include <sys/stat.h>

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>

#include <cerrno>
#include <cstring>

#include "app/cleaner.h"
#include "clean/failures.h"
#include "cli/common.h"
#include "cli/logreader.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
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

// Opens the file at `path` to read it only after the checks the clean itself
// applies: its folder reached as the clean reaches it (one folder at a time, so
// that any length works; through a link only where the clean would go through
// it, any link when the scan's identity will judge the file), then the name
// looked at without following it: a regular file, and the file the scan found
// when the report names one. Nothing else is ever opened, so that a path swapped
// for a device, a FIFO or a link outside the tree is refused unread. -1 with
// `why` set, or with `error` for a system error; `st`: the file opened.
int openChecked(const QByteArray& path, const Identities& identities, struct stat& st, int& error,
                QString& why) {
  const auto id = identities.constFind(path);
  const bool identified = id != identities.constEnd();
  platform::OpenedFolder folder = platform::openFolderOf(
      path, identified ? platform::LinkTrust::Any : platform::LinkTrust::Trusted);
  if (!folder.dir.ok()) {
    if (!folder.untrustedLink.isEmpty()) {
      why = u"not followed: the link "_s + platform::lineOfBytes(folder.untrustedLink) +
            u" lies in a folder that others than root and you can change"_s;
    }
    error = folder.error;
    return -1;
  }
  struct stat named;
  if (::fstatat(folder.dir.get(), folder.name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return -1;
  }
  if (S_ISLNK(named.st_mode)) {
    why = u"a symbolic link, not followed"_s;
    return -1;
  }
  if (!S_ISREG(named.st_mode)) {
    why = u"not a regular file"_s;
    return -1;
  }
  if (identified && id.value() != platform::identityOf(named)) {
    why = u"not the file the scan found there"_s;
    return -1;
  }
  platform::UniqueFd fd(openToRead(folder.dir.get(), folder.name));
  if (!fd.ok() || ::fstat(fd.get(), &st) != 0) {
    error = errno;
    return -1;
  }
  // Swapped between the look and the open.
  if (!S_ISREG(st.st_mode) || platform::identityOf(st) != platform::identityOf(named)) {
    why = u"replaced while it was opened"_s;
    return -1;
  }
  return fd.release();
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
    struct stat st {};
    platform::UniqueFd fd(openChecked(path, identities_, st, error, why));
    if (!fd.ok() && error == 0 && why.isEmpty())
      error = EIO;
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
      putSignatureNames(o, found.ranges, gjz_);
      putStat(o, st);
      if (!json_) {
        out_.write(line + ": " +
                   (changes ? QByteArray::number(qlonglong(found.ranges.size())) +
                                  " to remove, bytes " + rangesText(found.ranges) +
                                  signatureNamesText(found.ranges, gjz_)
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
  const QCommandLineOption keepGoing(u"keep-going"_s, u"go on past a file that fails"_s);
  parser.addOption(keepGoing);
  parser.addOption(null);
  parser.addOption(dry);
  parser.addOption(json);
  parser.addOption(report);
  const SetOption setOption;
  addSetOption(parser, setOption);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"clean takes at most one LOG"_s);
  if (parser.values(null).size() > 1 || parser.values(report).size() > 1)
    usageError(err, u"an option is given twice"_s);
  if (parser.isSet(report) && (!positional.isEmpty() || parser.isSet(null)))
    usageError(err, u"give either LOG or --report"_s);
  const std::optional<QString> set = signatureSetText(parser, c, setOption, err, false);
  const QString signature = set ? QString() : signatureBox(parser, c, err);
  const QString gjz = set ? *set : text::signatureFrom(signature);
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
  cleaner.setKeepGoing(parser.isSet(keepGoing));
  if (set)
    cleaner.setSignatureSet(*set);
  cleaner.beginBatches();
  // Counted just before each batch is cleaned: the removal reports no number.
  QHash<QByteArray, qint64> counts;
  // The paths reported so far: a path listed again is the same file, which the
  // clean handled once.
  QSet<QByteArray> reportedPaths;
  qint64 cleanedFiles = 0, unchangedFiles = 0, failedFiles = 0;
  if (parser.isSet(json)) {
    cleaner.onFile = [&](const QByteArray& path, const clean::CleanResult& result) {
      QJsonObject o{{u"type"_s, u"clean"_s}};
      platform::putPath(o, path);
      const bool again = reportedPaths.contains(path);
      reportedPaths.insert(path);
      if (!result.ok()) {
        o.insert(u"outcome"_s, u"failed"_s);
        o.insert(u"error"_s, text::fromCrLf(clean::failureMessage(platform::lineOfBytes(path),
                                                                  result.failure())));
        failedFiles += again ? 0 : 1;
      } else {
        // A file from which nothing was removed is not called cleaned.
        const qint64 found = again ? 0 : counts.value(path, -1);
        o.insert(u"outcome"_s, found == 0 ? u"unchanged"_s : u"cleaned"_s);
        if (found >= 0)
          o.insert(u"occurrences"_s, found);
        if (again)
          o.insert(u"listed_again"_s, true);
        else
          ++(found == 0 ? unchangedFiles : cleanedFiles);
      }
      out.write(jsonLine(o));
    };
  }
  // At the end: every file the run went past, with its reason, and the summary.
  auto finish = [&]() {
    for (const Cleaner::Failed& f : cleaner.failures()) {
      err.write("tervane-cli: " + platform::visibleText(f.shown).toUtf8() + ": " +
                clean::reasonText(f.why).toUtf8() + '\n');
    }
    if (parser.isSet(json)) {
      QJsonObject summary{{u"type"_s, u"summary"_s},
                          {u"files_cleaned"_s, cleanedFiles},
                          {u"files_unchanged"_s, unchangedFiles},
                          {u"files_failed"_s, failedFiles}};
      QJsonArray failed;
      for (const Cleaner::Failed& f : cleaner.failures()) {
        QJsonObject o{{u"error"_s, clean::reasonText(f.why)}};
        if (f.path.isEmpty())
          o.insert(u"line"_s, f.shown);
        else
          platform::putPath(o, f.path);
        failed.append(o);
      }
      if (parser.isSet(keepGoing))
        summary.insert(u"failed"_s, failed);
      out.write(jsonLine(summary));
    }
    checkOutput(out, err);
  };
  for (;;) {
    QString text1;
    qsizetype lines = 0;
    QString line;
    counts.clear();
    while (lines < kBatchLines && text1.size() < kBatchChars && next(line)) {
      if (parser.isSet(json)) {
        // Read only as the clean would read it; a file it refuses is not counted.
        const auto bytes = platform::bytesOfLine(line);
        if (bytes && !counts.contains(*bytes)) {
          struct stat st;
          int error = 0;
          QString why;
          platform::UniqueFd file(openChecked(*bytes, identities, st, error, why));
          if (file.ok()) {
            const Occurrences found = findOccurrences(file.get(), gjz, encoding, lineEnds);
            if (found.error == 0)
              counts.insert(*bytes, qint64(found.ranges.size()));
          }
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
      if (w.messageShown()) {
        finish();
        return kError;
      }
    }
    if (status == LogReader::Status::Line)
      continue;
    readFailed();
    cleaner.endBatches();
    finish();
    return cleaner.failures().empty() ? kOk : kError;
  }
}

}  // namespace cli
