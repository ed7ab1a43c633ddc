// tervane-cli scan: the main window's Scan over a location given as an argument.
#include <sched.h>
#include <unistd.h>

#include <algorithm>

#include "app/scanner.h"
#include "cli/common.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The filter box's text when the main window opens.
constexpr QStringView kDefaultFilter = u"*.ASP|*.PHP|*.JS";

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
  parser.addOption(filter);
  parser.addOption(jobs);
  parser.addOption(null);
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
  w.Text3 = signatureBox(parser, c, err);
  w.Combo1 = positional.front();
  w.Combo2 = parser.isSet(filter) ? parser.value(filter) : kDefaultFilter.toString();
  w.threads = threads;
  w.encoding = contentEncoding(parser, c, err);
  Scanner scanner(w);
  scanner.Command1_Click();
  w.clearProgress();
  checkOutput(out, err);
  if (w.messageShown())
    return kError;
  return w.appended() > 0 ? kFound : kOk;
}

}  // namespace cli
