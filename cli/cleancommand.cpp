// tervane-cli clean: the main window's Clean over a results log read from a file.
#include <cstring>

#include "app/cleaner.h"
#include "cli/common.h"
#include "cli/logreader.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The log is cleaned a batch of lines at a time, so that memory stays bounded
// however long it is; a file is cleaned as soon as its batch is read.
constexpr qsizetype kBatchLines = 1024;
constexpr qsizetype kBatchChars = 4 * 1024 * 1024;

}  // namespace

int runClean(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption noBackup(u"no-backup"_s, u"keep no backups"_s);
  parser.addOption(noBackup);
  const QCommandLineOption null({u"0"_s, u"null"_s}, u"NUL-separated raw paths"_s);
  parser.addOption(null);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() > 1)
    usageError(err, u"clean takes at most one LOG"_s);
  if (parser.values(null).size() > 1)
    usageError(err, u"an option is given twice"_s);
  const QString signature = signatureBox(parser, c, err);
  const text::Encoding encoding = contentEncoding(parser, c, err);
  const bool nul = parser.isSet(null);

  const QString input = positional.isEmpty() ? u"-"_s : positional.front();
  const platform::UniqueFd fd = openInputOrFail(input, err);
  // One path per line, in the form the scan writes (platform/pathline.h); a CR
  // before the LF belongs to the line end. With --null, raw paths each ended by
  // a NUL. A last path without its end is a path as well.
  LogReader reader(fd.get(), nul ? '\0' : '\n', kLogLineLimit);

  CliWindowState w(out, err, false);
  w.Text3 = signature;
  w.encoding = encoding;
  Cleaner cleaner(w);
  cleaner.setKeepBackups(!parser.isSet(noBackup));
  cleaner.beginBatches();
  for (;;) {
    QString text1;
    qsizetype lines = 0;
    LogReader::Status status = LogReader::Status::Line;
    QByteArray line;
    while (lines < kBatchLines && text1.size() < kBatchChars &&
           (status = reader.next(line)) == LogReader::Status::Line) {
      text1 += nul ? platform::lineOfBytes(line) : platform::decodePath(line);
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
    switch (status) {
      case LogReader::Status::Line:
        continue;
      case LogReader::Status::End:
        cleaner.endBatches();
        return kOk;
      case LogReader::Status::TooLong:
        fail(err, shown(input) + u": line %1 is longer than %2 bytes, the most a line may hold"_s
                                     .arg(reader.lineNumber())
                                     .arg(kLogLineLimit));
      case LogReader::Status::Error:
        fail(err, shown(input) + u": "_s + QString::fromLocal8Bit(std::strerror(reader.error())));
    }
  }
}

}  // namespace cli
