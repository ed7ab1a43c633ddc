#include "app/scanner.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QScopeGuard>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "app/messages.h"
#include "clean/backupstore.h"
#include "clean/journal.h"
#include "platform/fd.h"
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

// Whether a failure hides a file of the tree. A name that has gone, or now leads
// to a link, a device or another folder than the one listed, is no longer a file
// of the tree: like links and devices in a listing, it is passed over.
bool hidesAFile(int error) {
  return error != 0 && error != ENOENT && error != ENOTDIR && error != ELOOP && error != ENXIO &&
         error != EXDEV;
}

// A directory's path from its anchor may grow to this many bytes before the
// directory becomes an anchor itself: with names of at most NAME_MAX bytes, paths
// handed to the system stay below PATH_MAX however deep the tree.
constexpr qsizetype kAnchorBytes = 2048;

// A file submitted by its path: no directory holds it.
const std::shared_ptr<const platform::OpenDirectory> kNoDirectory;

// The first few unreadable paths named in the window's message.
constexpr qsizetype kUnreadableShown = 5;

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
  w_.unreadableFiles.clear();
  totals_ = Totals{};
  lookUpStore();
  const QString GJZ =
      signatureSet_.isEmpty() ? text::signatureFrom(w_.signatureText()) : signatureSet_;
  w_.ScanFlag = true;
  w_.scanSignature.reset();
  if (GJZ.isEmpty()) {
    w_.showMessage(msg::kNoSignature.toString());
    return;
  }
  w_.scanSignature = GJZ;
  w_.FileTypes = scan::parseFileTypes(w_.filterText());
  matcher_.emplace(GJZ, w_.contentEncoding(), w_.contentLineEnds());
  matcherFor_ = GJZ;
  if (const int threads = w_.scanThreads(); threads > 1) {
    pool_.emplace(*matcher_, threads, [this](const scan::FileOutcome& file) {
      if (!cut_) {
        reads_.push_back(Read{file.path, file.times, file.result, file.identity, file.stats,
                              file.dir, file.native});
      }
    });
    if (readAheadAlways)
      pool_->readAheadAlways();
  }
  steps_.clear();
  reads_.clear();
  stopSeen_ = false;
  cut_ = false;
  // The helper threads end with the scan, also when the location is refused.
  const auto poolEnd = qScopeGuard([this] {
    pool_.reset();
    steps_.clear();
    reads_.clear();
  });

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
    QString dir = locationFolder(location);
    // The walk uses full paths: a relative location is taken from the current
    // directory once, here.
    if (!dir.isEmpty() && !dir.startsWith(u'/')) {
      dir = withSlash(platform::currentDirectory()) + dir;
    }
    if (!platform::canEnterDirectory(dir)) {
      w_.showMessage(msg::kInvalidPath.toString());
      return;
    }
    prepareSkips({}, QString());
    SonMuLu(withSlash(dir), GJZ);
  }
  if (pool_)
    replay(true);
  ToFRM2();
  matcher_.reset();
  // Files passed over unread would make "nothing found" a claim nobody checked.
  if (!w_.unreadableFiles.isEmpty())
    w_.showUnreadable(unreadableMessage(w_.unreadableFiles));
  if (falseStoreWalked_) {
    storeNotSkipped_ = storeRefusal_;
    w_.showNote(storeNotSkipped_);
  }
}

QString Scanner::unreadableMessage(const QList<WindowState::Unreadable>& files) {
  QString text = msg::kUnreadable.toString().arg(files.size());
  for (qsizetype i = 0; i < files.size() && i < kUnreadableShown; ++i) {
    text += text::kCrLf;
    text += platform::lineOfPath(files[i].path);  // one line whatever the name holds
  }
  if (files.size() > kUnreadableShown) {
    text += text::kCrLf;
    text += msg::kMore;
  }
  return text;
}

void Scanner::noteUnreadable(const QString& path, int error) {
  ++totals_.unreadable;
  w_.unreadableFiles.append(WindowState::Unreadable{path, error});
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

void Scanner::lookUpStore() {
  // Only a genuine store is skipped: anyone who can put a link or a folder at the
  // store's place would otherwise choose what the scan leaves unread.
  const clean::StoreLookup store = clean::lookUpStore();
  storeId_ = store.identity;
  storeNotSkipped_.clear();
  storeRefusal_.clear();
  falseStoreId_.reset();
  falseStoreWalked_ = false;
  struct stat st;
  // Said only when the walk reaches the folder the store's path leads to: a
  // scan elsewhere has nothing to say about it.
  if (store.refusal != 0 && ::stat(store.path.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
    falseStoreId_ = platform::identityOf(st);
    storeRefusal_ = msg::kStoreNotSkipped.toString().arg(
        platform::lineOfBytes(store.path), QString::fromLocal8Bit(std::strerror(store.refusal)));
  }
}

std::shared_ptr<const platform::OpenDirectory> Scanner::openPatiently(
    const std::function<std::shared_ptr<const platform::OpenDirectory>()>& open) {
  std::shared_ptr<const platform::OpenDirectory> dir = open();
  auto wait = std::chrono::milliseconds(1);
  for (int tries = 0; dir->fd() < 0 && scan::isDescriptorShortage(dir->error()) && tries < 9;
       ++tries) {
    if (pool_ && tries == 0) {
      replay(true);
    } else {
      std::this_thread::sleep_for(wait);
      wait *= 2;
    }
    dir = open();
  }
  return dir;
}

void Scanner::SonMuLu(const QString& ApPath, const QString& GJZ) {
  if (!w_.ScanFlag)
    return;
  // The start directory may be reached through links; everything below it is
  // opened relative to an open directory above it (an anchor), through no link
  // at all, and only while each folder is still the one its parent listed.
  // Subdirectories are walked from a stack of their own, not by calls nested
  // once per level, so that no depth of tree can exhaust the stack.
  std::shared_ptr<const platform::OpenDirectory> dir =
      openPatiently([&] { return platform::openDirectory(ApPath); });
  if (dir->fd() < 0) {
    if (hidesAFile(dir->error()))
      step(Step::Kind::Unreadable, ApPath, dir->error());
    return;
  }
  struct Level {
    Pending pending;
    std::size_t next = 0;
    qsizetype pathSize = 0;                      // of the directory's path in `path`
    std::shared_ptr<platform::UniqueFd> anchor;  // what its subdirectories are opened below
    qsizetype anchorSize = 0;                    // the length of the anchor's path
  };
  auto start = std::make_shared<platform::UniqueFd>(::fcntl(dir->fd(), F_DUPFD_CLOEXEC, 0));
  if (!start->ok()) {
    step(Step::Kind::Unreadable, ApPath, errno);
    return;
  }
  QString path = ApPath;
  std::vector<Level> levels;
  levels.push_back(
      Level{listAndTest(path, GJZ, std::move(dir)), 0, path.size(), start, path.size()});
  step(Step::Kind::ListingEnd);
  while (!levels.empty()) {
    Level& top = levels.back();
    if (top.next == top.pending.size()) {
      levels.pop_back();
      continue;
    }
    const auto& entry = top.pending[top.next++];
    const QString name = entry.first;
    const auto listedAs = entry.second;
    // Each subdirectory is a walk of its own: after Stop, each returns at once.
    if (!w_.ScanFlag)
      continue;
    path.truncate(top.pathSize);
    path += name;
    path += u'/';
    const QStringView rel = QStringView(path).mid(top.anchorSize);
    std::shared_ptr<const platform::OpenDirectory> sub = openPatiently(
        [&] { return platform::openDirectoryBelow(top.anchor->get(), rel, listedAs); });
    if (sub->fd() < 0) {
      if (hidesAFile(sub->error()))
        step(Step::Kind::Unreadable, path, sub->error());
      continue;
    }
    std::shared_ptr<platform::UniqueFd> anchor = top.anchor;
    qsizetype anchorSize = top.anchorSize;
    const bool anchorHere = platform::encodePath(rel).size() > kAnchorBytes;
    const std::shared_ptr<const platform::OpenDirectory> held = anchorHere ? sub : nullptr;
    Pending pending = listAndTest(path, GJZ, std::move(sub));
    if (anchorHere && !pending.empty()) {
      anchor = std::make_shared<platform::UniqueFd>(::fcntl(held->fd(), F_DUPFD_CLOEXEC, 0));
      anchorSize = path.size();
      if (!anchor->ok()) {
        // Its subdirectories would be out of reach: each is named, none is missed quietly.
        const int error = errno;
        for (const auto& [subName, id] : pending)
          step(Step::Kind::Unreadable, path + subName + u'/', error);
        step(Step::Kind::ListingEnd);
        continue;
      }
    }
    step(Step::Kind::ListingEnd);
    levels.push_back(Level{std::move(pending), 0, path.size(), std::move(anchor), anchorSize});
  }
}

Scanner::Pending Scanner::listAndTest(const QString& ApPath, const QString& GJZ,
                                      std::shared_ptr<const platform::OpenDirectory> dir) {
  step(Step::Kind::Yield);
  Pending pending;
  const int listingError = dir->error();
  // One buffer for the entries' full paths, reused while nothing else holds it.
  QString full;
  full.reserve(ApPath.size() + 64);
  const scan::FolderFilter filter(w_.FileTypes, ApPath);
  for (const platform::DirEntry& entry : dir->entries()) {
    step(Step::Kind::Yield);
    const QString& name = entry.name;
    if (name.size() <= 2 && (name == u"." || name == u".."))
      continue;
    full.truncate(0);
    full += ApPath;
    full += name;
    if (entry.error != 0) {
      step(Step::Kind::Unreadable, full, entry.error);
    } else if (entry.isDir) {
      full += u'/';
      if (!skipDirs_.contains(full) && entry.id != storeId_)
        pending.emplace_back(name, entry.id);
      if (entry.id == falseStoreId_)
        falseStoreWalked_ = true;
    } else {
      step(Step::Kind::Show, full);
      const qsizetype times = filter.count(name);
      if (times > 0)
        OpenFiles(full, GJZ, times, dir, name);
    }
  }
  // A listing cut short leaves the rest of the folder unseen.
  if (hidesAFile(listingError))
    step(Step::Kind::Unreadable, ApPath, listingError);
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
    matcher_.emplace(GJZ, w_.contentEncoding(), w_.contentLineEnds());
    matcherFor_ = GJZ;
  }
}

void Scanner::OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times) {
  prepareMatcher(GJZ);
  if (pool_) {
    if (cut_)
      return;  // past where the walk ends: nothing more is shown
    pool_->submit(NameX, times);
    step(Step::Kind::Test, NameX);
    return;
  }
  ++totals_.tested;
  const QByteArray native = platform::encodePath(NameX);
  platform::FileIdentity identity;
  scan::ReadStats stats;
  const scan::MatchResult r = scan::matchPatiently(*matcher_, AT_FDCWD, native, &identity, &stats,
                                                   std::chrono::milliseconds(200));
  settle(scan::FileOutcome{NameX, times, r, identity, stats, AT_FDCWD, native, kNoDirectory});
}

void Scanner::OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times,
                        const std::shared_ptr<const platform::OpenDirectory>& dir,
                        const QString& name) {
  prepareMatcher(GJZ);
  if (pool_) {
    if (cut_)
      return;  // past where the walk ends: nothing more is shown
    pool_->submit(NameX, times, dir, platform::encodePath(name));
    step(Step::Kind::Test, NameX);
    return;
  }
  ++totals_.tested;
  const QByteArray native = platform::encodePath(name);
  platform::FileIdentity identity;
  scan::ReadStats stats;
  const scan::MatchResult r = scan::matchPatiently(*matcher_, dir->fd(), native, &identity, &stats,
                                                   std::chrono::milliseconds(200));
  settle(scan::FileOutcome{NameX, times, r, identity, stats, dir->fd(), native, dir});
}

void Scanner::settle(const scan::FileOutcome& file) {
  totals_.bytesRead += file.stats.bytes;
  if (file.result == scan::MatchResult::Match) {
    logDetection(file.path, file.times, file.identity);
    if (onFound)
      onFound(Found{file.path, file.identity, file.dirFd, file.native});
  } else if (file.result == scan::MatchResult::Error && hidesAFile(file.stats.error)) {
    noteUnreadable(file.path, file.stats.error);
  }
}

void Scanner::logDetection(const QString& NameX, qsizetype times,
                           const platform::FileIdentity& identity) {
  ++totals_.found;
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

QString Scanner::locationFolder(const QString& location) {
  if (location == msg::kAllDrives)
    return QString();
  return platform::designatorToPath(cutLocation(location));
}

void Scanner::ToFRM2() {
  const QString log = w_.resultsText();
  if (log.isEmpty()) {
    // Stop left folders unwalked: that nothing was found does not make the site clean.
    w_.setResultsText(w_.ScanFlag ? msg::kNoMatch.toString() : msg::kScanStopped.toString());
    return;
  }
  const QStringList pieces = text::split(log, text::kCrLf);
  for (qsizetype i = 0; i + 1 < pieces.size(); ++i)
    w_.appendResultItem(pieces[i]);
  w_.setResultBoxText(w_.resultItem(0));
}
