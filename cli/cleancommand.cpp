// tervane-cli clean: the clean run over a list of paths read from a file, or over
// the files of a scan's report; with --dry-run, what it would remove.
#include <fcntl.h>
#include <sys/stat.h>

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

#include "clean/failures.h"
#include "cli/common.h"
#include "cli/logreader.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
#include "engine/cleanrun.h"
#include "engine/messages.h"
#include "platform/fd.h"
#include "platform/openpath.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

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
  DryRun(const Identities& identities, const QString& signature, text::Encoding encoding,
         text::LineEnds lineEnds, bool json, Sink& out, Sink& err)
      : identities_(identities),
        signature_(signature),
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
      found = findOccurrences(fd.get(), signature_, encoding_, lineEnds_);
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
      putOccurrences(o, found);
      putSignatureNames(o, found.ranges, signature_);
      putStat(o, st);
      if (!json_) {
        out_.write(line + ": " +
                   (changes ? QByteArray::number(qlonglong(found.count)) + " to remove, bytes " +
                                  rangesText(found.ranges) +
                                  (found.count > qint64(found.ranges.size()) ? " ..." : "") +
                                  signatureNamesText(found.ranges, signature_)
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
  QString signature_;
  text::Encoding encoding_;
  text::LineEnds lineEnds_;
  bool json_;
  Sink& out_;
  Sink& err_;
  qint64 files_ = 0;
  qint64 changing_ = 0;
  qint64 failed_ = 0;
};

// The files to clean, one at a time: a scan's report (read whole, with the
// identities of its files), or a log read as it goes, so that memory stays
// bounded however long it is.
class PathList {
 public:
  PathList(const QString& report, const QString& input, bool nul, Sink& err)
      : input_(input), nul_(nul), err_(err) {
    if (!report.isEmpty()) {
      fromReport_ = true;
      reported_ = fromReport(report, identities_, err);
    } else {
      fd_ = openInputOrFail(input, err);
    }
    // One path per line, in the form the scan writes (platform/pathline.h); a CR
    // before the LF belongs to the line end. With --null, raw paths each ended by
    // a NUL. A last path without its end is a path as well.
    reader_.emplace(fd_.get(), nul ? '\0' : '\n', kLogLineLimit);
  }

  enum class Next { Path, NotAPath, End };
  // The next path's bytes, or the line that is no path (left to the clean, which
  // names it).
  Next next(QByteArray& path, QString& line) {
    if (fromReport_) {
      if (nextReported_ == reported_.size())
        return Next::End;
      path = reported_[nextReported_++];
      return Next::Path;
    }
    QByteArray raw;
    if ((status_ = reader_->next(raw)) != LogReader::Status::Line)
      return Next::End;
    if (nul_) {
      path = raw;
      return Next::Path;
    }
    line = platform::decodePath(raw);
    const std::optional<QByteArray> bytes = platform::bytesOfLine(line);
    if (!bytes)
      return Next::NotAPath;
    path = *bytes;
    return Next::Path;
  }

  const Identities& identities() const { return identities_; }
  std::optional<platform::FileIdentity> identityOf(const QByteArray& path) const {
    const auto id = identities_.constFind(path);
    return id != identities_.constEnd() ? std::make_optional(id.value()) : std::nullopt;
  }

  // Ends the command when the list could not be read to its end.
  void checkRead() const {
    if (status_ == LogReader::Status::TooLong) {
      // A scan can write such a line: thousands of folders deep, names of bytes
      // that are not UTF-8 take four characters a byte. Raw, the path is shorter.
      fail(err_, shown(input_) +
                     u": line %1 is longer than %2 bytes, the most a line may hold; the files "
                     u"after it were not touched"_s.arg(reader_->lineNumber())
                         .arg(kLogLineLimit) +
                     (nul_ ? QString()
                           : u" (a path that long is cleaned from the NUL-separated list of "
                             u"scan -0, with clean -0, or from a report of scan --json, with "
                             u"clean --report)"_s));
    }
    if (status_ == LogReader::Status::Error)
      fail(err_, shown(input_) + u": "_s + QString::fromLocal8Bit(std::strerror(reader_->error())));
  }
  bool readToEnd() const { return status_ == LogReader::Status::End; }

 private:
  QString input_;
  bool nul_;
  Sink& err_;
  bool fromReport_ = false;
  Identities identities_;
  QList<QByteArray> reported_;
  qsizetype nextReported_ = 0;
  platform::UniqueFd fd_;
  std::optional<LogReader> reader_;
  LogReader::Status status_ = LogReader::Status::End;
};

struct CleanArgs {
  QString signature;  // as the rule gives it, or a signature set's text
  text::Encoding encoding = text::Encoding::Auto;
  text::LineEnds lineEnds = text::LineEnds::Any;
  QString report;  // the scan report to clean from, if any
  QString input;   // the log otherwise ("-": standard input)
  bool nul = false;
  bool dryRun = false;
  bool json = false;
  bool keepGoing = false;
  bool noBackup = false;
};

CleanArgs parseClean(const QStringList& args, Sink& out, Sink& err) {
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
  CleanArgs a;
  const std::optional<QString> set = signatureSetText(parser, c, setOption, err, false);
  a.signature = set ? *set : text::signatureFrom(signatureBox(parser, c, err));
  a.encoding = contentEncoding(parser, c, err);
  a.lineEnds = contentLineEnds(parser, c);
  a.report = parser.value(report);
  a.input = positional.isEmpty() ? u"-"_s : positional.front();
  a.nul = parser.isSet(null);
  a.dryRun = parser.isSet(dry);
  a.json = parser.isSet(json);
  a.keepGoing = parser.isSet(keepGoing);
  a.noBackup = parser.isSet(noBackup);
  return a;
}

int previewClean(const CleanArgs& a, PathList& list, Sink& out, Sink& err) {
  DryRun preview(list.identities(), a.signature, a.encoding, a.lineEnds, a.json, out, err);
  QByteArray path;
  QString line;
  PathList::Next next;
  while ((next = list.next(path, line)) != PathList::Next::End) {
    if (next == PathList::Next::NotAPath) {
      err.write("tervane-cli: " + platform::visibleText(line).toUtf8() + ": not a path\n");
      throw Exit{kError};
    }
    preview.file(path);
  }
  list.checkRead();
  const int result = preview.finish();
  checkOutput(out, err);
  return result;
}

// What the clean did, as the command line tells it: the cleaning log on standard
// output (with --json, one object per listed file and a summary instead), the
// failures on standard error.
class CleanOutput {
 public:
  CleanOutput(const CleanArgs& a, Sink& out, Sink& err) : a_(a), out_(out), err_(err) {}

  void file(const CleanedFile& f) {
    if (a_.json) {
      if (!f.notAPath)
        out_.write(jsonLine(object(f)));
    } else if (f.ok() && (f.listedAgain || f.outcome == CleanedFile::Outcome::Cleaned)) {
      // The window's cleaning log, a line break for its CR LF.
      out_.write(f.line.toUtf8() + '\n' + msg::kCleaned.toUtf8() + '\n');
    }
  }

  // A message as the window would show it.
  void message(const QString& text) { tell(err_, text); }

  // Every file the run went past, with its reason, and the summary.
  void finish(const std::vector<CleanedFile>& failures) {
    for (const CleanedFile& f : failures) {
      err_.write("tervane-cli: " + platform::visibleText(f.line).toUtf8() + ": " +
                 clean::reasonText(f.failure).toUtf8() + '\n');
    }
    if (a_.json) {
      QJsonObject summary{{u"type"_s, u"summary"_s},
                          {u"files_cleaned"_s, cleaned_},
                          {u"files_unchanged"_s, unchanged_},
                          {u"files_failed"_s, failed_}};
      QJsonArray failed;
      for (const CleanedFile& f : failures) {
        QJsonObject o{{u"error"_s, clean::reasonText(f.failure)}};
        if (f.path.isEmpty())
          o.insert(u"line"_s, f.line);
        else
          platform::putPath(o, f.path);
        failed.append(o);
      }
      if (a_.keepGoing)
        summary.insert(u"failed"_s, failed);
      out_.write(jsonLine(summary));
    }
    checkOutput(out_, err_);
  }

 private:
  QJsonObject object(const CleanedFile& f) {
    QJsonObject o{{u"type"_s, u"clean"_s}};
    platform::putPath(o, f.path);
    if (!f.ok()) {
      o.insert(u"outcome"_s, u"failed"_s);
      o.insert(u"error"_s, text::fromCrLf(clean::failureMessage(f.line, f.failure)));
      failed_ += f.listedAgain ? 0 : 1;
      return o;
    }
    // A file from which nothing was removed is not called cleaned.
    o.insert(u"outcome"_s, f.occurrences == 0 ? u"unchanged"_s : u"cleaned"_s);
    o.insert(u"occurrences"_s, f.occurrences);
    if (f.listedAgain)
      o.insert(u"listed_again"_s, true);
    else
      ++(f.occurrences == 0 ? unchanged_ : cleaned_);
    return o;
  }

  const CleanArgs& a_;
  Sink& out_;
  Sink& err_;
  qint64 cleaned_ = 0, unchanged_ = 0, failed_ = 0;
};

// Gives the run one item of the list; false when the run stopped.
bool feed(CleanRun& run, PathList::Next next, const QByteArray& path, const QString& line,
          const PathList& list) {
  if (next == PathList::Next::NotAPath)
    return run.addNotAPath(line);
  return run.add(FileToClean{path, list.identityOf(path)});
}

}  // namespace

int runClean(const QStringList& args, Sink& out, Sink& err) {
  const CleanArgs a = parseClean(args, out, err);
  PathList list(a.report, a.input, a.nul, err);
  if (a.dryRun)
    return previewClean(a, list, out, err);
  CleanOutput output(a, out, err);
  QByteArray path;
  QString line;
  PathList::Next next = list.next(path, line);
  // Nothing listed: no run, not even the repair of one cut short.
  if (next == PathList::Next::End) {
    list.checkRead();
    output.finish({});
    return kOk;
  }
  CleanRequest request;
  request.signature = a.signature;
  request.encoding = a.encoding;
  request.lineEnds = a.lineEnds;
  request.keepBackups = !a.noBackup;
  request.keepGoing = a.keepGoing;
  CleanRun run(request, [&](const CleanedFile& f) { output.file(f); });
  if (!run.recoveryNote().isEmpty())
    output.message(run.recoveryNote());
  bool going = true;
  while (going && next != PathList::Next::End) {
    going = feed(run, next, path, line, list);
    checkOutput(out, err);
    if (going)
      next = list.next(path, line);
  }
  // A list cut short by a read error: what was read is cleaned, then the error.
  run.finish(going && !list.readToEnd());
  if (const std::optional<CleanedFile>& stopped = run.stoppedAt()) {
    output.message(clean::failureMessage(stopped->line, stopped->failure));
    output.finish(run.failures());
    return kError;
  }
  list.checkRead();
  output.finish(run.failures());
  return run.failures().empty() ? kOk : kError;
}

}  // namespace cli
