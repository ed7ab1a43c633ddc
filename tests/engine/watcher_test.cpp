// The watch on real kernel events, with inotify and (as root with the
// capability) fanotify: what is written, moved or linked into a tree, folders
// that appear, bursts, and an overflow followed by a scan of the trees.
#include "engine/watcher.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "clean/restore.h"
#include "scan/signaturesetmatch.h"
#include "testsupport.h"
#include "text/signatureset.h"

using namespace std::chrono_literals;
using Backend = platform::FsWatch::Backend;

namespace {

const QByteArray kSig = "<iframe src=http://evil.example width=0 height=0></iframe>";

QByteArray infected(const QByteArray& before = "<p>hi</p>") {
  return before + "<IFRAME SRC=http://evil.example width=0 height=0></iframe>\n";
}

void writeFile(const QByteArray& path, const QByteArray& content) {
  QFile f(QString::fromUtf8(path));
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
    throw std::runtime_error("cannot write " + path.toStdString());
}

// Every condition is waited for this long at most: a loaded machine is slow,
// never this slow.
constexpr auto kPatience = 60s;

// A watcher running on a thread of its own, and what it told.
class Running {
 public:
  Running(Watcher::Settings s, Backend backend) {
    s.allowFanotify = backend == Backend::Fanotify;
    if (s.signatureText.isEmpty())
      s.signatureText = QString::fromUtf8(kSig);
    if (s.filterText.isEmpty())
      s.filterText = QStringLiteral("*.php|*.js");
    // The tests' store lies in memory, whose free share is the machine's: no
    // limit unless a test asks for one that nothing can meet.
    if (s.storeMinFreeShare < 1) {
      s.storeMinFreeShare = 0;
      s.storeMinFreeBytes = 0;
    }
    watcher_ = std::make_unique<Watcher>(s);
    watcher_->onDetection = [this](const Watcher::Detection& d) {
      {
        std::unique_lock lock(mutex_);
        detected_.append(d.path);
        causes_.append(d.cause);
        // A test may hold the loop here, so that the kernel's queue fills.
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
      }
    };
    watcher_->onClean = [this](const Watcher::CleanOutcome& o) {
      const std::lock_guard lock(mutex_);
      cleaned_.append(o.path);
      runs_.append(o.run);
      timesCleaned_ = o.timesCleaned;
      if (!o.cleaned)
        cleanFailures_.append(o.message);
      if (o.quarantined)
        quarantined_.append(o.path);
      changed_.notify_all();
    };
    watcher_->onNotice = [this](const Watcher::Notice& n) {
      const std::lock_guard lock(mutex_);
      notices_.push_back(n.kind);
      changed_.notify_all();
    };
    why_ = watcher_->start();
    if (why_.isEmpty())
      thread_ = std::thread([this] { watcher_->run(); });
  }
  ~Running() {
    release();
    if (thread_.joinable()) {
      watcher_->requestStop();
      thread_.join();
    }
  }
  const QString& why() const { return why_; }
  Watcher& watcher() { return *watcher_; }

  // Waits until `done` holds of what was told; false after kPatience.
  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, done);
  }
  bool waitDetected(const QByteArray& path) {
    return waitFor([&] { return detected_.contains(path); });
  }
  bool waitDetected(const QByteArray& path, qsizetype times) {
    return waitFor([&] { return detected_.count(path) >= times; });
  }
  bool waitCleans(qsizetype n) {
    return waitFor([&] { return cleaned_.size() >= n; });
  }
  bool waitNotice(Watcher::Notice::Kind kind) {
    return waitFor(
        [&] { return std::find(notices_.begin(), notices_.end(), kind) != notices_.end(); });
  }
  bool waitNotices(Watcher::Notice::Kind kind, std::ptrdiff_t times) {
    return waitFor([&] { return std::count(notices_.begin(), notices_.end(), kind) >= times; });
  }
  std::ptrdiff_t timesTold(Watcher::Notice::Kind kind) {
    const std::lock_guard lock(mutex_);
    return std::count(notices_.begin(), notices_.end(), kind);
  }
  qsizetype timesDetected(const QByteArray& path) {
    const std::lock_guard lock(mutex_);
    return detected_.count(path);
  }
  QList<QByteArray> detected() {
    const std::lock_guard lock(mutex_);
    return detected_;
  }
  QList<QByteArray> runs() {
    const std::lock_guard lock(mutex_);
    return runs_;
  }
  int timesCleaned() {
    const std::lock_guard lock(mutex_);
    return timesCleaned_;
  }
  qsizetype cleans() {
    const std::lock_guard lock(mutex_);
    return cleaned_.size();
  }
  QStringList cleanFailures() {
    const std::lock_guard lock(mutex_);
    return cleanFailures_;
  }
  bool cleaned(const QByteArray& path) {
    return waitFor([&] { return cleaned_.contains(path); });
  }
  qsizetype timesQuarantined(const QByteArray& path) {
    const std::lock_guard lock(mutex_);
    return quarantined_.count(path);
  }
  // The next detection holds the loop until release().
  void hold() {
    const std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    const std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  std::unique_ptr<Watcher> watcher_;
  QString why_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  QList<QByteArray> detected_;
  QList<Watcher::Cause> causes_;
  QList<QByteArray> cleaned_;
  QList<QByteArray> runs_;
  QStringList cleanFailures_;
  QList<QByteArray> quarantined_;
  int timesCleaned_ = 0;
  std::vector<Watcher::Notice::Kind> notices_;
  bool held_ = false;
};

// Writes the signature into `name` through a mapping its descriptor is closed
// on, which makes no event at all, and expects it reported while mapped. By
// another process, as an intruder's is: the watch takes its own process's
// opens for its own reads.
void expectReportedWhileMapped(Running& r, const QByteArray& path,
                               std::chrono::milliseconds settle) {
  const QByteArray line = infected();
  int go[2];
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    ::close(go[1]);  // the test's close is the end
    const int mfd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (mfd < 0 || ::ftruncate(mfd, line.size()) != 0)
      ::_exit(1);
    void* map =
        ::mmap(nullptr, std::size_t(line.size()), PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
    ::close(mfd);
    char byte;
    if (map == MAP_FAILED || ::read(go[0], &byte, 1) != 1)
      ::_exit(1);
    std::memcpy(map, line.constData(), std::size_t(line.size()));
    (void)!::read(go[0], &byte, 1);  // mapped until the test is over
    ::_exit(0);
  }
  ::close(go[0]);
  std::this_thread::sleep_for(settle * 2);  // its first test, of zeros, is over
  EXPECT_EQ(::write(go[1], "w", 1), 1);
  EXPECT_TRUE(r.waitDetected(path));
  ::close(go[1]);
  int status = 0;
  ::waitpid(writer, &status, 0);
  EXPECT_EQ(status, 0);
}

class WatcherTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Fanotify && ::geteuid() != 0)
      GTEST_SKIP() << "SKIP: fanotify needs root with CAP_SYS_ADMIN; running as uid "
                   << ::geteuid();
  }
  // Starts a watcher over the tree; skips when fanotify is refused here.
  std::unique_ptr<Running> watch(Watcher::Settings s = {}) {
    s.folders = {tree.root()};
    auto r = std::make_unique<Running>(s, GetParam());
    EXPECT_TRUE(r->why().isEmpty()) << r->why().toStdString();
    if (r->why().isEmpty() && r->watcher().backend() != GetParam()) {
      skipped = "SKIP: fanotify refused: " + r->watcher().fanotifyRefused().toStdString();
      return nullptr;
    }
    return r;
  }
  // A file whose detection shows that everything written before it was handled:
  // events are tested in the order they settle.
  void sentinel(Running& r, const QByteArray& name = "zz-sentinel.php") {
    tree.write(name, infected());
    ASSERT_TRUE(r.waitDetected(tree.abs(name)));
  }
  TempTree tree;
  std::string skipped;
};

#define WATCH_OR_SKIP(var, ...)          \
  auto var = watch(__VA_ARGS__);         \
  if (!var) {                            \
    if (!skipped.empty())                \
      GTEST_SKIP() << skipped;           \
    FAIL() << "the watch did not start"; \
  }

TEST_P(WatcherTest, ReportsAWrittenInfectedFileAndNotACleanOne) {
  WATCH_OR_SKIP(r);
  tree.write("clean.php", "<p>nothing here</p>");
  tree.write("sub-later/other.txt", infected());  // out of the filter's scope
  tree.write("a.php", infected());
  ASSERT_TRUE(r->waitDetected(tree.abs("a.php")));
  sentinel(*r);
  EXPECT_EQ(r->timesDetected(tree.abs("clean.php")), 0);
  for (const QByteArray& p : r->detected())
    EXPECT_FALSE(p.endsWith(".txt")) << p.toStdString();
  EXPECT_EQ(r->timesDetected(tree.abs("a.php")), 1);
}

TEST_P(WatcherTest, TestsFilesAndFoldersMovedIn) {
  QTemporaryDir outside(QDir::tempPath() + QStringLiteral("/tervane-outside-XXXXXX"));
  ASSERT_TRUE(outside.isValid());
  const QByteArray out = QDir(outside.path()).canonicalPath().toUtf8();
  WATCH_OR_SKIP(r);
  // Written outside, where nothing is watched: only the move brings it in.
  writeFile(out + "/moved.php", infected());
  ::mkdir((out + "/folder").constData(), 0755);
  ::mkdir((out + "/folder/deep").constData(), 0755);
  writeFile(out + "/folder/deep/inner.js", infected());
  ASSERT_EQ(::rename((out + "/moved.php").constData(), tree.abs("moved.php").constData()), 0);
  ASSERT_EQ(::rename((out + "/folder").constData(), tree.abs("folder").constData()), 0);
  EXPECT_TRUE(r->waitDetected(tree.abs("moved.php")));
  EXPECT_TRUE(r->waitDetected(tree.abs("folder/deep/inner.js")));
  // The folder moved in is watched from now on.
  tree.write("folder/deep/later.php", infected());
  EXPECT_TRUE(r->waitDetected(tree.abs("folder/deep/later.php")));
}

TEST_P(WatcherTest, FollowsNoLinkOutOfTheTree) {
  QTemporaryDir outside(QDir::tempPath() + QStringLiteral("/tervane-outside-XXXXXX"));
  ASSERT_TRUE(outside.isValid());
  const QByteArray out = QDir(outside.path()).canonicalPath().toUtf8();
  ::mkdir((out + "/dir").constData(), 0755);
  writeFile(out + "/target.php", "<p>ok</p>");
  tree.symlink(out + "/dir", "linked-dir");
  tree.symlink(out + "/target.php", "linked.php");
  WATCH_OR_SKIP(r);
  // Written through the links: the files written lie outside the tree.
  writeFile(tree.abs("linked-dir/evil.php"), infected());
  writeFile(tree.abs("linked.php"), infected());
  // A link to an infected file moved in, in place of a file.
  writeFile(out + "/evil2.php", infected());
  ASSERT_EQ(::symlink((out + "/evil2.php").constData(), (out + "/swap.php").constData()), 0);
  ASSERT_EQ(::rename((out + "/swap.php").constData(), tree.abs("swap.php").constData()), 0);
  // A file written beside the tree, on the same file system (fanotify sees it).
  writeFile(out + "/beside.php", infected());
  sentinel(*r);
  for (const QByteArray& p : r->detected())
    EXPECT_TRUE(p.startsWith(tree.rootBytes() + '/')) << p.toStdString();
  EXPECT_EQ(r->timesDetected(tree.abs("linked.php")), 0);
  EXPECT_EQ(r->timesDetected(tree.abs("swap.php")), 0);
  EXPECT_EQ(r->detected().size(), 1);  // the sentinel
}

TEST_P(WatcherTest, WatchesFoldersCreatedAfterStart) {
  WATCH_OR_SKIP(r);
  tree.mkdirs("new/deeper/deepest");
  tree.write("new/deeper/deepest/f.php", infected());
  EXPECT_TRUE(r->waitDetected(tree.abs("new/deeper/deepest/f.php")));
  tree.mkdirs("new/deeper/deepest/again");
  tree.write("new/deeper/deepest/again/g.js", infected());
  EXPECT_TRUE(r->waitDetected(tree.abs("new/deeper/deepest/again/g.js")));
}

TEST_P(WatcherTest, TestsABurstOfWritesToOneFileOnce) {
  Watcher::Settings s;
  // Generous, so that a slow machine cannot cut the burst in two.
  s.settle = 5s;
  WATCH_OR_SKIP(r, s);
  for (int i = 0; i < 50; ++i)
    tree.write("busy.php", infected(QByteArray::number(i)));
  ASSERT_TRUE(r->waitDetected(tree.abs("busy.php")));
  sentinel(*r);
  EXPECT_EQ(r->timesDetected(tree.abs("busy.php")), 1);
  EXPECT_EQ(r->watcher().filesTested(), 2);  // the burst and the sentinel
}

TEST_P(WatcherTest, RescansAfterAnOverflowAndFindsWhatWasWrittenMeanwhile) {
  // Watched from the start: a folder made while the loop is held would be
  // watched, and its files found, only when its own event is read.
  tree.mkdir("burst");
  WATCH_OR_SKIP(r);
  // The loop is held on the first detection while the queue overflows: 20,000
  // files make more events than the kernel queues (16,384 by default).
  r->hold();
  tree.write("first.php", infected());
  ASSERT_TRUE(r->waitDetected(tree.abs("first.php")));
  for (int i = 0; i < 20000; ++i)
    tree.write("burst/" + QByteArray::number(i) + ".txt", "x");
  tree.write("burst/during.php", infected());
  r->release();
  EXPECT_TRUE(r->waitNotice(Watcher::Notice::Kind::Overflow));
  EXPECT_TRUE(r->waitNotice(Watcher::Notice::Kind::ScanFinished));
  EXPECT_TRUE(r->waitDetected(tree.abs("burst/during.php")));
  // The scan found first.php as well, the very file already reported.
  EXPECT_EQ(r->timesDetected(tree.abs("first.php")), 1);
  // Still watching after the scan.
  tree.write("after.php", infected());
  EXPECT_TRUE(r->waitDetected(tree.abs("after.php")));
}

TEST_P(WatcherTest, AScanAfterAnOverflowTellsOnlyWhatItHadNoRoomToRemember) {
  for (const char* name : {"a.php", "b.php", "c.php"})
    tree.write(name, infected());
  Watcher::Settings s;
  s.initialScan = true;
  s.reportsKept = 2;  // the third file found is reported, not remembered
  s.maxWaiting = 1;   // a second file waiting to settle is an overflow
  s.settle = 5s;
  WATCH_OR_SKIP(r, s);
  ASSERT_TRUE(r->waitNotices(Watcher::Notice::Kind::ScanFinished, 1));
  ASSERT_EQ(r->detected().size(), 3);
  tree.write("x.php", "fine");
  tree.write("y.php", "fine");
  ASSERT_TRUE(r->waitNotice(Watcher::Notice::Kind::Overflow));
  ASSERT_TRUE(r->waitNotices(Watcher::Notice::Kind::ScanFinished, 2));
  qsizetype told = 0;
  for (const char* name : {"a.php", "b.php", "c.php"}) {
    EXPECT_GE(r->timesDetected(tree.abs(name)), 1) << name;
    told += r->timesDetected(tree.abs(name));
  }
  // Once each, and again only the one not remembered.
  EXPECT_EQ(told, 4);
}

TEST_P(WatcherTest, AFileAScanReportedAfterItsLastWriteIsNotReportedAgain) {
  Watcher::Settings s;
  s.maxWaiting = 1;  // a second file waiting to settle is an overflow
  s.settle = 2s;
  WATCH_OR_SKIP(r, s);
  tree.write("x.php", infected());  // waits to settle, and is found by the scan
  tree.write("y.php", "fine");
  ASSERT_TRUE(r->waitNotice(Watcher::Notice::Kind::ScanFinished));
  ASSERT_EQ(r->timesDetected(tree.abs("x.php")), 1);
  // Then its own test, when it settles: the same file as reported, unchanged.
  const qint64 tested = r->watcher().filesTested();
  for (auto waited = 0ms; r->watcher().filesTested() == tested && waited < kPatience;
       waited += 50ms)
    std::this_thread::sleep_for(50ms);
  ASSERT_GT(r->watcher().filesTested(), tested);
  EXPECT_EQ(r->timesDetected(tree.abs("x.php")), 1);
  // Written again after that: news.
  tree.write("x.php", infected("again"));
  EXPECT_TRUE(r->waitDetected(tree.abs("x.php"), 2));
}

TEST_P(WatcherTest, ItsOwnWalksAndScansNeverOverflowTheQueue) {
  // Opening and listing a folder makes four events, reading a file two: far
  // more than the kernel queues (16,384 by default), at the start's walk and
  // in the scan, while the loop is held on its first find.
  for (int i = 0; i < 10000; ++i)
    tree.write("f" + QByteArray::number(i) + "/p.php", "fine");
  tree.write("a.php", infected());
  Watcher::Settings s;
  s.initialScan = true;
  WATCH_OR_SKIP(r, s);
  r->hold();
  ASSERT_TRUE(r->waitDetected(tree.abs("a.php")));
  std::this_thread::sleep_for(2s);  // the scan reads on
  r->release();
  ASSERT_TRUE(r->waitNotice(Watcher::Notice::Kind::ScanFinished));
  sentinel(*r);
  EXPECT_EQ(r->timesTold(Watcher::Notice::Kind::Overflow), 0);
  EXPECT_EQ(r->timesTold(Watcher::Notice::Kind::ScanStarted), 1);
  // Opens are asked for again once the scan is over.
  expectReportedWhileMapped(*r, tree.abs("f9/held.php"), s.settle);
}

TEST_P(WatcherTest, InitialScanFindsWhatWasThereBefore) {
  tree.write("old/infected.php", infected());
  tree.write("old/clean.php", "fine");
  Watcher::Settings s;
  s.initialScan = true;
  WATCH_OR_SKIP(r, s);
  EXPECT_TRUE(r->waitDetected(tree.abs("old/infected.php")));
  EXPECT_TRUE(r->waitNotice(Watcher::Notice::Kind::ScanFinished));
  EXPECT_EQ(r->timesDetected(tree.abs("old/clean.php")), 0);
}

TEST_P(WatcherTest, CleansAtOnceWithABackup) {
  Watcher::Settings s;
  s.clean = true;
  WATCH_OR_SKIP(r, s);
  tree.write("site/index.php", infected("<html>"));
  ASSERT_TRUE(r->cleaned(tree.abs("site/index.php")));
  EXPECT_TRUE(r->cleanFailures().isEmpty()) << r->cleanFailures().join(u'\n').toStdString();
  EXPECT_EQ(tree.read("site/index.php"), "<html>\n");
  ASSERT_EQ(r->runs().size(), 1);
  EXPECT_FALSE(r->runs().front().isEmpty());
  // The clean's own writes are tested again and found clean: one detection only.
  sentinel(*r);
  EXPECT_EQ(r->timesDetected(tree.abs("site/index.php")), 1);
}

// A payload behind a byte-order mark that its bytes' own reading holds: told
// as the scan tells it, neither reported as found nor cleaned.
TEST_P(WatcherTest, TellsAFileFoundInTheOtherReadingAndLeavesIt) {
  Watcher::Settings s;
  s.clean = true;
  WATCH_OR_SKIP(r, s);
  const QByteArray marked = "\xFF\xFE" + infected();
  tree.write("site/index.php", marked);
  ASSERT_TRUE(r->waitNotice(Watcher::Notice::Kind::OtherReading));
  sentinel(*r);
  EXPECT_EQ(r->timesDetected(tree.abs("site/index.php")), 0);
  EXPECT_EQ(r->cleans(), 0);
  EXPECT_EQ(tree.read("site/index.php"), marked);
}

TEST_P(WatcherTest, WatchesAndCleansASignatureSet) {
  // The sample's own signature text stays, but the set is what is searched.
  Watcher::Settings s;
  s.clean = true;
  s.initialScan = true;
  s.signatureSet = text::packSignatureSet(
      {{QStringLiteral("frame"), QString::fromUtf8(kSig)}, {QStringLiteral("muma"), u"木马"_qs}});
  tree.write("old/muma.php", "<p>\xC4\xBE\xC2\xED</p>\n");
  WATCH_OR_SKIP(r, s);
  ASSERT_TRUE(r->cleaned(tree.abs("old/muma.php")));
  EXPECT_EQ(tree.read("old/muma.php"), "<p></p>\n");
  tree.write("site/both.php", infected("\xC4\xBE\xC2\xED"));
  ASSERT_TRUE(r->cleaned(tree.abs("site/both.php")));
  EXPECT_EQ(tree.read("site/both.php"), "\n");
  EXPECT_TRUE(r->cleanFailures().isEmpty()) << r->cleanFailures().join(u'\n').toStdString();
}

TEST_P(WatcherTest, QuarantinesADroppedShellEachTimeItComesBack) {
  Watcher::Settings s;
  s.clean = true;
  s.signatureSet = text::packSignatureSet(
      {{QStringLiteral("frame"), QString::fromUtf8(kSig)},
       {QStringLiteral("shell"), QStringLiteral("@eval($_post["), text::MemberAction::Quarantine}});
  WATCH_OR_SKIP(r, s);
  const QByteArray shell = "<?php @eval($_POST['c']);?>";
  for (int i = 1; i <= 2; ++i) {
    tree.write("uploads/c.php", shell);
    ASSERT_TRUE(r->waitCleans(i)) << i;
    EXPECT_EQ(r->timesQuarantined(tree.abs("uploads/c.php")), i);
    EXPECT_NE(::access(tree.abs("uploads/c.php").constData(), F_OK), 0) << i;
  }
  EXPECT_EQ(r->timesCleaned(), 2);
  EXPECT_TRUE(r->cleanFailures().isEmpty()) << r->cleanFailures().join(u'\n').toStdString();
  // Its original is kept once, and the restore puts it back.
  const clean::RestoreReport back = clean::restoreRun(r->runs().back());
  ASSERT_EQ(back.files.size(), 1u);
  EXPECT_EQ(back.files[0].result, clean::RestoredFile::Result::Restored);
  EXPECT_EQ(tree.read("uploads/c.php"), shell);
}

TEST_P(WatcherTest, ReportsAFileWrittenThroughANameOutsideTheTree) {
  QTemporaryDir outside(QDir::tempPath() + QStringLiteral("/tervane-outside-XXXXXX"));
  ASSERT_TRUE(outside.isValid());
  const QByteArray out = QDir(outside.path()).canonicalPath().toUtf8();
  tree.write("site/page.php", "<p>page</p>");
  ASSERT_EQ(::link(tree.abs("site/page.php").constData(), (out + "/before").constData()), 0);
  WATCH_OR_SKIP(r);
  EXPECT_EQ(r->watcher().filesWithOtherNames(), 1);
  // A name made in the tree after the start for a file outside it.
  writeFile(out + "/elsewhere.js", "var a;");
  ASSERT_EQ(::link((out + "/elsewhere.js").constData(), tree.abs("site/later.js").constData()), 0);
  sentinel(*r, "zz-first.php");
  writeFile(out + "/before", infected("<p>page</p>"));
  EXPECT_TRUE(r->waitDetected(tree.abs("site/page.php")));
  writeFile(out + "/elsewhere.js", infected("var a;"));
  EXPECT_TRUE(r->waitDetected(tree.abs("site/later.js")));
}

TEST_P(WatcherTest, ReportsWritesThatAreNeverClosedWhileTheWriterLives) {
  Watcher::Settings s;
  s.settle = 300ms;
  WATCH_OR_SKIP(r, s);
  const QByteArray line = infected();
  // Written on and on (20 s at most), never pausing as long as a settle time.
  auto writtenWithoutPause = [&](const QByteArray& path, const std::function<void()>& write) {
    for (int i = 0; i < 400; ++i) {
      write();
      std::this_thread::sleep_for(50ms);
      if (r->timesDetected(path) > 0)
        return true;
    }
    return false;
  };
  // Closed after each write: only the settle cap tests it.
  const QByteArray rewritten = tree.abs("rewritten.php");
  EXPECT_TRUE(writtenWithoutPause(rewritten, [&] { tree.write("rewritten.php", line); }));
  // Kept open.
  const QByteArray busy = tree.abs("busy.php");
  const int fd = ::open(busy.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(writtenWithoutPause(busy, [&] {
    EXPECT_EQ(::write(fd, line.constData(), std::size_t(line.size())), line.size());
  }));
  ::close(fd);
  // Written through a mapping after its descriptor is closed: no event at all.
  expectReportedWhileMapped(*r, tree.abs("mapped.php"), s.settle);
}

// A file system mounted for a test at `at`, unmounted when the test ends,
// however it ends.
class Mounted {
 public:
  Mounted(const char* type, const QByteArray& source, const QByteArray& at, unsigned long flags = 0)
      : at_(at) {
    ok_ = ::mount(source.constData(), at.constData(), type, flags, nullptr) == 0;
    error_ = ok_ ? 0 : errno;
  }
  ~Mounted() {
    if (ok_)
      ::umount2(at_.constData(), MNT_DETACH);
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  std::string refused() const { return ok_ ? std::string() : std::strerror(error_); }

 private:
  QByteArray at_;
  bool ok_ = false;
  int error_ = 0;
};

#define MOUNT_OR_SKIP(var, ...) \
  Mounted var(__VA_ARGS__);     \
  if (!var.refused().empty())   \
    GTEST_SKIP() << "SKIP: mounting needs root with CAP_SYS_ADMIN: " << var.refused();

TEST_P(WatcherTest, ReportsPagesInMountsBelowTheTreeByTheirPathsInIt) {
  QTemporaryDir outside(QDir::tempPath() + QStringLiteral("/tervane-outside-XXXXXX"));
  ASSERT_TRUE(outside.isValid());
  const QByteArray out = QDir(outside.path()).canonicalPath().toUtf8();
  ASSERT_EQ(::mkdir((out + "/shared").constData(), 0755), 0);
  for (const QByteArray d : {"before", "bound", "refused", "after"})
    tree.mkdir(d);
  MOUNT_OR_SKIP(before, "tmpfs", "none", tree.abs("before"));
  MOUNT_OR_SKIP(bound, nullptr, out + "/shared", tree.abs("bound"), MS_BIND);
  // No file handles: fanotify refuses it, and inotify watches it instead.
  MOUNT_OR_SKIP(refused, "ramfs", "none", tree.abs("refused"));
  WATCH_OR_SKIP(r);
  if (GetParam() == Backend::Fanotify) {
    const auto onInotify = r->watcher().mountsOnInotify();
    ASSERT_EQ(onInotify.size(), 1u);
    EXPECT_EQ(onInotify[0].path, tree.abs("refused"));
  }
  MOUNT_OR_SKIP(after, "tmpfs", "none", tree.abs("after"));
  tree.write("before/sub/a.php", infected());
  tree.write("refused/r.php", infected());
  tree.write("after/c.php", infected());
  // Through the bind mount's source, outside the tree, on the tree's own file system.
  writeFile(out + "/shared/b.php", infected());
  writeFile(out + "/beside.php", infected());
  for (const QByteArray p : {"before/sub/a.php", "refused/r.php", "after/c.php", "bound/b.php"})
    EXPECT_TRUE(r->waitDetected(tree.abs(p))) << p.toStdString();
  sentinel(*r);
  for (const QByteArray& p : r->detected())
    EXPECT_TRUE(p.startsWith(tree.rootBytes() + '/')) << p.toStdString();
}

TEST_P(WatcherTest, ReportsAPageInAFolderDeeperThanAPathCanName) {
  // 24 folders of 200 bytes: a path of over 4,800 bytes.
  const QByteArray part(200, 'd');
  std::vector<platform::UniqueFd> chain;
  chain.emplace_back(::open(tree.rootBytes().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  QByteArray deep = tree.rootBytes();
  // Removed part by part on the way out: no call could take its whole path.
  struct Unwind {
    std::vector<platform::UniqueFd>& fds;
    const QByteArray& name;
    ~Unwind() {
      ::unlinkat(fds.back().get(), "p.php", 0);
      for (std::size_t i = fds.size() - 1; i > 0; --i)
        ::unlinkat(fds[i - 1].get(), name.constData(), AT_REMOVEDIR);
    }
  } unwind{chain, part};
  WATCH_OR_SKIP(r);
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(::mkdirat(chain.back().get(), part.constData(), 0755), 0);
    chain.emplace_back(
        ::openat(chain.back().get(), part.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(chain.back());
    deep += '/' + part;
  }
  ASSERT_GT(deep.size(), 4096);
  const int fd = ::openat(chain.back().get(), "p.php", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const QByteArray page = infected();
  EXPECT_EQ(::write(fd, page.constData(), std::size_t(page.size())), page.size());
  ::close(fd);
  EXPECT_TRUE(r->waitDetected(deep + "/p.php"));
}

TEST_P(WatcherTest, WatchesFoldersMadeAndRenamedDuringAnOverflow) {
  tree.mkdir("burst");
  tree.mkdirs("old/inner");
  WATCH_OR_SKIP(r);
  // A file infected, then clean again: tested clean, it is forgotten, so that
  // its infection during the overflow is news to the scan that follows.
  tree.write("again.php", infected());
  ASSERT_TRUE(r->waitDetected(tree.abs("again.php")));
  tree.write("again.php", "<p>clean</p>");
  sentinel(*r, "zz-clean-again.php");
  r->hold();
  tree.write("first.php", infected());
  ASSERT_TRUE(r->waitDetected(tree.abs("first.php")));
  for (int i = 0; i < 20000; ++i)
    tree.write("burst/" + QByteArray::number(i) + ".txt", "x");
  tree.write("again.php", infected());
  tree.mkdir("hidden");
  ASSERT_EQ(::rename(tree.abs("old").constData(), tree.abs("renamed").constData()), 0);
  r->release();
  ASSERT_TRUE(r->waitNotice(Watcher::Notice::Kind::ScanFinished));
  EXPECT_TRUE(r->waitDetected(tree.abs("again.php"), 2));
  // Written after the scan: only a watch on the new and the renamed folder sees them.
  tree.write("hidden/h.php", infected());
  tree.write("renamed/inner/r.php", infected());
  EXPECT_TRUE(r->waitDetected(tree.abs("hidden/h.php")));
  EXPECT_TRUE(r->waitDetected(tree.abs("renamed/inner/r.php")));
}

TEST_P(WatcherTest, OpensTheFolderOfAnEventThroughNoLink) {
  QTemporaryDir outside(QDir::tempPath() + QStringLiteral("/tervane-outside-XXXXXX"));
  ASSERT_TRUE(outside.isValid());
  const QByteArray out = QDir(outside.path()).canonicalPath().toUtf8();
  writeFile(out + "/x.php", infected());
  tree.mkdir("d");
  WATCH_OR_SKIP(r);
  r->hold();
  tree.write("first.php", infected());
  ASSERT_TRUE(r->waitDetected(tree.abs("first.php")));
  // The event names d/x.php; by the time it is tested, d leads outside.
  tree.write("d/x.php", "<p>ok</p>");
  ASSERT_EQ(::rename(tree.abs("d").constData(), (out + "/moved-away").constData()), 0);
  tree.symlink(out, "d");
  r->release();
  sentinel(*r);
  EXPECT_EQ(r->timesDetected(tree.abs("d/x.php")), 0);
}

TEST_P(WatcherTest, KeepsOneCopyOfAPageInfectedAgainAndAgain) {
  Watcher::Settings s;
  s.clean = true;
  WATCH_OR_SKIP(r, s);
  const QByteArray page = QByteArray(2 << 20, 'p');
  for (int i = 1; i <= 15; ++i) {
    tree.write("big.php", infected(page));
    ASSERT_TRUE(r->waitCleans(i)) << i;
  }
  EXPECT_EQ(r->timesCleaned(), 15);
  EXPECT_TRUE(r->cleanFailures().isEmpty()) << r->cleanFailures().join(u'\n').toStdString();
  const QList<QByteArray> runs = r->runs();
  EXPECT_EQ(QSet<QByteArray>(runs.begin(), runs.end()).size(), 1);
  EXPECT_EQ(QDir(QString::fromUtf8(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/tervane/backups"))
                .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                .filter(QString::fromUtf8(runs.front()))
                .size(),
            1);
}

TEST_P(WatcherTest, SharesTheCopyKeptByTheWatchBeforeARestart) {
  Watcher::Settings s;
  s.clean = true;
  const QByteArray page = infected("<p>page</p>");
  const QDir store(QString::fromUtf8(qgetenv("XDG_DATA_HOME")) +
                   QStringLiteral("/tervane/backups"));
  QByteArray first;
  {
    WATCH_OR_SKIP(r, s);
    tree.write("p.php", page);
    ASSERT_TRUE(r->waitCleans(1));
    first = r->runs().front();
  }
  const qsizetype runs = store.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
  WATCH_OR_SKIP(again, s);
  tree.write("p.php", page);
  ASSERT_TRUE(again->waitCleans(1));
  EXPECT_TRUE(again->cleanFailures().isEmpty());
  EXPECT_EQ(again->runs().front(), first);
  EXPECT_EQ(store.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), runs);
  EXPECT_EQ(tree.read("p.php"), "<p>page</p>\n");
}

TEST_P(WatcherTest, ReportsAndStopsCleaningWhenTheStoreIsAtItsLimit) {
  Watcher::Settings s;
  s.clean = true;
  s.storeMinFreeShare = 1;  // no file system is ever this free
  WATCH_OR_SKIP(r, s);
  tree.write("a.php", infected());
  ASSERT_TRUE(r->waitDetected(tree.abs("a.php")));
  EXPECT_TRUE(r->waitNotice(Watcher::Notice::Kind::StoreFull));
  sentinel(*r);
  EXPECT_EQ(r->cleans(), 0);
  EXPECT_EQ(tree.read("a.php"), infected());
}

INSTANTIATE_TEST_SUITE_P(Backends, WatcherTest,
                         ::testing::Values(Backend::Inotify, Backend::Fanotify),
                         [](const ::testing::TestParamInfo<Backend>& p) {
                           return p.param == Backend::Inotify ? "inotify" : "fanotify";
                         });

// The watches a tree needs are counted before any is added.
TEST(WatcherLimits, RefusesATreeThatNeedsMoreInotifyWatchesThanAllowed) {
  TempTree tree;
  for (int i = 0; i < 10; ++i)
    tree.mkdirs("d" + QByteArray::number(i) + "/e");
  Watcher::Settings s;
  s.folders = {tree.root()};
  s.signatureText = QString::fromUtf8(kSig);
  s.filterText = QStringLiteral("*.php");
  s.allowFanotify = false;
  s.inotifyWatchLimit = 20;  // the tree holds 21 folders
  Watcher w(s);
  const QString why = w.start();
  EXPECT_TRUE(why.contains(QStringLiteral("fs.inotify.max_user_watches"))) << why.toStdString();
  EXPECT_TRUE(why.contains(QStringLiteral("21 folders"))) << why.toStdString();
  s.inotifyWatchLimit = 21;
  Watcher enough(s);
  EXPECT_EQ(enough.start(), QString());
  EXPECT_EQ(enough.watchedFolders(), 21);
}

// Writers that keep the kernel's queue overflowing, on a tree wide enough
// that each rebuild of the watches takes long: the watch still stops when told.
TEST(WatcherStop, StopsWhileWritersKeepTheQueueOverflowing) {
  TempTree tree;
  constexpr int kFolders = 5000;
  for (int i = 0; i < kFolders; ++i)
    tree.mkdir("d" + QByteArray::number(i));
  Watcher::Settings s;
  s.folders = {tree.root()};
  s.signatureText = QString::fromUtf8(kSig);
  s.filterText = QStringLiteral("*.php");
  s.allowFanotify = false;
  Watcher w(s);
  ASSERT_EQ(w.start(), QString());
  std::atomic<int> overflows{0};
  w.onNotice = [&](const Watcher::Notice& n) {
    if (n.kind == Watcher::Notice::Kind::Overflow)
      ++overflows;
  };
  // The loop is held once, at its first pass, so that the writers overflow
  // the queue whatever this machine's speed.
  std::atomic<bool> held{false};
  w.onIdle = [&] {
    if (!held.exchange(true))
      std::this_thread::sleep_for(2s);
  };
  std::promise<void> ran;
  std::future<void> stopped = ran.get_future();
  std::thread loop([&] {
    w.run();
    ran.set_value();
  });
  std::atomic<bool> writing{true};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; writing.load(); ++i)
        tree.write("d" + QByteArray::number(i % kFolders) + "/w" + QByteArray::number(t) + ".txt",
                   "x");
    });
  }
  const auto until = std::chrono::steady_clock::now() + kPatience;
  while (overflows.load() < 1 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(50ms);
  w.requestStop();
  const bool stoppedInTime = stopped.wait_for(kPatience) == std::future_status::ready;
  writing.store(false);
  for (std::thread& t : writers)
    t.join();
  loop.join();
  EXPECT_GE(overflows.load(), 1);
  EXPECT_TRUE(stoppedInTime);
}

}  // namespace

// A set whose search cannot be built stops the watch before it starts, as it
// stops a scan: a watch that answers every file with an error would look alive.
TEST(WatcherStart, RefusesASetThatCannotBeSearched) {
  using namespace Qt::StringLiterals;
  TempTree tree;
  tree.mkdir("www");
  Watcher::Settings s;
  s.folders = {tree.path("www")};
  s.signatureSet = text::packSignatureSet({{u"a"_s, u"<iframe src=q>"_s}, {u"b"_s, u"qqq"_s}});
  scan::failSetSearchAt(scan::SetSearchStep::Build);
  Watcher w(s);
  const QString why = w.start();
  scan::failSetSearchAt(std::nullopt);
  EXPECT_TRUE(why.startsWith(u"the signature set cannot be searched: "_s)) << why.toStdString();
}
