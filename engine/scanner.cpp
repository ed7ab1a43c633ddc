#include "engine/scanner.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QScopeGuard>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "engine/messages.h"
#include "engine/nearmiss.h"
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

// The first few unreadable paths named in the window's message.
constexpr qsizetype kUnreadableShown = 5;

// A drive entry as its drive: "/home: [DATA]" -> "/home:", "/home:" as it is.
QString cutDriveEntry(const QString& entry) {
  const qsizetype colon = entry.indexOf(u':');
  return colon >= 0 ? entry.left(colon + 1) : entry;
}

}  // namespace

bool Scanner::scan(const ScanRequest& request) {
  if (scanning_)
    return false;
  scanning_ = true;
  const auto running = qScopeGuard([this] { scanning_ = false; });

  // A clean cut short may have left a file half rewritten: put it back first.
  if (const QString note = clean::recoveryMessage(clean::recoverInterrupted()); !note.isEmpty())
    l_.note(note);

  l_.starting();
  request_ = request;
  totals_ = Totals{};
  holdingBareSoFar_ = 0;
  holdingBare_.reset();
  lookUpStore();
  const QString& signature = request.signature;
  if (signature.isEmpty()) {
    l_.refused(msg::kNoSignature.toString());
    return false;
  }
  fileTypes_ = scan::parseFileTypes(request.filter);
  l_.walking(fileTypes_);
  makeMatcher(signature);
  if (const QString why = matcher_->error(); !why.isEmpty()) {
    matcher_.reset();
    l_.refused(msg::kSetNotSearchable.toString() + why);
    return false;
  }
  if (request.threads > 1) {
    pool_.emplace(*matcher_, request.threads, [this](const scan::FileOutcome& file) {
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
  if (!walkLocation(signature))
    return false;
  if (pool_)
    replay(true);
  // A stopped walk counted only some of the files.
  if (matcher_->hasCore() && !stopSeen_ && !l_.stopRequested())
    holdingBare_ = holdingBareSoFar_;
  matcher_.reset();
  if (falseStoreWalked_)
    storeNotSkipped_ = storeRefusal_;
  return true;
}

bool Scanner::walkLocation(const QString& signature) {
  const QString& location = request_.location;
  if (location == msg::kAllDrives) {
    QStringList roots;
    for (const QString& entry : request_.drives)
      roots.append(withSlash(platform::designatorToPath(cutDriveEntry(entry))));
    for (const QString& root : roots) {
      prepareSkips(roots, root);
      walk(root, signature);
    }
    return true;
  }
  QString dir = locationFolder(location);
  // The walk uses full paths: a relative location is taken from the current
  // directory once, here.
  if (!dir.isEmpty() && !dir.startsWith(u'/')) {
    dir = withSlash(platform::currentDirectory()) + dir;
  }
  if (!platform::canEnterDirectory(dir)) {
    l_.refused(msg::kInvalidPath.toString());
    return false;
  }
  prepareSkips({}, QString());
  walk(withSlash(dir), signature);
  return true;
}

namespace {

// A message of a number of files and the first few paths.
QString pathsMessage(QStringView head, const QStringList& paths) {
  QString text = head.toString().arg(paths.size());
  for (qsizetype i = 0; i < paths.size() && i < kUnreadableShown; ++i) {
    text += text::kCrLf;
    text += platform::lineOfPath(paths[i]);  // one line whatever the name holds
  }
  if (paths.size() > kUnreadableShown) {
    text += text::kCrLf;
    text += msg::kMore;
  }
  return text;
}

}  // namespace

QString Scanner::unreadableMessage(const QStringList& paths) {
  return pathsMessage(msg::kUnreadable, paths);
}

QString Scanner::otherReadingMessage(const QStringList& paths) {
  return pathsMessage(msg::kOtherReading, paths);
}

void Scanner::noteUnreadable(const QString& path, int error) {
  ++totals_.unreadable;
  l_.unreadable(path, error);
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
    storeRefusal_ = msg::kStoreNotSkipped.toString().arg(platform::lineOfBytes(store.path),
                                                         platform::errorText(store.refusal));
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

void Scanner::walk(const QString& folder, const QString& signature) {
  if (l_.stopRequested())
    return;
  // The start directory may be reached through links; everything below it is
  // opened relative to an open directory above it (an anchor), through no link
  // at all, and only while each folder is still the one its parent listed.
  // Subdirectories are walked from a stack of their own, not by calls nested
  // once per level, so that no depth of tree can exhaust the stack.
  std::shared_ptr<const platform::OpenDirectory> dir =
      openPatiently([&] { return platform::openDirectory(folder); });
  if (dir->fd() < 0) {
    if (hidesAFile(dir->error()))
      step(Step::Kind::Unreadable, folder, dir->error());
    return;
  }
  auto start = std::make_shared<platform::UniqueFd>(::fcntl(dir->fd(), F_DUPFD_CLOEXEC, 0));
  if (!start->ok()) {
    step(Step::Kind::Unreadable, folder, errno);
    return;
  }
  QString path = folder;
  std::vector<Level> levels;
  levels.push_back(
      Level{listAndTest(path, signature, std::move(dir)), 0, path.size(), start, path.size()});
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
    if (l_.stopRequested())
      continue;
    if (std::optional<Level> below = descend(top, name, listedAs, path, signature))
      levels.push_back(std::move(*below));
  }
}

std::optional<Scanner::Level> Scanner::descend(const Level& top, const QString& name,
                                               const platform::FileIdentity& listedAs,
                                               QString& path, const QString& signature) {
  path.truncate(top.pathSize);
  path += name;
  path += u'/';
  const QStringView rel = QStringView(path).mid(top.anchorSize);
  std::shared_ptr<const platform::OpenDirectory> sub =
      openPatiently([&] { return platform::openDirectoryBelow(top.anchor->get(), rel, listedAs); });
  if (sub->fd() < 0) {
    if (hidesAFile(sub->error()))
      step(Step::Kind::Unreadable, path, sub->error());
    return std::nullopt;
  }
  std::shared_ptr<platform::UniqueFd> anchor = top.anchor;
  qsizetype anchorSize = top.anchorSize;
  const bool anchorHere = platform::encodePath(rel).size() > kAnchorBytes;
  const std::shared_ptr<const platform::OpenDirectory> held = anchorHere ? sub : nullptr;
  Pending pending = listAndTest(path, signature, std::move(sub));
  if (anchorHere && !pending.empty()) {
    anchor = std::make_shared<platform::UniqueFd>(::fcntl(held->fd(), F_DUPFD_CLOEXEC, 0));
    anchorSize = path.size();
    if (!anchor->ok()) {
      // Its subdirectories would be out of reach: each is named, none is missed quietly.
      const int error = errno;
      for (const auto& [subName, id] : pending)
        step(Step::Kind::Unreadable, path + subName + u'/', error);
      step(Step::Kind::ListingEnd);
      return std::nullopt;
    }
  }
  step(Step::Kind::ListingEnd);
  return Level{std::move(pending), 0, path.size(), std::move(anchor), anchorSize};
}

Scanner::Pending Scanner::listAndTest(const QString& folder, const QString& signature,
                                      std::shared_ptr<const platform::OpenDirectory> dir) {
  step(Step::Kind::Yield);
  Pending pending;
  const int listingError = dir->error();
  // One buffer for the entries' full paths, reused while nothing else holds it.
  QString full;
  full.reserve(folder.size() + 64);
  const scan::FolderFilter filter(fileTypes_, folder);
  for (const platform::DirEntry& entry : dir->entries()) {
    step(Step::Kind::Yield);
    const QString& name = entry.name;
    if (name.size() <= 2 && (name == u"." || name == u".."))
      continue;
    full.truncate(0);
    full += folder;
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
        openFile(full, signature, times, dir, name);
    }
  }
  // A listing cut short leaves the rest of the folder unseen.
  if (hidesAFile(listingError))
    step(Step::Kind::Unreadable, folder, listingError);
  // The directory is closed here (or when its last queued file has been read),
  // so only the one being listed stays open, not one per level.
  return pending;
}

void Scanner::prepareMatcher(const QString& signature) {
  // The same signature for every file of a scan: a pointer compare usually decides.
  const bool same = matcher_ && matcherFor_.size() == signature.size() &&
                    (matcherFor_.constData() == signature.constData() || matcherFor_ == signature);
  if (!same)
    makeMatcher(signature);
}

void Scanner::makeMatcher(const QString& signature) {
  // A set's text has none at its ends, and the matcher takes a core for one
  // signature only.
  matcher_.emplace(signature, request_.encoding, request_.lineEnds,
                   nearmiss::withoutEdgeBlanks(signature));
  matcherFor_ = signature;
}

void Scanner::openFile(const QString& path, const QString& signature, qsizetype times,
                       const std::shared_ptr<const platform::OpenDirectory>& dir,
                       const QString& name) {
  prepareMatcher(signature);
  if (pool_) {
    if (cut_)
      return;  // past where the walk ends: nothing more is shown
    pool_->submit(path, times, dir, platform::encodePath(name));
    step(Step::Kind::Test, path);
    return;
  }
  ++totals_.tested;
  const QByteArray native = platform::encodePath(name);
  platform::FileIdentity identity;
  scan::ReadStats stats;
  const scan::MatchResult r = scan::matchPatiently(*matcher_, dir->fd(), native, &identity, &stats,
                                                   std::chrono::milliseconds(200));
  settle(scan::FileOutcome{path, times, r, identity, stats, dir->fd(), native, dir});
}

void Scanner::settle(const scan::FileOutcome& file) {
  totals_.bytesRead += file.stats.bytes;
  holdingBareSoFar_ += file.stats.holdsCore ? 1 : 0;
  if (file.result == scan::MatchResult::Match) {
    ++totals_.found;
    l_.found(ScanFound{file.path, file.identity, file.dirFd, file.native, file.times});
  } else if (file.result == scan::MatchResult::Error && hidesAFile(file.stats.error)) {
    noteUnreadable(file.path, file.stats.error);
  } else if (file.result == scan::MatchResult::NoMatch &&
             file.stats.otherReading != text::Encoding::Auto) {
    ++totals_.otherReading;
    l_.otherReading(file.path, file.stats.otherReading);
  }
}

QString Scanner::locationFolder(const QString& location) {
  if (location == msg::kAllDrives)
    return QString();
  return platform::designatorToPath(cutLocation(location));
}
