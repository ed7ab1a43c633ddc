// tervane-cli watch: tests each file written into the folders as it settles,
// reports the infected ones as the scan does and, with --clean, cleans them.
// Runs until SIGTERM or SIGINT; under systemd its output is the journal's.
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "cli/common.h"
#include "cli/report.h"
#include "cli/signatureoptions.h"
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

const char* causeName(Watcher::Cause cause) {
  switch (cause) {
    case Watcher::Cause::Written:
      return "written";
    case Watcher::Cause::Rescan:
      return "rescan";
    case Watcher::Cause::InitialScan:
      return "initial-scan";
  }
  return "written";
}

QString now() {
  struct timespec t {};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return isoTime(t);
}

using platform::errorText;

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

// Whether standard output is the journal's stream (systemd sets JOURNAL_STREAM
// to its device and inode): lines then carry a priority the journal reads.
bool outputIsJournal() {
  const QByteArray stream = qgetenv("JOURNAL_STREAM");
  struct stat st;
  if (stream.isEmpty() || ::fstat(STDOUT_FILENO, &st) != 0)
    return false;
  return stream == QByteArray::number(qulonglong(st.st_dev)) + ':' +
                       QByteArray::number(qulonglong(st.st_ino));
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

// What the watch tells: findings on standard output (a finding a warning, a
// failure an error under systemd: journalctl -p), notes and failures on
// standard error; with --json, objects on standard output as well.
class WatchOutput {
 public:
  WatchOutput(const Watcher::Settings& s, bool asJson, Sink& out, Sink& err)
      : s_(s),
        asJson_(asJson),
        out_(out),
        err_(err),
        journal_(outputIsJournal()),
        warning_(journal_ ? "<4>" : ""),
        error_(journal_ ? "<3>" : ""),
        signature_(s.signature()) {}

  // A message's lines (separated by CR LF) each start a line of their own; the
  // names in it are lines of their paths already, and nothing in a line can break it.
  void say(const QString& why) { write(error_, why); }
  void note(const QString& what) { write({}, what); }

  // What is watched, how, and whether a clean can write there.
  void started(const Watcher& watcher) {
    QString how = watcher.backend() == platform::FsWatch::Backend::Fanotify
                      ? u"fanotify"_s
                      : u"inotify, %1 folders"_s.arg(watcher.watchedFolders());
    if (const qsizetype linked = watcher.filesWithOtherNames())
      how += u", %1 files with other names"_s.arg(linked);
    if (!watcher.fanotifyRefused().isEmpty())
      how += u"; fanotify refused: "_s + watcher.fanotifyRefused();
    QStringList roots;
    for (const QByteArray& root : watcher.roots())
      roots.append(platform::lineOfBytes(root));
    note(u"watching "_s + roots.join(u", "_s) + u" ("_s + how + u")"_s);
    if (s_.clean) {
      // Cleaning rewrites files beside themselves: a read-only mount (systemd's
      // ProtectSystem=strict without ReadWritePaths) would fail each clean.
      for (const QByteArray& root : watcher.roots()) {
        struct statvfs v {};
        if (::statvfs(root.constData(), &v) == 0 && (v.f_flag & ST_RDONLY)) {
          say(platform::lineOfBytes(root) +
              u" is read-only here: --clean cannot clean its files (under systemd, add "
              u"ReadWritePaths="_s +
              platform::lineOfBytes(root) + u" to the service)"_s);
        }
      }
    }
    if (asJson_) {
      QJsonObject o{
          {u"type"_s, u"watching"_s},
          {u"time"_s, now()},
          {u"backend"_s, watcher.backend() == platform::FsWatch::Backend::Fanotify ? u"fanotify"_s
                                                                                   : u"inotify"_s}};
      out_.write(jsonLine(o));
    }
  }

  void detected(const Watcher::Detection& d) {
    if (asJson_) {
      QJsonObject o =
          detection(d.path, d.identity, d.dirFd, d.name, signature_, s_.encoding, s_.lineEnds);
      o.insert(u"time"_s, isoTime(d.time));
      o.insert(u"cause"_s, QString::fromLatin1(causeName(d.cause)));
      out_.write(jsonLine(o));
    } else {
      out_.write(warning_ + platform::lineOfBytes(d.path).toUtf8() + '\n');
    }
  }

  void cleaned(const Watcher::CleanOutcome& o) {
    if (asJson_) {
      QJsonObject j{{u"type"_s, u"clean"_s}, {u"time"_s, now()}};
      platform::putPath(j, o.path);
      j.insert(u"outcome"_s, o.quarantined ? u"quarantined"_s
                             : o.cleaned   ? u"cleaned"_s
                                           : u"failed"_s);
      if (o.quarantined) {
        if (!o.quarantinedFor.isEmpty())
          j.insert(u"signature"_s, o.quarantinedFor);
        j.insert(u"other_names"_s, o.otherNames);
      }
      if (!o.cleaned)
        j.insert(u"error"_s, text::fromCrLf(o.message));
      if (!o.run.isEmpty())
        j.insert(u"run"_s, QString::fromUtf8(o.run));
      if (o.copyShared)
        j.insert(u"copy"_s, u"shared"_s);
      if (o.timesCleaned > 1) {
        j.insert(u"timesCleaned"_s, o.timesCleaned);
        j.insert(u"firstCleaned"_s, isoTime(o.firstCleaned));
      }
      out_.write(jsonLine(j));
    } else if (o.cleaned) {
      // The cleaning log's entry, as clean prints it.
      out_.write(platform::lineOfBytes(o.path).toUtf8() + '\n' +
                 (o.quarantined ? msg::kQuarantined : msg::kCleaned).toUtf8() + '\n');
    }
    if (o.quarantined && o.otherNames > 0)
      say(platform::lineOfBytes(o.path) +
          u": quarantined; it has %1 other name(s) (hard links), which were kept"_s.arg(
              o.otherNames));
    if (!o.cleaned)
      say(o.message);
    if (o.timesCleaned > 1)
      say(platform::lineOfBytes(o.path) +
          (o.quarantined ? u": infected again: cleaned or quarantined %1 times since "_s
                         : u": infected again: cleaned %1 times since "_s)
              .arg(o.timesCleaned) +
          isoTime(o.firstCleaned) +
          (o.copyShared
               ? u" (its original is kept once, in run "_s + QString::fromUtf8(o.run) + u")"_s
               : QString()));
  }

  void noticed(const Watcher::Notice& n);

 private:
  void write(const QByteArray& priority, const QString& text) {
    for (const QStringView line : QStringView(platform::visibleLines(text)).split(u'\n'))
      err_.write(priority + "tervane-cli: " + line.toUtf8() + '\n');
  }

  const Watcher::Settings& s_;
  bool asJson_;
  Sink& out_;
  Sink& err_;
  bool journal_;
  QByteArray warning_;
  QByteArray error_;
  QString signature_;
};

void WatchOutput::noticed(const Watcher::Notice& n) {
  using Kind = Watcher::Notice::Kind;
  QJsonObject j{{u"time"_s, now()}};
  switch (n.kind) {
    case Kind::Overflow:
      say(u"the kernel's event queue overflowed and events were lost: the watched folders "
          u"are scanned again"_s);
      j.insert(u"type"_s, u"overflow"_s);
      break;
    case Kind::ScanStarted:
    case Kind::ScanFinished:
      note(n.cause == Watcher::Cause::InitialScan
               ? (n.kind == Kind::ScanStarted ? u"initial scan started"_s
                                              : u"initial scan finished"_s)
               : (n.kind == Kind::ScanStarted ? u"scan after the overflow started"_s
                                              : u"scan after the overflow finished"_s));
      j.insert(u"type"_s, u"scan"_s);
      j.insert(u"state"_s, n.kind == Kind::ScanStarted ? u"started"_s : u"finished"_s);
      j.insert(u"cause"_s, QString::fromLatin1(causeName(n.cause)));
      break;
    case Kind::Unwatched:
      say(platform::lineOfBytes(n.path) + u": not watched: "_s + errorText(n.error) +
          (n.error == ENOSPC ? u" (fs.inotify.max_user_watches)"_s : QString()));
      j.insert(u"type"_s, u"unwatched"_s);
      platform::putPath(j, n.path);
      putError(j, n.error);
      break;
    case Kind::Unreadable:
      say(platform::lineOfBytes(n.path) + u": "_s + errorText(n.error));
      j.insert(u"type"_s, u"unreadable"_s);
      platform::putPath(j, n.path);
      putError(j, n.error);
      break;
    case Kind::OtherReading: {
      const QString reading = text::encodingName(n.reading);
      say(platform::lineOfBytes(n.path) + u": not cleaned: holds the signature when read as "_s +
          reading + u" (the reading rule read it otherwise); --encoding "_s + reading +
          u" finds and cleans it so"_s);
      j.insert(u"type"_s, u"other_reading"_s);
      platform::putPath(j, n.path);
      j.insert(u"reading"_s, reading);
      j.insert(u"cause"_s, QString::fromLatin1(causeName(n.cause)));
      break;
    }
    case Kind::StoreFull:
    case Kind::StoreFreed:
      if (n.kind == Kind::StoreFull)
        say(u"the backup store "_s + platform::lineOfBytes(n.path) +
            u" would leave its file system less free than --store-min-free keeps: infected "
            u"files are reported and not cleaned until there is room"_s);
      else
        note(u"the backup store "_s + platform::lineOfBytes(n.path) +
             u" has room again: infected files are cleaned"_s);
      j.insert(u"type"_s, u"store"_s);
      j.insert(u"state"_s, n.kind == Kind::StoreFull ? u"full"_s : u"room"_s);
      platform::putPath(j, n.path);
      break;
  }
  if (asJson_)
    out_.write(jsonLine(j));
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
