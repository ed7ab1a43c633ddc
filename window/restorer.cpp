#include "window/restorer.h"

#include <QLocale>

#include <cerrno>
#include <cstring>
#include <optional>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "clean/restore.h"
#include "engine/messages.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace {

const QString kCrLf = text::kCrLf.toString();

// The first few paths a question names; the rest are in the log.
constexpr qsizetype kNamedFiles = 10;

// The folder that holds every path: the longest run of whole components they
// share.
QByteArray commonFolder(const std::vector<QByteArray>& paths) {
  if (paths.empty())
    return {};
  QByteArray common = paths.front().left(paths.front().lastIndexOf('/') + 1);
  for (const QByteArray& p : paths) {
    while (!common.isEmpty() && !p.startsWith(common))
      common.truncate(common.lastIndexOf('/', common.size() - 2) + 1);
  }
  return common.size() > 1 && common.endsWith('/') ? common.chopped(1) : common;
}

Restorer::Run runOf(const clean::RunManifest& m) {
  Restorer::Run run;
  run.name = m.name;
  run.started = QDateTime::fromString(m.started, Qt::ISODateWithMs).toLocalTime();
  for (const clean::FileRecord& f : m.files) {
    run.files += f.copy.isEmpty() ? 0 : 1;
    const bool quarantined = f.outcome == u"quarantined";
    run.quarantined += quarantined ? 1 : 0;
    run.cleaned += quarantined || f.outcome == u"cleaned" ? 1 : 0;
    run.done += quarantined || f.outcome == u"cleaned" || f.outcome == u"unchanged" ? 1 : 0;
    if (const QByteArray path = clean::absolutePath(m, f); !path.isEmpty())
      run.paths.push_back(path);
  }
  run.folder = platform::lineOfBytes(commonFolder(run.paths));
  run.bytes = m.storedBytes;
  run.complete = m.ended;
  run.repaired = m.recovered;
  run.restored = m.restored;
  return run;
}

using clean::shownTime;
using platform::errorText;

}  // namespace

QString Restorer::Run::state() const {
  if (restored)
    return u"已恢复"_s;
  if (!complete && !repaired)
    return u"正在进行"_s;
  if (cleaned == 0)
    return u"失败"_s;
  return complete && done == qsizetype(paths.size()) ? u"完整"_s : u"未完成"_s;
}

void Restorer::note(const QString& text) {
  if (!text.isEmpty())
    w_.showNote(text);
}

Restorer::Store Restorer::store() {
  note(clean::recoveryMessage(clean::recoverInterrupted()));
  Store listing;
  clean::Store store;
  if (const int e = store.open(false)) {
    listing.error = e;
    return listing;
  }
  for (const QByteArray& name : store.runs()) {
    const auto m = clean::readRun(store.fd(), name);
    if (!m)
      continue;
    listing.bytes += m->storedBytes;
    if (m->kind == clean::RunKind::Clean && m->full)
      listing.runs.insert(listing.runs.begin(), runOf(*m));
  }
  return listing;
}

bool Restorer::wasRestored(const QByteArray& name) {
  clean::Store store;
  if (name.isEmpty() || store.open(false) != 0)
    return false;
  const auto m = clean::readRun(store.fd(), name);
  return m && m->restored;
}

int Restorer::remove(const Run& run) {
  // A run neither ended nor repaired is still going in another process.
  if (!run.complete && !run.repaired)
    return EBUSY;
  clean::Store store;
  if (const int e = store.open(false))
    return e;
  return clean::removeRun(store.fd(), run.name);
}

bool Restorer::restore(const QByteArray& name) {
  allBack_ = false;
  note(clean::recoveryMessage(clean::recoverInterrupted()));
  const QByteArray chosen = name.isEmpty() ? clean::latestRestorableRun() : name;
  std::optional<Run> run;
  {
    clean::Store store;
    if (!chosen.isEmpty() && store.open(false) == 0) {
      if (const auto m = clean::readRun(store.fd(), chosen); m && m->kind == clean::RunKind::Clean)
        run = runOf(*m);
    }
  }
  if (!run || !run->restorable()) {
    w_.showNote(msg::kNoBackups.toString());
    return false;
  }
  // The undo of the latest clean is used up once it has put every file back.
  if (name.isEmpty() && run->restored) {
    w_.showNote(msg::kAlreadyUndone.toString());
    return false;
  }
  // A run this window did not name (the store's latest) is told by its folder too.
  const QString question =
      name.isEmpty() ? msg::kConfirmRestoreOther.toString()
                           .arg(shownTime(run->started), run->folder)
                           .arg(run->files)
                     : msg::kConfirmRestore.toString().arg(shownTime(run->started)).arg(run->files);
  if (!w_.askYesNo(question))
    return false;

  w_.setResultsText(QString());
  clean::RestoreOptions options;
  qint64 done = 0;
  const qint64 total = run->files;
  options.onFile = [this, &done, total](const QByteArray& path) {
    w_.showProgress(++done, total);
    w_.showCleaning(platform::lineOfBytes(path));
  };
  clean::RestoreReport report = clean::restoreRun(run->name, options);
  note(clean::recoveryMessage(report.recovered));
  if (report.error != 0) {
    w_.showMessage(report.error == ENOENT     ? msg::kNoBackups.toString()
                   : report.error == EALREADY ? msg::kRestoreGoing.toString()
                                              : msg::kRestoreFailed.toString().arg(1) + kCrLf +
                                                    u"原因："_s + errorText(report.error));
    return false;
  }

  forceEdited(report, options, run->name);
  showResults(report);
  return true;
}

void Restorer::forceEdited(clean::RestoreReport& report, const clean::RestoreOptions& options,
                           const QByteArray& run) {
  using Result = clean::RestoredFile::Result;
  QStringList edited;
  clean::RestoreOptions force = options;
  for (const clean::RestoredFile& f : report.files) {
    if (f.result != Result::Edited)
      continue;
    edited.append(platform::lineOfBytes(f.path));
    force.forceOnly.emplace(f.path, f.seen);
  }
  if (edited.isEmpty())
    return;
  QString question = msg::kConfirmEdited.toString().arg(edited.size());
  for (qsizetype i = 0; i < edited.size() && i < kNamedFiles; ++i)
    question += kCrLf + edited[i];
  if (edited.size() > kNamedFiles)
    question += kCrLf + msg::kMore.toString();
  if (!w_.askYesNo(question))
    return;
  // Only the files the question named, each as it was shown: one edited again
  // while the question was open stays as the user left it.
  const clean::RestoreReport forced = clean::restoreRun(run, force);
  if (forced.error != 0) {
    w_.showMessage(msg::kRestoreFailed.toString().arg(edited.size()) + kCrLf + u"原因："_s +
                   errorText(forced.error));
    return;
  }
  // The first pass's results stand but for the files it left.
  for (clean::RestoredFile& f : report.files) {
    if (f.result != Result::Edited)
      continue;
    for (const clean::RestoredFile& g : forced.files) {
      if (g.path == f.path)
        f = g;
    }
  }
}

void Restorer::showResults(const clean::RestoreReport& report) {
  using Result = clean::RestoredFile::Result;
  QString log;
  qsizetype back = 0;
  const clean::RestoredFile* firstFailed = nullptr;
  for (const clean::RestoredFile& f : report.files) {
    log += platform::lineOfBytes(f.path) + kCrLf;
    // The command line's words name its option; the window's name none.
    log += u"  "_s +
           (f.result == Result::Edited ? msg::kRestoreEdited.toString() : clean::resultText(f)) +
           kCrLf;
    if (f.result == Result::Restored || f.result == Result::Unchanged)
      ++back;
    if (f.result == Result::Failed && !firstFailed)
      firstFailed = &f;
  }
  const qsizetype notBack = qsizetype(report.files.size()) - back;
  allBack_ = notBack == 0;
  log += msg::kRestoreSummary.toString().arg(back).arg(notBack) + kCrLf;
  w_.appendResultsText(log);
  if (firstFailed) {
    qsizetype failed = 0;
    for (const clean::RestoredFile& f : report.files)
      failed += f.result == Result::Failed ? 1 : 0;
    w_.showMessage(msg::kRestoreFailed.toString().arg(failed) + kCrLf + u"文件："_s +
                   platform::lineOfBytes(firstFailed->path) + kCrLf + u"原因："_s +
                   firstFailed->reason);
  }
}
