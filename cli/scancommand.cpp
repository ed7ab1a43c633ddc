// tervane-cli scan: the main window's Scan over a location given as an argument.
#include <sched.h>
#include <unistd.h>

#include <fcntl.h>

#include <QElapsedTimer>
#include <QJsonObject>

#include <algorithm>

#include "app/messages.h"
#include "app/scanner.h"
#include "cli/common.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
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

}  // namespace

int runScan(const QStringList& args, Sink& out, Sink& err) {
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

  int threads = coreCount();
  if (parser.isSet(jobs)) {
    bool ok = false;
    threads = parser.value(jobs).toInt(&ok);
    if (!ok || threads < 1 || threads > 1024)
      usageError(err, u"-j takes a number of threads from 1 to 1024"_s);
  }

  // Raw bytes are for programs: a terminal would act on the controls a name can hold.
  if (parser.isSet(null) && out.isTerminal())
    fail(err, u"--null writes raw bytes, which are not for a terminal: redirect standard output"_s);

  CliWindowState w(out, err, ::isatty(STDERR_FILENO) == 1);
  w.nulSeparated = parser.isSet(null);
  const std::optional<QString> set = signatureSetText(parser, c, setOption, err);
  w.Text3 = set ? QString() : signatureBox(parser, c, err);
  w.Combo1 = positional.front();
  w.Combo2 = parser.isSet(filter) ? parser.value(filter) : msg::kDefaultFilter.toString();
  w.threads = threads;
  w.encoding = contentEncoding(parser, c, err);
  w.lineEnds = contentLineEnds(parser, c);
  w.setJson(parser.isSet(json));
  Scanner scanner(w);
  if (set)
    scanner.setSignatureSet(*set);
  QElapsedTimer clock;
  clock.start();
  // Offsets are those the clean would remove; the signature is the clean's.
  const QString gjz = set ? *set : text::signatureFrom(w.Text3);
  SignatureCounts perSignature;
  if (parser.isSet(json)) {
    scanner.onFound = [&](const Scanner::Found& f) {
      QJsonObject o = detection(platform::encodePath(f.path), f.identity, f.dirFd, f.name, gjz,
                                w.encoding, w.lineEnds);
      perSignature.count(o);
      out.write(jsonLine(o));
    };
  }
  scanner.Command1_Click();
  w.clearProgress();
  if (parser.isSet(json) && !w.messageShown()) {
    for (const WindowState::Unreadable& file : w.unreadableFiles) {
      QJsonObject o{{u"type"_s, u"unreadable"_s}};
      platform::putPath(o, platform::encodePath(file.path));
      putError(o, file.error);
      out.write(jsonLine(o));
    }
    const Scanner::Totals& t = scanner.totals();
    QJsonObject summary{{u"type"_s, u"summary"_s},
                        {u"files_visited"_s, t.visited},
                        {u"files_tested"_s, t.tested},
                        {u"bytes_read"_s, qint64(t.bytesRead)},
                        {u"seconds"_s, double(clock.nsecsElapsed()) / 1e9},
                        {u"files_found"_s, t.found},
                        {u"files_unreadable"_s, t.unreadable}};
    // Told on standard error as well: something at the store's place was walked.
    if (set)
      summary.insert(u"detections_by_signature"_s, perSignature.toJson(memberNames(gjz)));
    if (!scanner.storeNotSkipped().isEmpty())
      summary.insert(u"store_not_skipped"_s, scanner.storeNotSkipped());
    out.write(jsonLine(summary));
  }
  checkOutput(out, err);
  // An error outranks a find: a file that could not be read may be infected.
  if (w.messageShown() || w.unreadableShown())
    return kError;
  return w.appended() > 0 ? kFound : kOk;
}

}  // namespace cli
