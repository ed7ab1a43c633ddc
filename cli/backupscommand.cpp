// tervane-cli backups: lists the runs in the backup store, and prunes old ones.
#include <QDateTime>

#include <cerrno>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "cli/common.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace cli {

namespace {

// A run's line after its name: when it started, its kind, the files it kept
// and their size, and whether it came to its end.
QByteArray runSummary(const clean::RunManifest& m, const QDateTime& started) {
  qsizetype files = 0;
  qsizetype quarantined = 0;
  for (const clean::FileRecord& f : m.files) {
    files += f.copy.isEmpty() ? 0 : 1;
    quarantined += f.outcome == u"quarantined" ? 1 : 0;
  }
  const char* state = m.ended ? "complete" : m.recovered ? "incomplete, repaired" : "incomplete";
  return clean::shownTime(started).toLatin1() + "  " +
         (m.kind == clean::RunKind::Clean ? "clean" : "restore") + "  " +
         QByteArray::number(files) + " files  " +
         (quarantined > 0 ? QByteArray::number(quarantined) + " quarantined  " : QByteArray()) +
         QByteArray::number(m.copyBytes) + " bytes  " + state;
}

}  // namespace

int runBackups(const QStringList& args, Sink& out, Sink& err) {
  QCommandLineParser parser;
  const Common c;
  const QCommandLineOption prune(u"prune"_s, u"prune"_s, u"DAYS"_s);
  parser.addOption(prune);
  parse(parser, args, out, err, c);
  if (!parser.positionalArguments().isEmpty())
    usageError(err, u"backups takes no argument"_s);
  int days = -1;
  if (parser.isSet(prune)) {
    bool ok = false;
    days = parser.value(prune).toInt(&ok);
    if (!ok || days < 0)
      usageError(err, u"--prune takes a number of days, 0 or more"_s);
  }

  // A run cut short is repaired before anything is listed or removed.
  if (const QString note = clean::recoveryMessage(clean::recoverInterrupted()); !note.isEmpty())
    err.write(platform::visibleLines(note).toUtf8() + '\n');
  clean::Store store;
  if (const int e = store.open(false)) {
    if (e == ENOENT)
      return kOk;  // no clean has kept backups yet
    fail(err, u"the backup store: "_s + platform::errorText(e));
  }
  const QDateTime cutoff = QDateTime::currentDateTimeUtc().addDays(-days);
  for (const QByteArray& name : store.runs()) {
    const auto m = clean::readRun(store.fd(), name);
    // A run's name is a folder's name: shown as any path is.
    const QByteArray shownName = platform::lineOfBytes(name).toUtf8();
    const QDateTime started =
        m ? QDateTime::fromString(m->started, Qt::ISODateWithMs) : QDateTime();
    if (days >= 0) {
      // Only runs that are over: a run still going holds its manifest locked
      // and has no end yet.
      if (m && (m->ended || m->recovered) && started.isValid() && started < cutoff) {
        if (const int e = clean::removeRun(store.fd(), name))
          fail(err, u"cannot remove run "_s + platform::lineOfBytes(name) + u": "_s +
                        platform::errorText(e));
        out.write("removed " + shownName + '\n');
      }
      continue;
    }
    if (!m) {
      out.write(shownName + "  (no manifest)\n");
      continue;
    }
    out.write(shownName + "  " + runSummary(*m, started) + '\n');
  }
  checkOutput(out, err);
  return kOk;
}

}  // namespace cli
