// tervane-cli report: the reports of scans, cleans and watches, of one server
// or many, as one page a person reads at a glance, or as a summary for a
// terminal.
#include <cerrno>
#include <cstring>

#include "cli/common.h"
#include "cli/incident.h"
#include "cli/incidentpage.h"
#include "cli/logreader.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {
// The longest report line read: a detection lists at most its first
// occurrences, so a longer line is no report's.
constexpr qsizetype kReportLineLimit = 64 * 1024 * 1024;
}  // namespace

int runReport(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption html(u"html"_s, u"html"_s);
  const QCommandLineOption title(u"title"_s, u"title"_s, u"TEXT"_s);
  parser.addOption(html);
  parser.addOption(title);
  parse(parser, args, out, err, c);
  if (parser.isSet(c.signature) || parser.isSet(c.signatureFile) || parser.isSet(c.encoding) ||
      parser.isSet(c.exactLineEnds))
    usageError(err, u"report takes no signature: it reads what the reports found"_s);
  if (parser.values(title).size() > 1)
    usageError(err, u"give --title once"_s);
  const QStringList files = parser.positionalArguments();
  if (files.isEmpty())
    usageError(err, u"report needs at least one report file"_s);

  IncidentTally tally;
  for (const QString& file : files) {
    const int server = tally.server(serverOfReport(file));
    const platform::UniqueFd fd = openInputOrFail(file, err);
    LogReader reader(fd.get(), '\n', kReportLineLimit);
    QByteArray line;
    for (;;) {
      const LogReader::Status status = reader.next(line);
      if (status == LogReader::Status::End)
        break;
      const QString where = shown(file) + u": line "_s + QString::number(reader.lineNumber());
      if (status == LogReader::Status::Error)
        fail(err, shown(file) + u": "_s + QString::fromLocal8Bit(std::strerror(reader.error())));
      if (status == LogReader::Status::TooLong)
        fail(err, where + u": longer than %1 bytes"_s.arg(kReportLineLimit));
      QString why;
      if (!tally.addLine(server, line, &why))
        fail(err, where + u": "_s + why);
    }
  }
  const QString heading = parser.isSet(title) ? parser.value(title) : kIncidentTitle.toString();
  out.write(parser.isSet(html) ? incidentPage(tally, heading) : incidentText(tally, heading));
  checkOutput(out, err);
  return kOk;
}

}  // namespace cli
