// tervane-cli watch as a process: its output, its configuration file, --clean
// and the way back with restore, and SIGTERM in the middle of cleaning.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <thread>

#include "clirun.h"
#include "platform/userfolder.h"
#include "testsupport.h"

using namespace std::chrono_literals;

namespace {

const QByteArray kSig = "<iframe src=http://evil.example width=0 height=0></iframe>";

QByteArray slurp(const QByteArray& path) {
  QByteArray data;
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
  char buf[65536];
  ssize_t n;
  while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
    data.append(buf, n);
  if (fd >= 0)
    ::close(fd);
  return data;
}

// A watch running in the background, its output going to files.
class WatchProcess {
 public:
  // With `journal`, standard output looks like systemd's journal stream.
  explicit WatchProcess(std::vector<QByteArray> args, bool journal = false) {
    out_ = QDir(io_.path()).filePath(QStringLiteral("out")).toUtf8();
    err_ = QDir(io_.path()).filePath(QStringLiteral("err")).toUtf8();
    QByteArray exe = TERVANE_CLI;
    args.insert(args.begin(), "watch");
    std::vector<char*> argv{exe.data()};
    for (QByteArray& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int o = ::open(out_.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err_.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int n = ::open("/dev/null", O_RDONLY);
      if (o < 0 || e < 0 || n < 0 || ::dup2(n, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
        ::_exit(126);
      struct stat st;
      if (journal && ::fstat(1, &st) == 0) {
        const QByteArray stream = QByteArray::number(qulonglong(st.st_dev)) + ':' +
                                  QByteArray::number(qulonglong(st.st_ino));
        ::setenv("JOURNAL_STREAM", stream.constData(), 1);
      } else {
        ::unsetenv("JOURNAL_STREAM");
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~WatchProcess() {
    if (pid_ > 0 && status_ == kRunning) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  QByteArray out() const { return slurp(out_); }
  QByteArray err() const { return slurp(err_); }

  // Waits until `done` holds of the output (checked every 20 ms), at most 60 s.
  bool waitOut(const std::function<bool(const QByteArray& out)>& done) const {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
      if (done(out()))
        return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  bool waitStarted() const {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
      if (err().contains("tervane-cli: watching"))
        return true;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
        return false;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  // Sends `signal` and waits for the end: the exit status, -1 when killed or late.
  int stop(int signal = SIGTERM) {
    ::kill(pid_, signal);
    const auto end = std::chrono::steady_clock::now() + 120s;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

 private:
  static constexpr int kRunning = -2;
  QTemporaryDir io_;
  QByteArray out_;
  QByteArray err_;
  pid_t pid_ = -1;
  int status_ = kRunning;
};

TEST(WatchCli, PrintsEachDetectionAsItsOneLine) {
  TempTree tree;
  WatchProcess w({"--inotify", "--signature", kSig, tree.rootBytes()});
  ASSERT_TRUE(w.waitStarted()) << w.err().toStdString();
  tree.write("a\nb.php", "x" + kSig);
  tree.write("clean.php", "nothing");
  tree.write("plain.php", kSig.toUpper());
  ASSERT_TRUE(w.waitOut([&](const QByteArray& o) { return o.contains("plain.php"); }));
  EXPECT_EQ(w.stop(), 0);
  // Tested in the order they settle, which is the order of the paths here.
  EXPECT_EQ(w.out(),
            "\"" + tree.rootBytes() + "/a\\nb.php\"\n" + tree.rootBytes() + "/plain.php\n");
  EXPECT_TRUE(w.err().contains("(inotify, 1 folders)")) << w.err().toStdString();
  EXPECT_TRUE(w.err().endsWith("tervane-cli: stopped\n")) << w.err().toStdString();
}

TEST(WatchCli, GivesTheJournalEachFindingAsAWarning) {
  TempTree tree;
  WatchProcess w({"--inotify", "--clean", "--signature", kSig, tree.rootBytes()}, true);
  ASSERT_TRUE(w.waitStarted()) << w.err().toStdString();
  tree.write("a.php", kSig);
  ASSERT_TRUE(w.waitOut([&](const QByteArray& o) { return o.contains("清楚成功"); }));
  EXPECT_EQ(w.stop(), 0);
  // "<4>": the journal's warning. The cleaning log is information.
  EXPECT_EQ(w.out(), "<4>" + tree.abs("a.php") + "\n" + tree.abs("a.php") + "\n  清楚成功！\n");
}

TEST(WatchCli, ReadsItsConfigurationFile) {
  TempTree tree;
  tree.write("conf/signature.txt", kSig);
  tree.write("conf/watch.conf", "# the site\nfolder = " + tree.abs("www") +
                                    "\nsignature-file = " + tree.abs("conf/signature.txt") +
                                    "\nfilter = *.html\nclean = yes\n");
  tree.mkdir("www");
  WatchProcess w({"--inotify", "--json", "--config", tree.abs("conf/watch.conf")});
  ASSERT_TRUE(w.waitStarted()) << w.err().toStdString();
  tree.write("www/page.php", kSig);  // not in the filter's scope
  tree.write("www/page.html", "<p>" + kSig + "</p>");
  ASSERT_TRUE(w.waitOut([](const QByteArray& o) { return o.contains("\"outcome\":\"cleaned\""); }))
      << w.out().toStdString() << w.err().toStdString();
  EXPECT_EQ(w.stop(), 0);
  EXPECT_EQ(tree.read("www/page.html"), "<p></p>");
  EXPECT_EQ(tree.read("www/page.php"), kSig);
  EXPECT_FALSE(w.out().contains("page.php"));

  tree.write("conf/bad.conf", "folder = /\nsignature = x\n");
  const clirun::Result bad = clirun::run({"watch", "--config", tree.abs("conf/bad.conf")});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.err.contains("bad.conf:2: unknown key signature")) << bad.err.toStdString();
  const clirun::Result none = clirun::run({"watch", "--signature", kSig});
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(none.err.contains("watch takes one or more FOLDERs")) << none.err.toStdString();
}

// The configuration's set file and signature file make one set: a page
// infected with either member is found and cleaned of both.
TEST(WatchCli, ReadsASignatureSetFromItsConfiguration) {
  TempTree tree;
  tree.write("conf/signature.txt", kSig);
  tree.write("conf/incident.jsonl",
             "{\"name\":\"wave2\",\"text\":\"<SCRIPT src=//evil.example>\"}\n");
  tree.write("conf/watch.conf", "folder = " + tree.abs("www") +
                                    "\nsignature-file = " + tree.abs("conf/signature.txt") +
                                    "\nsignatures = " + tree.abs("conf/incident.jsonl") +
                                    "\nclean = yes\n");
  // Twice: the set built and kept, then read back from the set cache.
  const QString cache = QString::fromUtf8(platform::userDataPath() + "/tervane/sets");
  QDir(cache).removeRecursively();
  QString entry;
  for (const char* round : {"cold", "warm"}) {
    SCOPED_TRACE(round);
    tree.mkdir("www");
    WatchProcess w(
        {"--inotify", "--json", "--filter", "*.html", "--config", tree.abs("conf/watch.conf")});
    ASSERT_TRUE(w.waitStarted()) << w.err().toStdString();
    tree.write("www/a.html", "<p><script src=//evil.example></p>");
    tree.write("www/b.html", "<p>" + kSig + "<script src=//evil.example></p>");
    ASSERT_TRUE(w.waitOut([](const QByteArray& o) {
      return o.count("\"outcome\":\"cleaned\"") >= 2;
    })) << w.out().toStdString()
        << w.err().toStdString();
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(tree.read("www/a.html"), "<p></p>");
    EXPECT_EQ(tree.read("www/b.html"), "<p></p>");
    // One entry, kept by the cold round and not made again by the warm one.
    const QFileInfoList entries = QDir(cache).entryInfoList(QDir::Files);
    ASSERT_EQ(entries.size(), 1);
    struct stat st;
    ASSERT_EQ(::lstat(entries[0].filePath().toUtf8().constData(), &st), 0);
    const QString now = entries[0].fileName() + u' ' + QString::number(st.st_ino);
    EXPECT_TRUE(entry.isEmpty() || entry == now) << now.toStdString();
    entry = now;
  }
  tree.write("conf/bad.jsonl", "{\"name\":\"x\"}\n");
  tree.write("conf/bad.conf", "folder = /\nsignatures = " + tree.abs("conf/bad.jsonl") + "\n");
  const clirun::Result bad = clirun::run({"watch", "--config", tree.abs("conf/bad.conf")});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.err.contains("bad.jsonl:1")) << bad.err.toStdString();
}

TEST(WatchCli, CleansWithABackupThatRestoreBringsBack) {
  TempTree tree;
  const QByteArray original = "<html>" + kSig + "<body>hello</body>\n";
  WatchProcess w({"--inotify", "--clean", "--signature", kSig, tree.rootBytes()});
  ASSERT_TRUE(w.waitStarted()) << w.err().toStdString();
  tree.write("site/index.php", original);
  ASSERT_TRUE(w.waitOut([](const QByteArray& o) { return o.contains("清楚成功"); }))
      << w.err().toStdString();
  EXPECT_EQ(w.stop(), 0);
  EXPECT_EQ(w.out(),
            tree.abs("site/index.php") + "\n" + tree.abs("site/index.php") + "\n  清楚成功！\n");
  EXPECT_EQ(tree.read("site/index.php"), "<html><body>hello</body>\n");
  const clirun::Result restored = clirun::run({"restore"});
  EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
  EXPECT_EQ(tree.read("site/index.php"), original);
}

TEST(WatchCli, SigtermDuringACleanLeavesEveryFileOldOrNew) {
  TempTree tree;
  // Files large enough that cleaning them all takes a while: the stop lands
  // in the middle of the cleaning.
  const QByteArray filler(2 * 1024 * 1024, 'a');
  const int files = 40;
  tree.mkdir("www");
  WatchProcess w(
      {"--inotify", "--clean", "--json", "--settle", "0", "--signature", kSig, tree.abs("www")});
  ASSERT_TRUE(w.waitStarted()) << w.err().toStdString();
  auto oldContent = [&](int i) { return QByteArray::number(i) + filler + kSig + filler; };
  auto newContent = [&](int i) { return QByteArray::number(i) + filler + filler; };
  for (int i = 0; i < files; ++i)
    tree.write("www/" + QByteArray::number(i) + ".php", oldContent(i));
  ASSERT_TRUE(w.waitOut([](const QByteArray& o) { return o.contains("\"outcome\":\"cleaned\""); }))
      << w.err().toStdString();
  EXPECT_EQ(w.stop(SIGTERM), 0) << w.err().toStdString();
  int cleaned = 0;
  for (int i = 0; i < files; ++i) {
    const QByteArray content = tree.read("www/" + QByteArray::number(i) + ".php");
    EXPECT_TRUE(content == oldContent(i) || content == newContent(i)) << i;
    cleaned += content == newContent(i) ? 1 : 0;
  }
  EXPECT_GE(cleaned, 1);
  // No file half made is left beside them.
  EXPECT_EQ(QDir(tree.path("www"))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
                .size(),
            files);
  // Every file the report calls cleaned is.
  for (const QByteArray& line : w.out().split('\n')) {
    if (!line.contains("\"outcome\":\"cleaned\""))
      continue;
    const qsizetype at = line.indexOf("/www/") + 5;
    const int i = line.mid(at, line.indexOf(".php") - at).toInt();
    EXPECT_EQ(tree.read("www/" + QByteArray::number(i) + ".php"), newContent(i)) << i;
  }
}

}  // namespace
