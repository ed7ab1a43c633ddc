#include "cli/watchoutput.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QJsonObject>

#include <ctime>

#include "cli/common.h"
#include "cli/report.h"
#include "engine/messages.h"
#include "platform/pathcodec.h"
#include "platform/pathjson.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {
namespace {

using platform::errorText;

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

QString mountOnInotify(const QByteArray& path, int error) {
  return platform::lineOfBytes(path) + u": a mount fanotify cannot mark ("_s + errorText(error) +
         u"): its files are watched with inotify"_s;
}

}  // namespace

WatchOutput::WatchOutput(const Watcher::Settings& s, bool asJson, Sink& out, Sink& err)
    : s_(s),
      asJson_(asJson),
      out_(out),
      err_(err),
      journal_(outputIsJournal()),
      warning_(journal_ ? "<4>" : ""),
      error_(journal_ ? "<3>" : ""),
      signature_(s.signature()) {}

void WatchOutput::started(const Watcher& watcher) {
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
        {u"backend"_s,
         watcher.backend() == platform::FsWatch::Backend::Fanotify ? u"fanotify"_s : u"inotify"_s}};
    out_.write(jsonLine(o));
  }
  // Told as those mounted later are.
  for (const platform::FsWatch::RefusedMount& m : watcher.mountsOnInotify())
    noticed(Watcher::Notice{Watcher::Notice::Kind::MountOnInotify, m.path, m.error});
}

void WatchOutput::detected(const Watcher::Detection& d) {
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

void WatchOutput::cleaned(const Watcher::CleanOutcome& o) {
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

void WatchOutput::write(const QByteArray& priority, const QString& text) {
  for (const QStringView line : QStringView(platform::visibleLines(text)).split(u'\n'))
    err_.write(priority + "tervane-cli: " + line.toUtf8() + '\n');
}
// Long: one short case per kind of notice, each with its JSON and its line.
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
    case Kind::MountOnInotify:
      say(mountOnInotify(n.path, n.error));
      j.insert(u"type"_s, u"mount_on_inotify"_s);
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

}  // namespace cli
