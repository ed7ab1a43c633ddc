#include "clean/restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>

#include "clean/backupstore.h"
#include "clean/failures.h"
#include "clean/fileio.h"
#include "platform/fd.h"
#include "platform/openpath.h"

namespace clean {
namespace {

// The SHA-256 (hex) of everything `fd` holds. 0 or errno.
int hashOf(int fd, QByteArray& hex) {
  Options none;
  Steps steps(none);
  QCryptographicHash h(QCryptographicHash::Sha256);
  StreamSpec how{.from = fd,
                 .readStep = Step::ReadOriginal,
                 .to = -1,
                 .writeStep = Step::WriteTemp,
                 .copyOnly = true};
  how.readHash = &h;
  off_t length = 0;
  if (const int e = stream(steps, 128 * 1024, {}, how, length))
    return e;
  hex = h.result().toHex();
  return 0;
}

// The latest clean run that kept copies. A run that saved none (its first file
// failed before anything was kept) has nothing to put back: taking it would
// report success and leave the last real clean in place.
QByteArray latestCleanRun(const Store& store) {
  const std::vector<QByteArray> runs = store.runs();
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    const auto m = readRun(store.fd(), *it);
    if (!m || m->kind != RunKind::Clean || !m->full)
      continue;
    if (std::any_of(m->files.begin(), m->files.end(),
                    [](const FileRecord& f) { return !f.copy.isEmpty(); }))
      return *it;
  }
  return {};
}

// The records of one file: the same path listed twice, or names of one file
// (hard links, or the file a rename of an earlier record left), in list order.
std::vector<std::vector<const FileRecord*>> filesOf(const RunManifest& m) {
  std::vector<std::vector<const FileRecord*>> groups;
  auto same = [&m](const FileRecord& a, const FileRecord& b) {
    const platform::FileIdentity id{b.dev, b.ino};
    return absolutePath(m, a) == absolutePath(m, b) || platform::FileIdentity{a.dev, a.ino} == id ||
           (a.after && *a.after == id);
  };
  for (const FileRecord& f : m.files) {
    if (f.copy.isEmpty() || f.sha256.isEmpty())
      continue;  // never touched: it failed before its backup
    auto g = std::find_if(groups.begin(), groups.end(), [&](const auto& group) {
      return std::any_of(group.begin(), group.end(),
                         [&](const FileRecord* r) { return same(*r, f); });
    });
    if (g == groups.end())
      groups.push_back({&f});
    else
      g->push_back(&f);
  }
  return groups;
}

// `f`: the file's first record, which holds its original; `left`: what the
// clean's last record of it left there.
RestoredFile restoreOne(const RunManifest& m, int runFd, const FileRecord& f,
                        const QByteArray& left, const RestoreOptions& ro, BackupRun& journal) {
  RestoredFile r;
  r.path = absolutePath(m, f);
  auto failed = [&r](const QString& why) {
    r.result = RestoredFile::Result::Failed;
    r.reason = why;
    return r;
  };
  // The file as it is now, read without following a link to it, and through a
  // link on the way only where the clean without a scan's identity would go.
  platform::OpenedFolder dir = platform::openFolderOf(r.path, platform::LinkTrust::Trusted);
  if (!dir.untrustedLink.isEmpty()) {
    Failure why;
    why.reason = Reason::UntrustedLink;
    why.link = dir.untrustedLink;
    return failed(reasonText(why));
  }
  errno = dir.error;
  platform::UniqueFd file(dir.dir.ok() ? ::openat(dir.dir.get(), dir.name.constData(),
                                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                       : -1);
  if (!file.ok()) {
    if (errno == ENOENT) {
      r.result = RestoredFile::Result::Missing;
      return r;
    }
    Failure why;
    why.error = errno;
    return failed(reasonText(why));
  }
  struct stat st;
  QByteArray now;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Failure why;
    why.reason = Reason::NotRegular;
    return failed(reasonText(why));
  }
  if (const int e = hashOf(file.get(), now)) {
    Failure why;
    why.error = e;
    return failed(reasonText(why));
  }
  const struct timespec mtime { time_t(f.mtimeSec), long(f.mtimeNsec) };
  if (now == f.sha256) {
    // The clean rewrote it as it was (nothing to remove): only its time is new.
    r.result = RestoredFile::Result::Unchanged;
    if (st.st_mtim.tv_sec != mtime.tv_sec || st.st_mtim.tv_nsec != mtime.tv_nsec) {
      const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
      if (::futimens(file.get(), times) != 0) {
        Failure why;
        why.error = errno;
        return failed(reasonText(why));
      }
      r.result = RestoredFile::Result::Restored;
    }
    return r;
  }
  if (now != left && !ro.force) {
    r.result = RestoredFile::Result::Edited;
    return r;
  }
  platform::UniqueFd copy(::openat(runFd, f.copy.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  QByteArray kept;
  if (!copy.ok() || hashOf(copy.get(), kept) != 0 || kept != f.sha256)
    return failed(QStringLiteral(u"备份已损坏或丢失，不能恢复。"));

  Options o;
  o.fault = ro.fault;
  o.keeper = &journal;
  o.contentFrom = copy.get();
  o.mtime = &mtime;
  // The file written must be the one just read.
  const platform::FileIdentity readAs = platform::identityOf(st);
  platform::FileIdentity after;
  journal.next(r.path);
  const CleanResult written = cleanFile(r.path, {}, o, &readAs, &after);
  journal.outcome(written, after);
  if (!written.ok())
    return failed(reasonText(written.failure()));
  r.result = RestoredFile::Result::Restored;
  return r;
}

}  // namespace

RestoreReport restoreRun(const QByteArray& run, const RestoreOptions& options) {
  RestoreReport report;
  report.recovered = recoverInterrupted();
  Store store;
  if (const int e = store.open(false)) {
    report.error = e;
    return report;
  }
  report.run = run.isEmpty() ? latestCleanRun(store) : run;
  const auto m = report.run.isEmpty() || report.run.contains('/') ? std::nullopt
                                                                  : readRun(store.fd(), report.run);
  if (!m || m->kind != RunKind::Clean) {
    report.error = ENOENT;
    return report;
  }
  platform::UniqueFd runFd(::openat(store.fd(), report.run.constData(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!runFd.ok()) {
    report.error = errno;
    return report;
  }
  BackupRun journal(RunKind::Restore, false, {});
  bool stopped = false;
  for (const auto& records : filesOf(*m)) {
    if (options.onFile)
      options.onFile(absolutePath(*m, *records.front()));
    report.files.push_back(restoreOne(*m, runFd.get(), *records.front(),
                                      records.back()->sha256Cleaned, options, journal));
    stopped = stopped || report.files.back().result == RestoredFile::Result::Failed;
  }
  journal.finish(stopped);
  return report;
}

QByteArray latestRestorableRun() {
  Store store;
  return store.open(false) == 0 ? latestCleanRun(store) : QByteArray();
}

QString resultText(const RestoredFile& file) {
  switch (file.result) {
    case RestoredFile::Result::Restored:
      return QStringLiteral(u"已恢复。");
    case RestoredFile::Result::Unchanged:
      return QStringLiteral(u"已是清除前的内容，没有改动。");
    case RestoredFile::Result::Edited:
      return QStringLiteral(
          u"清除之后文件又被改动过，为了不丢失这些改动，没有恢复（--force 仍然恢复）。");
    case RestoredFile::Result::Missing:
      return QStringLiteral(u"文件不存在，没有恢复。");
    case RestoredFile::Result::Failed:
      return file.reason;
  }
  return {};
}

}  // namespace clean
