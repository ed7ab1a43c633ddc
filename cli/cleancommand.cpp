// tervane-cli clean: the clean run over a list of paths read from a file, or over
// the files of a scan's report; with --dry-run, what it would remove.
#include <QJsonArray>
#include <QJsonObject>

#include "clean/failures.h"
#include "cli/cleanlist.h"
#include "cli/cleanpreview.h"
#include "cli/common.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
#include "engine/cleanrun.h"
#include "engine/messages.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/signatureset.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

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
  bool quarantine = false;
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
  const QCommandLineOption quarantine(u"quarantine"_s, u"take files out whole"_s);
  parser.addOption(quarantine);
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
  // The backups are a quarantined file's only way back.
  if (parser.isSet(quarantine) && parser.isSet(noBackup))
    usageError(err,
               u"--quarantine keeps the files in the backups: it cannot go with --no-backup"_s);
  CleanArgs a;
  const std::optional<QString> set = signatureSetText(parser, c, setOption, err);
  a.signature = set ? *set : text::signatureFrom(typedSignature(parser, c, err));
  a.encoding = contentEncoding(parser, c, err);
  a.lineEnds = contentLineEnds(parser, c);
  a.report = parser.value(report);
  a.input = positional.isEmpty() ? u"-"_s : positional.front();
  a.nul = parser.isSet(null);
  a.dryRun = parser.isSet(dry);
  a.json = parser.isSet(json);
  a.keepGoing = parser.isSet(keepGoing);
  a.noBackup = parser.isSet(noBackup);
  a.quarantine = parser.isSet(quarantine);
  if (a.noBackup && text::anyQuarantines(a.signature))
    usageError(err,
               u"the set quarantines files, which keeps them in the backups: it cannot go with "
               u"--no-backup"_s);
  return a;
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
      out_.write(f.line.toUtf8() + '\n' +
                 (f.quarantined ? msg::kQuarantined : msg::kCleaned).toUtf8() + '\n');
    }
    if (f.quarantined && !a_.json)
      err_.write("tervane-cli: " + platform::visibleText(f.line).toUtf8() + ": " +
                 quarantineText(f).toUtf8() + '\n');
  }

  // What became of a quarantined file, in words.
  static QString quarantineText(const CleanedFile& f) {
    QString s = u"quarantined: taken out of its folder, the original is in the backups"_s;
    if (!f.quarantinedFor.isEmpty())
      s += u" (signature "_s + platform::visibleText(f.quarantinedFor) + u')';
    if (f.otherNames > 0)
      s += u"; it has %1 other name(s) (hard links), which were kept"_s.arg(f.otherNames);
    return s;
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
                          {u"files_quarantined"_s, quarantined_},
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
    if (f.quarantined) {
      o.insert(u"outcome"_s, u"quarantined"_s);
      if (!f.quarantinedFor.isEmpty())
        o.insert(u"signature"_s, f.quarantinedFor);
      o.insert(u"other_names"_s, f.otherNames);
      ++quarantined_;
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
  qint64 cleaned_ = 0, unchanged_ = 0, quarantined_ = 0, failed_ = 0;
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
    return previewClean(list, a.signature, a.quarantine, a.encoding, a.lineEnds, a.json, out, err);
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
  request.quarantine = a.quarantine;
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
