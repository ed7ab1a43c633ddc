// tervane-cli scan: the scan over a location given as an argument.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QJsonObject>

#include <algorithm>
#include <optional>

#include "cli/common.h"
#include "cli/report.h"
#include "cli/scanoutput.h"
#include "cli/signatureoptions.h"
#include "engine/messages.h"
#include "engine/scanner.h"
#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The cores this process may run on.
int coreCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0)
    return std::max(1, CPU_COUNT(&set));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 && online < 1024 ? int(online) : 1;
}

// The report's end: the files that could not be read, then the summary.
void writeSummary(Sink& out, const ScanOutput& output, const Scanner& scanner,
                  const QElapsedTimer& clock, const std::optional<QJsonObject>& bySignature) {
  for (const ScanOutput::Unreadable& file : output.unreadableFiles()) {
    QJsonObject o{{u"type"_s, u"unreadable"_s}};
    platform::putPath(o, platform::encodePath(file.path));
    putError(o, file.error);
    out.write(jsonLine(o));
  }
  for (const ScanOutput::OtherReading& file : output.otherReadings()) {
    QJsonObject o{{u"type"_s, u"other_reading"_s}};
    platform::putPath(o, platform::encodePath(file.path));
    o.insert(u"reading"_s, text::encodingName(file.holdsIt));
    out.write(jsonLine(o));
  }
  const Scanner::Totals& t = scanner.totals();
  QJsonObject summary{{u"type"_s, u"summary"_s},
                      {u"files_visited"_s, t.visited},
                      {u"files_tested"_s, t.tested},
                      {u"bytes_read"_s, qint64(t.bytesRead)},
                      {u"seconds"_s, double(clock.nsecsElapsed()) / 1e9},
                      {u"files_found"_s, t.found},
                      {u"files_unreadable"_s, t.unreadable},
                      {u"files_other_reading"_s, t.otherReading}};
  if (bySignature)
    summary.insert(u"detections_by_signature"_s, *bySignature);
  // Told on standard error as well: something at the store's place was walked.
  if (!scanner.storeNotSkipped().isEmpty())
    summary.insert(u"store_not_skipped"_s, scanner.storeNotSkipped());
  out.write(jsonLine(summary));
}

// The scan's request and how to tell it, from the arguments.
struct ScanArgs {
  ScanRequest request;
  ScanOutput::Log log = ScanOutput::Log::Lines;
  bool json = false;
  bool isSet = false;  // `request.signature` is a signature set's text
};

ScanArgs parseScan(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption filter(u"filter"_s, u"filter"_s, u"TEXT"_s);
  const QCommandLineOption jobs({u"j"_s, u"jobs"_s}, u"threads"_s, u"N"_s);
  const QCommandLineOption null({u"0"_s, u"null"_s}, u"NUL-separated raw paths"_s);
  const QCommandLineOption json(u"json"_s, u"JSON Lines"_s);
  parser.addOption(filter);
  parser.addOption(jobs);
  parser.addOption(null);
  parser.addOption(json);
  const SetOption setOption;
  addSetOption(parser, setOption);
  parse(parser, args, out, err, c);
  const QStringList positional = parser.positionalArguments();
  if (positional.size() != 1)
    usageError(err, u"scan takes one LOCATION"_s);
  if (parser.values(filter).size() > 1 || parser.values(jobs).size() > 1)
    usageError(err, u"an option is given twice"_s);

  ScanArgs a;
  ScanRequest& request = a.request;
  request.threads = coreCount();
  if (parser.isSet(jobs)) {
    bool ok = false;
    request.threads = parser.value(jobs).toInt(&ok);
    if (!ok || request.threads < 1 || request.threads > 1024)
      usageError(err, u"-j takes a number of threads from 1 to 1024"_s);
  }
  // Raw bytes are for programs: a terminal would act on the controls a name can hold.
  if (parser.isSet(null) && out.isTerminal())
    fail(err, u"--null writes raw bytes, which are not for a terminal: redirect standard output"_s);
  a.json = parser.isSet(json);
  a.log = a.json               ? ScanOutput::Log::None
          : parser.isSet(null) ? ScanOutput::Log::Nul
                               : ScanOutput::Log::Lines;
  // Offsets are those the clean would remove; the signature is the clean's.
  const std::optional<QString> set = signatureSetText(parser, c, setOption, err);
  a.isSet = set.has_value();
  request.signature = set ? *set : text::signatureFrom(typedSignature(parser, c, err));
  request.location = positional.front();
  if (request.location == msg::kAllDrives)
    request.drives = platform::driveList();
  request.filter = parser.isSet(filter) ? parser.value(filter) : msg::kDefaultFilter.toString();
  request.encoding = contentEncoding(parser, c, err);
  request.lineEnds = contentLineEnds(parser, c);
  return a;
}

// A signature with line breaks, tabs or spaces at its ends that more files
// hold without them: one note, the exit status as the scan gives it.
void tellNearMiss(const Scanner& scanner, ScanOutput& output, Sink& err) {
  const std::optional<qint64> holding = scanner.holdingWithoutEdgeBlanks();
  if (!holding || *holding <= output.filesFound())
    return;
  output.clearProgress();
  err.write(
      QStringLiteral("tervane-cli: note: the signature begins or ends with line breaks, tabs or "
                     "spaces; %1 files hold it without them, %2 as given\n")
          .arg(*holding)
          .arg(output.filesFound())
          .toUtf8());
}

}  // namespace

int runScan(const QStringList& args, Sink& out, Sink& err) {
  const ScanArgs a = parseScan(args, out, err);
  const ScanRequest& request = a.request;
  ScanOutput output(out, err, ::isatty(STDERR_FILENO) == 1, a.log);
  Scanner scanner(output);
  QElapsedTimer clock;
  clock.start();
  SignatureCounts perSignature;
  if (a.json) {
    output.onFound = [&](const ScanFound& f) {
      const QJsonObject o = detection(platform::encodePath(f.path), f.identity, f.dirFd, f.name,
                                      request.signature, request.encoding, request.lineEnds);
      perSignature.count(o);
      out.write(jsonLine(o));
    };
  }
  if (scanner.scan(request)) {
    if (!output.unreadableFiles().isEmpty())
      output.tellUnreadable();
    if (!output.otherReadings().isEmpty())
      output.tellOtherReadings();
    // Something at the store's place was walked: said here and in the summary.
    if (!scanner.storeNotSkipped().isEmpty())
      output.note(scanner.storeNotSkipped());
    tellNearMiss(scanner, output, err);
  }
  output.clearProgress();
  if (a.json && !output.refused())
    writeSummary(out, output, scanner, clock,
                 a.isSet ? std::optional(perSignature.toJson(memberNames(request.signature)))
                         : std::nullopt);
  checkOutput(out, err);
  // An error outranks a find: a file that could not be read may be infected,
  // and so may one that holds it in the reading the count did not take.
  if (output.refused() || !output.unreadableFiles().isEmpty() || !output.otherReadings().isEmpty())
    return kError;
  return output.filesFound() > 0 ? kFound : kOk;
}

}  // namespace cli
