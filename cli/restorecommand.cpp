// tervane-cli restore: puts back the originals that a clean saved in the backup
// store, of the latest clean or of the run named.
#include <QJsonObject>

#include <cerrno>

#include "clean/journal.h"
#include "clean/restore.h"
#include "cli/common.h"
#include "cli/report.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

QString resultKey(clean::RestoredFile::Result r) {
  switch (r) {
    case clean::RestoredFile::Result::Restored:
      return u"restored"_s;
    case clean::RestoredFile::Result::Unchanged:
      return u"unchanged"_s;
    case clean::RestoredFile::Result::Edited:
      return u"edited"_s;
    case clean::RestoredFile::Result::Missing:
      return u"missing"_s;
    case clean::RestoredFile::Result::Failed:
      break;
  }
  return u"failed"_s;
}

// Ends the command when the run could not be restored at all; tells what was
// dealt with before it.
void checkReport(const clean::RestoreReport& report, const QStringList& positional, Sink& err) {
  if (const QString note = clean::recoveryMessage(report.recovered); !note.isEmpty())
    err.write(platform::visibleLines(note).toUtf8() + '\n');
  for (const QByteArray& running : report.passedOver) {
    err.write("tervane-cli: run " + platform::lineOfBytes(running).toUtf8() +
              " is still cleaning; it is not taken for the latest and was left alone\n");
  }
  if (report.error == EBUSY) {
    fail(err, u"run "_s + platform::lineOfBytes(report.run) +
                  u" is still cleaning (its clean holds the run's lock); restore it once it "
                  u"has ended"_s);
  }
  if (report.error == EALREADY) {
    fail(err, u"run "_s + platform::lineOfBytes(report.run) +
                  u" is being restored by another process; try again once it has ended"_s);
  }
  if (report.error == ENOENT)
    fail(err, positional.isEmpty()
                  ? u"no clean has kept backups here yet"_s
                  : u"no such backup run: "_s + platform::visibleText(positional.front()));
  if (report.error != 0)
    fail(err, u"the backup store: "_s + platform::errorText(report.error));
}

// Each file's result, then with --json the summary; the number not restored.
int writeResults(const clean::RestoreReport& report, bool json, Sink& out) {
  using Result = clean::RestoredFile::Result;
  int counts[5] = {};
  for (const clean::RestoredFile& f : report.files) {
    ++counts[int(f.result)];
    if (json) {
      QJsonObject o{{u"result"_s, resultKey(f.result)}};
      platform::putPath(o, f.path);
      if (f.result != Result::Restored && f.result != Result::Unchanged)
        o.insert(u"reason"_s, clean::resultText(f));
      out.write(jsonLine(o));
    } else {
      // Each path as its one line: a name holds whatever its maker chose.
      out.write(platform::lineOfBytes(f.path).toUtf8() + "\n  " +
                platform::visibleText(clean::resultText(f)).toUtf8() + '\n');
    }
  }
  if (json) {
    out.write(jsonLine({{u"summary"_s, true},
                        {u"run"_s, QString::fromLatin1(report.run)},
                        {u"restored"_s, counts[int(Result::Restored)]},
                        {u"unchanged"_s, counts[int(Result::Unchanged)]},
                        {u"edited"_s, counts[int(Result::Edited)]},
                        {u"missing"_s, counts[int(Result::Missing)]},
                        {u"failed"_s, counts[int(Result::Failed)]}}));
  }
  return counts[int(Result::Edited)] + counts[int(Result::Missing)] + counts[int(Result::Failed)];
}

}  // namespace

int runRestore(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption force(u"force"_s, u"force"_s);
  const QCommandLineOption json(u"json"_s, u"json"_s);
  parser.addOption(force);
  parser.addOption(json);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"restore takes at most one RUN"_s);
  if (parser.isSet(c.signature) || parser.isSet(c.signatureFile))
    usageError(err, u"restore takes no signature"_s);

  clean::RestoreOptions options;
  options.force = parser.isSet(force);
  const clean::RestoreReport report =
      clean::restoreRun(positional.isEmpty() ? QByteArray() : local(positional.front()), options);
  checkReport(report, positional, err);
  const int notDone = writeResults(report, parser.isSet(json), out);
  checkOutput(out, err);
  if (notDone > 0) {
    err.write("tervane-cli: " + QByteArray::number(notDone) + " file(s) of run " +
              platform::lineOfBytes(report.run).toUtf8() + " were not restored\n");
    return kError;
  }
  return kOk;
}

}  // namespace cli
