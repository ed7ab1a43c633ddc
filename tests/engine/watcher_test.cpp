// The watch on real kernel events, with inotify and (as root with the
// capability) fanotify: what is written, moved or linked into a tree, folders
// that appear, bursts, and an overflow followed by a scan of the trees.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/watcher.h"
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
      if (!o.cleaned)
        cleanFailures_.append(o.message);
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
  bool waitNotice(Watcher::Notice::Kind kind) {
    return waitFor(
        [&] { return std::find(notices_.begin(), notices_.end(), kind) != notices_.end(); });
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
  QStringList cleanFailures() {
    const std::lock_guard lock(mutex_);
    return cleanFailures_;
  }
  bool cleaned(const QByteArray& path) {
    return waitFor([&] { return cleaned_.contains(path); });
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
  std::vector<Watcher::Notice::Kind> notices_;
  bool held_ = false;
};

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

}  // namespace
