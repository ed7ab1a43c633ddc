#include "scan/scanner.h"

#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "scan/filetypes.h"
#include "scan/messages.h"
#include "text/textops.h"

namespace {

QString withSlash(QString dir) {
  if (!dir.endsWith(u'/'))
    dir += u'/';
  return dir;
}

// The directory a location or drive entry stands for, cut as the location box is:
// a drive entry with a label ("/home: [DATA]") loses its label.
QString cutLocation(const QString& location) {
  const qsizetype colon = location.indexOf(u':');
  const qsizetype look = colon >= 0 ? colon + 1 : 0;
  if (look < location.size() && location[look] == u' ') {
    return colon >= 0 ? location.left(colon + 1) : QString();
  }
  return location;
}

}  // namespace

void Scanner::Command1_Click() {
  if (scanning_)
    return;
  struct Running {
    bool& flag;
    explicit Running(bool& f) : flag(f) { flag = true; }
    ~Running() { flag = false; }
  } running(scanning_);

  w_.setResultsText(QString());
  const QString GJZ = text::signatureFrom(w_.signatureText());
  w_.ScanFlag = true;
  if (GJZ.isEmpty()) {
    w_.showMessage(msg::kNoSignature.toString());
    return;
  }
  w_.FileTypes = scan::parseFileTypes(w_.filterText());
  matcher_.emplace(GJZ);
  matcherFor_ = GJZ;
  if (const int threads = w_.scanThreads(); threads > 1) {
    pool_.emplace(*matcher_, threads,
                  [this](const QString& path, qsizetype times) { logDetection(path, times); });
  }
  // The helper threads end with the scan, also when the location is refused.
  struct PoolEnd {
    std::optional<scan::OrderedMatchPool>& pool;
    ~PoolEnd() { pool.reset(); }
  } poolEnd{pool_};

  const QString location = w_.locationText();
  if (location == msg::kAllDrives) {
    QStringList roots;
    for (const QString& entry : w_.drives()) {
      // An entry is cut right after its first colon: "/home: [DATA]" -> "/home:".
      const qsizetype colon = entry.indexOf(u':');
      roots.append(
          withSlash(platform::designatorToPath(colon >= 0 ? entry.left(colon + 1) : entry)));
    }
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
  const std::vector<platform::DirEntry> listing = platform::listDirectory(ApPath);
  w_.yieldToEvents();
  QStringList pending;
  // One buffer for the entries' full paths, reused while nothing else holds it.
  QString full;
  full.reserve(ApPath.size() + 64);
  const scan::FolderFilter filter(w_.FileTypes, ApPath);
  for (const platform::DirEntry& entry : listing) {
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
        pending.append(full);
    } else {
      LabelTxt(full);
      const qsizetype times = filter.count(name);
      if (times > 0)
        OpenFiles(full, GJZ, times);
    }
  }
  for (const QString& sub : pending)
    SonMuLu(sub, GJZ);
}

void Scanner::OpenFiles(const QString& NameX, const QString& GJZ, qsizetype times) {
  // The same signature for every file of a scan: a pointer compare usually decides.
  const bool same = matcher_ && matcherFor_.size() == GJZ.size() &&
                    (matcherFor_.constData() == GJZ.constData() || matcherFor_ == GJZ);
  if (!same) {
    matcher_.emplace(GJZ);
    matcherFor_ = GJZ;
  }
  if (pool_) {
    pool_->submit(NameX, times);
    return;
  }
  if (matcher_->matchFile(platform::encodePath(NameX)) == scan::MatchResult::Match)
    logDetection(NameX, times);
}

void Scanner::logDetection(const QString& NameX, qsizetype times) {
  QString lines;
  for (qsizetype i = 0; i < times; ++i) {
    lines += NameX;
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
