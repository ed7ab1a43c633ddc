// tervane-cli watch: tests each file written into the folders as it settles,
// reports the infected ones as the scan does and, with --clean, cleans them.
// Runs until SIGTERM or SIGINT; under systemd its output is the journal's.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "cli/common.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
#include "cli/watchoutput.h"
#include "engine/messages.h"
#include "engine/watcher.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// The watcher a signal stops; the handler only writes to its eventfd.
std::atomic<Watcher*> signalled{nullptr};

extern "C" void stopOnSignal(int) {
  const int saved = errno;
  if (Watcher* w = signalled.load())
    w->requestStop();
  errno = saved;
}

// SIGTERM and SIGINT stop the watch for as long as it runs.
class StopSignals {
 public:
  explicit StopSignals(Watcher& w) {
    signalled.store(&w);
    struct sigaction sa {};
    sa.sa_handler = stopOnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // a clean's reads and writes go on
    ::sigaction(SIGTERM, &sa, &oldTerm_);
    ::sigaction(SIGINT, &sa, &oldInt_);
  }
  ~StopSignals() {
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    ::sigaction(SIGINT, &oldInt_, nullptr);
    signalled.store(nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction oldTerm_ {};
  struct sigaction oldInt_ {};
};

// The settings a configuration file gives (see the manual page): "key = value"
// lines, "#" comments. Folders may be given several times.
struct Config {
  QStringList folders;
  QString signatureFile;
  QStringList signatureSets;  // set files, joined with the signature file into one set
  QString filter;
  QString encoding;
  std::optional<bool> clean;
  std::optional<bool> initialScan;
  QString storeMinFree;
};

Config readConfig(const QString& file, Sink& err) {
  const QByteArray bytes = readAllOrFail(file, err, kSignatureFileLimit);
  if (platform::invalidUtf8At(bytes) >= 0)
    fail(err, shown(file) + u": not UTF-8 text"_s);
  Config c;
  const QStringList lines = QString::fromUtf8(bytes).split(u'\n');
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString line = lines[i].trimmed();
    if (line.isEmpty() || line.startsWith(u'#'))
      continue;
    const qsizetype eq = line.indexOf(u'=');
    const QString where = shown(file) + u":%1: "_s.arg(i + 1);
    if (eq < 0)
      fail(err, where + u"not \"key = value\""_s);
    const QString key = line.left(eq).trimmed();
    const QString value = line.mid(eq + 1).trimmed();
    auto yesNo = [&]() {
      if (value == u"yes" || value == u"true" || value == u"1")
        return true;
      if (value == u"no" || value == u"false" || value == u"0")
        return false;
      fail(err, where + key + u" takes yes or no"_s);
    };
    if (key == u"folder")
      c.folders.append(value);
    else if (key == u"signature-file")
      c.signatureFile = value;
    else if (key == u"signatures")
      c.signatureSets.append(value);
    else if (key == u"filter")
      c.filter = value;
    else if (key == u"encoding")
      c.encoding = value;
    else if (key == u"clean")
      c.clean = yesNo();
    else if (key == u"initial-scan")
      c.initialScan = yesNo();
    else if (key == u"store-min-free")
      c.storeMinFree = value;
    else
      fail(err, where + u"unknown key "_s + key);
  }
  return c;
}

// What the store's file system keeps free: "10%", "1G", or both ("10%,1G"),
// the larger of the two holding; sizes in bytes or with K, M, G, T (powers of
// 1024). False when the text says none of it.
bool parseMinFree(const QString& text, double& share, qint64& bytes) {
  double newShare = 0;
  qint64 newBytes = 0;
  const QStringList parts = text.split(u',');
  for (const QString& raw : parts) {
    QString part = raw.trimmed();
    bool ok = false;
    if (part.endsWith(u'%')) {
      newShare = part.chopped(1).trimmed().toDouble(&ok) / 100;
      if (!ok || newShare < 0 || newShare > 1)
        return false;
      continue;
    }
    qint64 unit = 1;
    const QString units = u"KMGT"_s;
    if (const qsizetype u = part.isEmpty() ? -1 : units.indexOf(part.back().toUpper()); u >= 0) {
      unit = qint64(1) << (10 * (u + 1));
      part.chop(1);
    }
    const qint64 n = part.trimmed().toLongLong(&ok);
    if (!ok || n < 0 || n > std::numeric_limits<qint64>::max() / unit)
      return false;
    newBytes = n * unit;
  }
  share = newShare;
  bytes = newBytes;
  return true;
}

// A whole number from MIN to MAX, or a usage error saying `why`.
int number(const QString& text, int min, int max, Sink& err, const QString& why) {
  bool ok = false;
  const int n = text.toInt(&ok);
  if (!ok || n < min || n > max)
    usageError(err, why);
  return n;
}

// The command line's signatures, else the configuration's files, read as the
// same options would be.
void takeSignatures(Watcher::Settings& s, const QCommandLineParser& parser,
                    const SetOption& setOption, const Config& conf, const QString& program,
                    Sink& out, Sink& err) {
  const Common c;
  if (!parser.isSet(c.signature) && !parser.isSet(c.signatureFile) &&
      !parser.isSet(setOption.signatures) &&
      (!conf.signatureFile.isEmpty() || !conf.signatureSets.isEmpty())) {
    QStringList fromConfig{program};
    if (!conf.signatureFile.isEmpty())
      fromConfig << u"--signature-file"_s << conf.signatureFile;
    for (const QString& set : conf.signatureSets)
      fromConfig << u"--signatures"_s << set;
    if (parser.isSet(setOption.noCache))
      fromConfig << u"--no-cache"_s;
    QCommandLineParser again;
    const SetOption againSet;
    addSetOption(again, againSet);
    parse(again, fromConfig, out, err, c);
    if (const std::optional<QString> set = signatureSetText(again, c, againSet, err))
      s.signatureSet = *set;
    else
      s.signatureText = typedSignature(again, c, err);
  } else if (const std::optional<QString> set = signatureSetText(parser, c, setOption, err)) {
    s.signatureSet = *set;
  } else {
    s.signatureText = typedSignature(parser, c, err);
  }
}

// The watch's settings from the arguments and the configuration file; `asJson`:
// whether to report in JSON Lines.
Watcher::Settings parseWatch(const QStringList& args, bool& asJson, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption filter(u"filter"_s, u"filter"_s, u"TEXT"_s);
  const QCommandLineOption json(u"json"_s, u"JSON Lines"_s);
  const QCommandLineOption clean(u"clean"_s, u"clean what is found"_s);
  const QCommandLineOption initialScan(u"initial-scan"_s, u"scan once at start"_s);
  const QCommandLineOption inotify(u"inotify"_s, u"never fanotify"_s);
  const QCommandLineOption config(u"config"_s, u"configuration file"_s, u"FILE"_s);
  const QCommandLineOption settle(u"settle"_s, u"milliseconds"_s, u"MS"_s);
  const QCommandLineOption jobs({u"j"_s, u"jobs"_s}, u"threads"_s, u"N"_s);
  const QCommandLineOption minFree(u"store-min-free"_s, u"free space the store keeps"_s,
                                   u"LIMIT"_s);
  for (const auto* o :
       {&filter, &json, &clean, &initialScan, &inotify, &config, &settle, &jobs, &minFree})
    parser.addOption(*o);
  const SetOption setOption;
  addSetOption(parser, setOption);
  parse(parser, args, out, err, c);
  for (const auto* o : {&filter, &config, &settle, &jobs, &minFree}) {
    if (parser.values(*o).size() > 1)
      usageError(err, u"an option is given twice"_s);
  }

  Watcher::Settings s;
  Config conf;
  if (parser.isSet(config))
    conf = readConfig(parser.value(config), err);
  s.folders = conf.folders + parser.positionalArguments();
  if (s.folders.isEmpty())
    usageError(err, u"watch takes one or more FOLDERs"_s);
  takeSignatures(s, parser, setOption, conf, args.value(0), out, err);
  if (s.signature().isEmpty())
    fail(err, u"the signature is empty"_s);
  s.filterText = parser.isSet(filter)     ? parser.value(filter)
                 : !conf.filter.isEmpty() ? conf.filter
                                          : msg::kDefaultFilter.toString();
  s.encoding = contentEncoding(parser, c, err);
  s.lineEnds = contentLineEnds(parser, c);
  if (!parser.isSet(c.encoding) && !conf.encoding.isEmpty()) {
    const std::optional<text::Encoding> e = text::encodingNamed(conf.encoding);
    if (!e)
      fail(err, shown(parser.value(config)) + u": encoding takes one of auto, gbk, utf-8"_s);
    s.encoding = *e;
  }
  s.clean = parser.isSet(clean) || conf.clean.value_or(false);
  s.initialScan = parser.isSet(initialScan) || conf.initialScan.value_or(false);
  s.allowFanotify = !parser.isSet(inotify);
  if (parser.isSet(settle))
    s.settle = std::chrono::milliseconds(number(parser.value(settle), 0, 60000, err,
                                                u"--settle takes milliseconds from 0 to 60000"_s));
  if (parser.isSet(jobs))
    s.scanThreads =
        number(parser.value(jobs), 1, 1024, err, u"-j takes a number of threads from 1 to 1024"_s);
  if (const QString limit = parser.isSet(minFree) ? parser.value(minFree) : conf.storeMinFree;
      !limit.isEmpty() && !parseMinFree(limit, s.storeMinFreeShare, s.storeMinFreeBytes))
    usageError(err, u"--store-min-free takes a share, a size or both, as in 10%,1G"_s);
  asJson = parser.isSet(json);
  return s;
}

}  // namespace

int runWatch(const QStringList& args, Sink& out, Sink& err) {
  bool asJson = false;
  const Watcher::Settings s = parseWatch(args, asJson, out, err);
  WatchOutput output(s, asJson, out, err);
  Watcher watcher(s);
  if (const QString why = watcher.start(); !why.isEmpty())
    fail(err, why);
  const StopSignals signals(watcher);
  output.started(watcher);
  watcher.onDetection = [&](const Watcher::Detection& d) { output.detected(d); };
  watcher.onClean = [&](const Watcher::CleanOutcome& o) { output.cleaned(o); };
  watcher.onNotice = [&](const Watcher::Notice& n) { output.noticed(n); };
  watcher.run();
  output.note(u"stopped"_s);
  checkOutput(out, err);
  return kOk;
}

}  // namespace cli
