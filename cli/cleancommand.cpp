// tervane-cli clean: the main window's Clean over a results log read from a file.
#include "app/cleaner.h"
#include "cli/common.h"
#include "platform/pathcodec.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

int runClean(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption noBackup(u"no-backup"_s, u"keep no backups"_s);
  parser.addOption(noBackup);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"clean takes at most one LOG"_s);
  const QString signature = signatureBox(parser, c, err);

  const QByteArray log = readAllOrFail(positional.isEmpty() ? u"-"_s : positional.front(), err);
  // One path per line; a CR before the LF belongs to the line end. A last line
  // without LF is a path as well.
  QString text1;
  QList<QByteArray> lines = log.split('\n');
  if (lines.back().isEmpty())
    lines.removeLast();
  for (QByteArray& line : lines) {
    if (line.endsWith('\r'))
      line.chop(1);
    text1 += platform::decodePath(line);
    text1 += text::kCrLf;
  }

  CliWindowState w(out, err, false);
  w.Text3 = signature;
  w.setResultsText(text1);
  Cleaner cleaner(w);
  cleaner.setKeepBackups(!parser.isSet(noBackup));
  cleaner.Command2_Click();
  checkOutput(out, err);
  return w.messageShown() ? kError : kOk;
}

}  // namespace cli
