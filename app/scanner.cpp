#include "app/scanner.h"

#include <fcntl.h>

#include <QScopeGuard>

#include <utility>

#include "app/messages.h"
#include "clean/journal.h"
#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "scan/filetypes.h"
#include "text/textops.h"

namespace {

QString withSlash(QString dir) {
  if (!dir.endsWith(u'/'))
    dir += u'/';
  return dir;
}

// The two cuts differ on purpose. The location box holds whatever the user typed,
// so it is cut only where a space follows the first colon, the form of a drive
// entry with a label: a typed path with a colon in it ("/srv/a:b") stays whole.
// A drive entry is always the drive list's own form, so it is cut right after its
// first colon, label or not.

// The location box's text as a location: "/home: [DATA]" -> "/home:".
QString cutLocation(const QString& location) {
  const qsizetype colon = location.indexOf(u':');
  const qsizetype look = colon >= 0 ? colon + 1 : 0;
  if (look < location.size() && location[look] == u' ') {
    return colon >= 0 ? location.left(colon + 1) : QString();
  }
  return location;
}

// A drive entry as its drive: "/home: [DATA]" -> "/home:", "/home:" as it is.
QString cutDriveEntry(const QString& entry) {
  const qsizetype colon = entry.indexOf(u':');
  return colon >= 0 ? entry.left(colon + 1) : entry;
}

}  // namespace

void Scanner::Command1_Click() {
  if (scanning_)
    return;
  scanning_ = true;
  const auto running = qScopeGuard([this] { scanning_ = false; });

  // A clean cut short may have left a file half rewritten: put it back first.
  if (const QString note = clean::recoveryMessage(clean::recoverInterrupted()); !note.isEmpty())
    w_.showNote(note);

  w_.setResultsText(QString());
  w_.scannedFiles.clear();
  const QString GJZ = text::signatureFrom(w_.signatureText());
  w_.ScanFlag = true;
  if (GJZ.isEmpty()) {
    w_.showMessage(msg::kNoSignature.toString());
    return;
  }
  w_.FileTypes = scan::parseFileTypes(w_.filterText());
  matcher_.emplace(GJZ, w_.contentEncoding());
  matcherFor_ = GJZ;
  if (const int threads = w_.scanThreads(); threads > 1) {
    pool_.emplace(
        *matcher_, threads,
        [this](const QString& path, qsizetype times, const platform::FileIdentity& identity) {
          logDetection(path, times, identity);
        });
  }
  // The helper threads end with the scan, also when the location is refused.
  const auto poolEnd = qScopeGuard([this] { pool_.reset(); });

  const QString location = w_.locationText();
  if (location == msg::kAllDrives) {
    QStringList roots;
    for (const QString& entry : w_.drives())
      roots.append(withSlash(platform::designatorToPath(cutDriveEntry(entry))));
    for (const QString& root : roots) {
      prepareSkips(roots, root);
      SonMuLu(root, GJZ);
    }
  } else {
    QString dir = platform::designatorToPath(cutLocation(location));
    // The walk's paths must stay valid after the test below changes the current
    // directory, so a relative location is made absolute first.
    if (!dir.isEmpty() && !dir.startsWith(u'/')) {
      dir = withSlash(platform::currentDirectory()) + dir;
    }
    if (!platform::setCurrentDirectory(dir)) {
      w_.showMessage(msg::kInvalidPath.toString());
      return;
    }
    prepareSkips({}, QString());
    SonMuLu(withSlash(dir), GJZ);
  }
  if (pool_)
    pool_->finish();
  ToFRM2();
  matcher_.reset();
}

void Scanner::prepareSkips(const QStringList& allDriveRoots, const QString& currentRoot) {
  skipDirs_.clear();
  const std::vector<platform::Mount> mounts = platform::readMounts();
  // During an all-drives scan a file system reached again through another mount
  // point (a bind mount) is walked as part of its own drive only.
  QSet<QString> driveDevices;
  for (const platform::Mount& m : mounts) {
    if (allDriveRoots.contains(withSlash(m.mountPoint)))
      driveDevices.insert(m.deviceId);
  }
  for (const platform::Mount& m : mounts) {
    if (platform::isPseudoFileSystem(m.fsType) || driveDevices.contains(m.deviceId)) {
      skipDirs_.insert(withSlash(m.mountPoint));
    }
  }
  for (const QString& root : allDriveRoots)
    skipDirs_.insert(root);
  skipDirs_.remove(currentRoot);
}

void Scanner::SonMuLu(const QString& ApPath, const QString& GJZ) {
  if (!w_.ScanFlag)
    return;
  // The start directory may be reached through links; everything below it is
  // opened relative to it, through no link at all, and only while each folder is
  // still the one its parent listed. The start stays open for the whole walk.
  std::shared_ptr<const platform::OpenDirectory> dir = platform::openDirectory(ApPath);
  platform::UniqueFd outerFd = std::exchange(
      startFd_, platform::UniqueFd(dir->fd() >= 0 ? ::fcntl(dir->fd(), F_DUPFD_CLOEXEC, 0) : -1));
  QString outerPath = std::exchange(startPath_, ApPath);
  const auto restore = qScopeGuard([&] {
    startFd_ = std::move(outerFd);
    startPath_ = std::move(outerPath);
  });
  const Pending pending = listAndTest(ApPath, GJZ, std::move(dir));
  for (const auto& [sub, id] : pending)
    SonMuLu(sub, GJZ, id);
}

void Scanner::SonMuLu(const QString& ApPath, const QString& GJZ,
                      const platform::FileIdentity& listedAs) {
  // This is all that stays on the stack for each level of the tree: the
  // listing's work is done in a call of its own that has returned.
  if (!w_.ScanFlag || !startFd_ || !ApPath.startsWith(startPath_))
    return;
  const Pending pending =
      listAndTest(ApPath, GJZ,
                  platform::openDirectoryBelow(
                      startFd_.get(), QStringView(ApPath).mid(startPath_.size()), listedAs));
  for (const auto& [sub, id] : pending)
    SonMuLu(sub, GJZ, id);
}

Scanner::Pending Scanner::listAndTest(const QString& ApPath, const QString& GJZ,
                                      std::shared_ptr<const platform::OpenDirectory> dir) {
  w_.yieldToEvents();
  Pending pending;
  // One buffer for the entries' full paths, reused while nothing else holds it.
  QString full;
  full.reserve(ApPath.size() + 64);
  const scan::FolderFilter filter(w_.FileTypes, ApPath);
  for (const platform::DirEntry& entry : dir->entries()) {
    w_.yieldToEvents();
    const QString& name = entry.name;
    if (name.size() <= 2 && (name == u"." || name == u".."))
      continue;
    full.truncate(0);
    full += ApPath;
    full += name;
    if (entry.isDir) {
      full += u'/';
      if (!skipDirs_.contains(full))
        pending.emplace_back(full, entry.id);
    } else {
      LabelTxt(full);
      const qsizetype times = filter.count(name);
      if (times > 0)
        OpenFiles(full, GJZ, times, dir, name);
    }
  }
  // The directory is closed here (or when its last queued file has been read),
  // so only the one being listed stays open, not one per level.
  return pending;
}

void Scanner::LabelTxt(const QString& t) {
  w_.setCurrentFileText(platform::lineOfPath(t));
}

void Scanner::prepareMatcher(const QString& GJZ) {
  // The same signature for every file of a scan: a pointer compare usually decides.
  const bool same = matcher_ && matcherFor_.size() == GJZ.size() &&
                    (matcherFor_.constData() == GJZ.constData() || matcherFor_ == GJZ);
  if (!same) {
    matcher_.emplace(GJZ, w_.contentEncoding());
    matcherFor_ = GJZ;
  }
}

void Scanner::OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times) {
  prepareMatcher(GJZ);
  if (pool_) {
    pool_->submit(NameX, times);
    return;
  }
  platform::FileIdentity identity;
  if (matcher_->matchFile(platform::encodePath(NameX), &identity) == scan::MatchResult::Match)
    logDetection(NameX, times, identity);
}

void Scanner::OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times,
                        const std::shared_ptr<const platform::OpenDirectory>& dir,
                        const QString& name) {
  prepareMatcher(GJZ);
  if (pool_) {
    pool_->submit(NameX, times, dir, platform::encodePath(name));
    return;
  }
  platform::FileIdentity identity;
  if (matcher_->matchFileAt(dir->fd(), platform::encodePath(name), &identity) ==
      scan::MatchResult::Match)
    logDetection(NameX, times, identity);
}

void Scanner::logDetection(const QString& NameX, qsizetype times,
                           const platform::FileIdentity& identity) {
  w_.scannedFiles.insert(NameX, identity);
  // One line per detection whatever the name holds: a line break in a name must
  // not make a second path, nor a name that reads as a quoted line be taken as one.
  const QString line = platform::lineOfPath(NameX);
  QString lines;
  for (qsizetype i = 0; i < times; ++i) {
    lines += line;
    lines += text::kCrLf;
  }
  w_.appendResultsText(lines);
}

void Scanner::ToFRM2() {
  const QString log = w_.resultsText();
  if (log.isEmpty()) {
    w_.setResultsText(msg::kNoMatch.toString());
    return;
  }
  const QStringList pieces = text::split(log, text::kCrLf);
  for (qsizetype i = 0; i + 1 < pieces.size(); ++i)
    w_.appendResultItem(pieces[i]);
  w_.setResultBoxText(w_.resultItem(0));
}
