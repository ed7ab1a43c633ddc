// The watch's clean of a file it found infected: the store's room, the copy
// shared by a file cleaned again, the clean run itself. Watcher's members, kept
// apart from the events and the scans (engine/watcher.cpp).
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

#include "clean/backupstore.h"
#include "clean/failures.h"
#include "engine/cleanrun.h"
#include "engine/watcher.h"
#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

bool Watcher::storeHasRoom(qint64 bytes) {
  // The store may not exist yet: its nearest folder that does tells the file system.
  QByteArray at = store_;
  struct statvfs v {};
  while (!at.isEmpty() && ::statvfs(at.constData(), &v) != 0)
    at.truncate(std::max<qsizetype>(at.lastIndexOf('/'), at == "/" ? 0 : 1));
  if (at.isEmpty())
    return true;  // no store to fill: the clean says why it cannot keep a copy
  const double size = double(v.f_blocks) * double(v.f_frsize);
  const double left = double(v.f_bavail) * double(v.f_frsize) - double(bytes);
  const bool room =
      left >= double(settings_.storeMinFreeBytes) && left >= size * settings_.storeMinFreeShare;
  if (room != !storeFull_) {
    storeFull_ = !room;
    notify(room ? Notice::Kind::StoreFreed : Notice::Kind::StoreFull, store_);
  }
  return room;
}

void Watcher::learnKeptCopies() {
  // A watch's run keeps one file; the newest such run of a path holds the
  // original its next clean would keep, whichever watch made it. Runs that hold
  // more files are not shared: restoring one would put back all of them.
  clean::Store store;
  if (store.open(false) != 0)
    return;
  std::vector<QByteArray> runs = store.runs();
  const std::size_t from = runs.size() > kRunsLearned ? runs.size() - kRunsLearned : 0;
  for (std::size_t i = runs.size(); i-- > from;) {
    const std::optional<clean::RunManifest> run = clean::readRun(store.fd(), runs[i]);
    if (!run || run->kind != clean::RunKind::Clean || !run->full || run->restored ||
        run->files.size() != 1)
      continue;
    const clean::FileRecord& file = run->files.front();
    const QByteArray path = clean::absolutePath(*run, file);
    if (file.sha256.isEmpty() || file.copy.isEmpty() || path.isEmpty() || cleans_.contains(path))
      continue;
    Cleans& cleans = cleans_[path];
    cleans.run = run->name;
    cleans.sha256 = file.sha256;
  }
}

void Watcher::shareCopy(Cleans& cleans, CleanOutcome& outcome) {
  // The original just kept is the one an earlier run keeps (a page infected
  // again the same way): that run restores it, and this one goes.
  clean::Store store;
  if (store.open(false) != 0)
    return;
  const std::optional<clean::RunManifest> run = clean::readRun(store.fd(), outcome.run);
  if (!run || run->files.size() != 1 || run->files.front().sha256.isEmpty())
    return;
  const QByteArray sha = run->files.front().sha256;
  if (!cleans.run.isEmpty() && sha == cleans.sha256 && clean::readRun(store.fd(), cleans.run) &&
      clean::removeRun(store.fd(), outcome.run) == 0) {
    outcome.run = cleans.run;
    outcome.copyShared = true;
    return;
  }
  cleans.run = outcome.run;
  cleans.sha256 = sha;
}

void Watcher::cleanFile(const QByteArray& path, const platform::FileIdentity& identity) {
  // The clean the window and the command line run, over a list of one path: the
  // file must still be the one just read, and its original goes to a backup run.
  struct stat st {};
  if (::lstat(path.constData(), &st) == 0 && !storeHasRoom(st.st_size))
    return;  // reported, not cleaned: a copy would take the room the system needs
  CleanRequest request;
  request.signature = signature_;
  request.encoding = settings_.encoding;
  request.lineEnds = settings_.lineEnds;
  std::optional<CleanedFile> result;
  QByteArray run;
  {
    CleanRun clean(request, [&](const CleanedFile& file) { result = file; });
    (void)clean.add(FileToClean{path, identity});
    clean.finish();
    run = clean.backupRun();
  }
  CleanOutcome outcome{path, false, {}, {}};
  outcome.cleaned = result && result->ok();
  if (outcome.cleaned) {
    outcome.quarantined = result->quarantined;
    outcome.quarantinedFor = result->quarantinedFor;
    outcome.otherNames = result->otherNames;
  }
  if (result && !result->ok())
    outcome.message = clean::failureMessage(platform::lineOfBytes(path), result->failure);
  outcome.run = run;
  if (outcome.cleaned) {
    if (cleans_.size() >= kCleansKept)
      cleans_.clear();
    Cleans& cleans = cleans_[path];
    if (cleans.count++ == 0)
      ::clock_gettime(CLOCK_REALTIME, &cleans.first);
    if (!run.isEmpty())
      shareCopy(cleans, outcome);
    outcome.timesCleaned = cleans.count;
    outcome.firstCleaned = cleans.first;
  }
  if (onClean)
    onClean(outcome);
}
