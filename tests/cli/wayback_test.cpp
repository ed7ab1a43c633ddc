// The way back against the intruder and for every list, through tervane-cli's
// commands run in this process: a path listed twice, a restore during a clean,
// a hard link planted at a cleaned path, the owner and mode put back, a working
// folder longer than a path may be, reads only on checked descriptors, honest
// outcomes and --keep-going.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

#include "clean/backupstore.h"
#include "cli/common.h"
#include "engine/cleanrun.h"
#include "inprocess.h"
#include "platform/pathjson.h"
#include "testsupport.h"
#include "text/textops.h"

using namespace Qt::StringLiterals;

namespace {

using Ran = inprocess::CliRun;

// What a descriptor's file holds (a file reached only through a relative path).
QByteArray contentOf(int fd) {
  QByteArray all;
  char buf[4096];
  ssize_t n;
  off_t at = 0;
  while ((n = ::pread(fd, buf, sizeof buf, at)) > 0) {
    all.append(buf, n);
    at += n;
  }
  return all;
}

Ran run(const QStringList& args) {
  return inprocess::runCli(args);
}

QList<QJsonObject> jsonLines(const QByteArray& out) {
  QList<QJsonObject> lines;
  for (const QByteArray& line : out.split('\n')) {
    if (!line.isEmpty())
      lines.append(QJsonDocument::fromJson(line).object());
  }
  return lines;
}

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.constData(), &st), 0) << path.constData();
  return st;
}

const QString kSig = u"<script src=\"http://bad.example.net/x.js\"></script>"_s;

class WayBack : public ::testing::Test {
 protected:
  ~WayBack() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& name : s.runs())
        (void)clean::removeRun(s.fd(), name);
    }
  }
  Ran clean(const QStringList& more) {
    return run(QStringList{u"clean"_s, u"--signature"_s, kSig} + more);
  }
  // The copies the latest run kept.
  int copiesKept() {
    clean::Store s;
    EXPECT_EQ(s.open(false), 0);
    const auto m = clean::readRun(s.fd(), s.runs().back());
    int n = 0;
    for (const clean::FileRecord& f : m->files)
      n += f.copy.isEmpty() ? 0 : 1;
    return n;
  }
  TempTree t;
};

// The window's ready-made filter *.HTM|*.HTML lists every .html file twice. Many
// small files in one folder: the inode numbers the replaced originals free are
// taken by the next new files, so identities alone would mix files.
TEST_F(WayBack, AListThatNamesEachFileTwiceIsCleanedOnceAndRestoredWhole) {
  QByteArray original;
  for (int i = 0; i < 200; ++i) {
    const QByteArray name = "site/p" + QByteArray::number(i) + ".html";
    t.write(name, "<p>page " + QByteArray::number(i) + "</p>\n" + kSig.toUtf8() + "\n");
  }
  const Ran scanned =
      run({u"scan"_s, u"--filter"_s, u"*.HTM|*.HTML"_s, u"--signature"_s, kSig, t.path("site")});
  ASSERT_EQ(scanned.status, cli::kFound);
  ASSERT_EQ(scanned.out.count('\n'), 400);
  t.write("infected.txt", scanned.out);

  const Ran cleaned = clean({t.path("infected.txt")});
  ASSERT_EQ(cleaned.status, cli::kOk) << cleaned.err.constData();
  // Each line logged as the window logs it; each file rewritten and kept once.
  EXPECT_EQ(cleaned.out.count("  清楚成功！\n"), 400);
  EXPECT_EQ(copiesKept(), 200);
  EXPECT_EQ(t.read("site/p7.html"), "<p>page 7</p>\n\n");

  const Ran restored = run({u"restore"_s});
  EXPECT_EQ(restored.status, cli::kOk) << restored.err.constData();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(t.read("site/p" + QByteArray::number(i) + ".html"),
              "<p>page " + QByteArray::number(i) + "</p>\n" + kSig.toUtf8() + "\n")
        << i;
  }
  // Twice changes nothing the second time.
  EXPECT_EQ(run({u"restore"_s}).status, cli::kOk);
}

TEST_F(WayBack, RestoreLeavesARunningCleanAloneAndNamesIt) {
  t.write("old.php", "o" + kSig.toUtf8());
  t.write("log-old.txt", t.abs("old.php") + '\n');
  ASSERT_EQ(clean({t.path("log-old.txt")}).status, cli::kOk);

  // A clean still going: a.php's batch is done, b.php's not yet.
  t.write("a.php", "a" + kSig.toUtf8());
  t.write("b.php", "b" + kSig.toUtf8());
  CleanRequest request;
  request.signature = text::signatureFrom(kSig);
  request.batchSize = 1;
  auto cleaner = std::make_unique<CleanRun>(request, nullptr);
  ASSERT_TRUE(cleaner->add(FileToClean{t.abs("a.php"), std::nullopt}));
  ASSERT_TRUE(cleaner->add(FileToClean{t.abs("b.php"), std::nullopt}));
  ASSERT_EQ(t.read("a.php"), "a");
  ASSERT_EQ(t.read("b.php"), "b" + kSig.toUtf8());
  clean::Store s;
  ASSERT_EQ(s.open(false), 0);
  const QByteArray running = s.runs().back();

  const Ran named = run({u"restore"_s, QString::fromLatin1(running)});
  EXPECT_EQ(named.status, cli::kError);
  EXPECT_TRUE(named.err.contains(running + " is still cleaning")) << named.err.constData();
  EXPECT_EQ(t.read("a.php"), "a");

  // "The latest" is the latest run that has ended; the running one is named.
  const Ran latest = run({u"restore"_s});
  EXPECT_EQ(latest.status, cli::kOk) << latest.err.constData();
  EXPECT_TRUE(latest.err.contains(running + " is still cleaning")) << latest.err.constData();
  EXPECT_EQ(t.read("old.php"), "o" + kSig.toUtf8());
  EXPECT_EQ(t.read("a.php"), "a");

  EXPECT_TRUE(cleaner->finish());
  cleaner.reset();
  EXPECT_EQ(t.read("b.php"), "b");
  EXPECT_EQ(run({u"restore"_s}).status, cli::kOk);
  EXPECT_EQ(t.read("a.php"), "a" + kSig.toUtf8());
  EXPECT_EQ(t.read("b.php"), "b" + kSig.toUtf8());
}

TEST_F(WayBack, ForceNeverWritesThroughAHardLinkPlantedAtThePath) {
  t.write("www/a.php", "a" + kSig.toUtf8());
  t.write("log.txt", t.abs("www/a.php") + '\n');
  ASSERT_EQ(clean({t.path("log.txt")}).status, cli::kOk);
  // The intruder puts a hard link to another file of the file system at the path.
  t.write("etc/victim", "root's own");
  ASSERT_EQ(::unlink(t.abs("www/a.php").constData()), 0);
  ASSERT_EQ(::link(t.abs("etc/victim").constData(), t.abs("www/a.php").constData()), 0);

  for (const QStringList& args : {QStringList{u"restore"_s}, {u"restore"_s, u"--force"_s}}) {
    const Ran r = run(args);
    EXPECT_EQ(r.status, cli::kError);
    EXPECT_TRUE(r.out.contains("--force 也不恢复")) << r.out.constData();
    EXPECT_EQ(t.read("etc/victim"), "root's own");
  }
  // The same content with a single name (a copy put back by other means) is fine.
  ASSERT_EQ(::unlink(t.abs("www/a.php").constData()), 0);
  t.write("www/a.php", "a");
  EXPECT_EQ(run({u"restore"_s}).status, cli::kOk);
  EXPECT_EQ(t.read("www/a.php"), "a" + kSig.toUtf8());
}

TEST_F(WayBack, RestorePutsBackModeOwnerGroupAndTime) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give files to another user";
  t.write("www/a.php", "a" + kSig.toUtf8());
  t.write("www/b.php", "b" + kSig.toUtf8());
  for (const char* f : {"www/a.php", "www/b.php"}) {
    ASSERT_EQ(::chown(t.abs(f).constData(), 65534, 65534), 0);
    t.chmod(f, 0640);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, t.abs(f).constData(), times, 0), 0);
  }
  t.write("log.txt", t.abs("www/a.php") + '\n' + t.abs("www/b.php") + '\n');
  ASSERT_EQ(clean({t.path("log.txt")}).status, cli::kOk);
  // Changed afterwards: a by its owner, b after someone removed the signature by hand.
  ASSERT_EQ(::chown(t.abs("www/a.php").constData(), 65534, 0), 0);
  t.chmod("www/a.php", 0777);
  t.write("www/b.php", "b" + kSig.toUtf8());
  ASSERT_EQ(::chown(t.abs("www/b.php").constData(), 0, 0), 0);
  t.chmod("www/b.php", 0600);

  const Ran r = run({u"restore"_s});
  EXPECT_EQ(r.status, cli::kOk) << r.err.constData() << r.out.constData();
  for (const char* f : {"www/a.php", "www/b.php"}) {
    const struct stat st = statOf(t.abs(f));
    EXPECT_EQ(st.st_mode & 07777, 0640u) << f;
    EXPECT_EQ(st.st_uid, 65534u) << f;
    EXPECT_EQ(st.st_gid, 65534u) << f;
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000) << f;
    EXPECT_EQ(st.st_mtim.tv_nsec, 123) << f;
  }
  EXPECT_EQ(t.read("www/a.php"), "a" + kSig.toUtf8());
}

// A working folder deeper than the 4,095 bytes a path may have: the run records
// it whole, and restore puts the file back there, never in a folder of the same
// relative name elsewhere.
TEST_F(WayBack, AWorkingFolderOfAnyLengthIsRecordedWhole) {
  ASSERT_EQ(::chdir(t.rootBytes().constData()), 0);
  const QByteArray level(200, 'd');
  QByteArray deep = t.rootBytes();
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(::mkdir(level.constData(), 0755), 0);
    ASSERT_EQ(::chdir(level.constData()), 0);
    deep += '/' + level;
  }
  ASSERT_GT(deep.size(), 4096);
  ASSERT_EQ(::mkdir("www", 0755), 0);
  int fd = ::open("www/victim.sh", O_WRONLY | O_CREAT | O_EXCL, 0644);
  const QByteArray infected = "echo " + kSig.toUtf8();
  ASSERT_EQ(::write(fd, infected.constData(), std::size_t(infected.size())), infected.size());
  ::close(fd);
  fd = ::open("log.txt", O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_EQ(::write(fd, "www/victim.sh\n", 14), 14);
  ::close(fd);
  const Ran cleaned = clean({u"log.txt"_s});
  ASSERT_EQ(cleaned.status, cli::kOk) << cleaned.err.constData();

  clean::Store s;
  ASSERT_EQ(s.open(false), 0);
  const auto m = clean::readRun(s.fd(), s.runs().back());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->cwd, deep);

  // A file of the same relative path below the tree's root, where a restore run
  // from there would look.
  ASSERT_EQ(::chdir(t.rootBytes().constData()), 0);
  t.write("www/victim.sh", "echo other");
  const Ran restored = run({u"restore"_s, u"--force"_s});
  EXPECT_EQ(restored.status, cli::kOk) << restored.err.constData();
  EXPECT_EQ(t.read("www/victim.sh"), "echo other");
  for (int i = 0; i < 25; ++i)
    ASSERT_EQ(::chdir(level.constData()), 0);
  fd = ::open("www/victim.sh", O_RDONLY);
  EXPECT_EQ(contentOf(fd), infected);
  ::close(fd);
  ASSERT_EQ(::chdir("/"), 0);
}

// After the scan the intruder (another user) swaps a listed file for a FIFO, or
// the scanned folder for a link to a folder outside that holds one, and waits in
// open() to write to it: any open by the clean would let that open through.
// Every form of the clean refuses it unopened, as the clean itself does.
TEST_F(WayBack, EveryReadOfTheCleanIsOnACheckedDescriptor) {
  t.write("www/a.php", "a" + kSig.toUtf8());
  const Ran scanned = run({u"scan"_s, u"--json"_s, u"--signature"_s, kSig, t.path("www")});
  ASSERT_EQ(scanned.status, cli::kFound);
  t.write("report.json", scanned.out);
  t.write("log.txt", t.abs("www/a.php") + '\n');
  t.mkdir("outside");
  t.chmod("www", 0777);
  t.chmod("outside", 0777);
  const QString report = t.path("report.json");
  for (const bool folderSwapped : {false, true}) {
    if (folderSwapped) {
      ASSERT_EQ(::rename(t.abs("www").constData(), t.abs("moved").constData()), 0);
      t.symlink(t.abs("outside"), "www");
    }
    for (const QStringList& args : {QStringList{u"--json"_s, u"--report"_s, report},
                                    {u"--dry-run"_s, u"--report"_s, report},
                                    {u"--json"_s, t.path("log.txt")},
                                    {u"--dry-run"_s, t.path("log.txt")}}) {
      const QByteArray fifo = t.abs(folderSwapped ? "outside/a.php" : "www/a.php");
      ::unlink(fifo.constData());
      const pid_t writer = ::fork();
      ASSERT_GE(writer, 0);
      if (writer == 0) {
        dropRootInChild();
        if (::mkfifo(fifo.constData(), 0666) != 0)
          ::_exit(98);
        ::alarm(2);  // no reader: the open is cut short
        ::_exit(::open(fifo.constData(), O_WRONLY) >= 0 ? 1 : 0);
      }
      struct stat st {};
      for (int i = 0; i < 1000 && ::lstat(fifo.constData(), &st) != 0; ++i)
        ::usleep(1000);
      ASSERT_TRUE(S_ISFIFO(st.st_mode));
      const Ran r = clean(args);
      EXPECT_EQ(r.status, cli::kError) << args.join(u' ').toStdString();
      int status = 0;
      ASSERT_EQ(::waitpid(writer, &status, 0), writer);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
          << "the FIFO was opened: " << args.join(u' ').toStdString()
          << (folderSwapped ? " (folder swapped)" : "");
    }
  }
}

TEST_F(WayBack, JsonCallsAFileWithNothingRemovedUnchanged) {
  t.write("a.php", "a" + kSig.toUtf8());
  t.write("b.php", "nothing here");
  t.write("log.txt", t.abs("a.php") + '\n' + t.abs("b.php") + '\n');
  const Ran r = clean({u"--json"_s, t.path("log.txt")});
  ASSERT_EQ(r.status, cli::kOk) << r.err.constData();
  const QList<QJsonObject> lines = jsonLines(r.out);
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines[0].value(u"outcome").toString(), u"cleaned"_s);
  EXPECT_EQ(lines[0].value(u"occurrences").toInt(), 1);
  EXPECT_EQ(lines[1].value(u"outcome").toString(), u"unchanged"_s);
  EXPECT_EQ(lines[1].value(u"occurrences").toInt(), 0);
  EXPECT_EQ(lines[2].value(u"type").toString(), u"summary"_s);
  EXPECT_EQ(lines[2].value(u"files_cleaned").toInt(), 1);
  EXPECT_EQ(lines[2].value(u"files_unchanged").toInt(), 1);
  // The plain log keeps its line for every listed file, as the window does.
  const Ran plain = clean({t.path("log.txt")});
  EXPECT_EQ(plain.out.count("  清楚成功！\n"), 2);
}

// The count of each line is what the clean removed from the file, not what the
// file held before its batch: the second spelling of a file listed twice finds
// nothing left to remove, and so does the second line of the same spelling.
TEST_F(WayBack, JsonCountsWhatTheCleanRemovedFromAFileListedTwice) {
  t.write("a.php", "a" + kSig.toUtf8() + "b" + kSig.toUtf8());
  const QByteArray again = t.abs(".") + "/./a.php";
  t.write("log.txt", t.abs("a.php") + '\n' + again + '\n' + t.abs("a.php") + '\n');
  const Ran r = clean({u"--json"_s, t.path("log.txt")});
  ASSERT_EQ(r.status, cli::kOk) << r.err.constData();
  const QList<QJsonObject> lines = jsonLines(r.out);
  ASSERT_EQ(lines.size(), 4) << r.out.constData();
  EXPECT_EQ(lines[0].value(u"outcome").toString(), u"cleaned"_s);
  EXPECT_EQ(lines[0].value(u"occurrences").toInt(), 2);
  EXPECT_EQ(lines[1].value(u"outcome").toString(), u"unchanged"_s) << r.out.constData();
  EXPECT_EQ(lines[1].value(u"occurrences").toInt(-1), 0);
  EXPECT_FALSE(lines[1].contains(u"listed_again"));
  EXPECT_EQ(lines[2].value(u"outcome").toString(), u"unchanged"_s);
  EXPECT_EQ(lines[2].value(u"occurrences").toInt(-1), 0);
  EXPECT_TRUE(lines[2].value(u"listed_again").toBool());
  EXPECT_EQ(lines[3].value(u"files_cleaned").toInt(), 1);
  EXPECT_EQ(lines[3].value(u"files_unchanged").toInt(), 1);
  EXPECT_EQ(t.read("a.php"), "ab");
}

TEST_F(WayBack, KeepGoingGoesPastFailuresAndNamesEachOne) {
  t.write("a.php", "a" + kSig.toUtf8());
  t.fifo("fifo.php");
  t.write("b.php", "b" + kSig.toUtf8());
  t.write("log.txt", t.abs("a.php") + '\n' + t.abs("gone.php") + '\n' + t.abs("fifo.php") + '\n' +
                         t.abs("b.php") + '\n');

  const Ran stops = clean({t.path("log.txt")});
  EXPECT_EQ(stops.status, cli::kError);
  EXPECT_EQ(t.read("a.php"), "a");
  EXPECT_EQ(t.read("b.php"), "b" + kSig.toUtf8());

  const Ran goes = clean({u"--keep-going"_s, u"--json"_s, t.path("log.txt")});
  EXPECT_EQ(goes.status, cli::kError);
  EXPECT_EQ(t.read("b.php"), "b");
  EXPECT_TRUE(goes.err.contains(t.abs("gone.php") + ": ")) << goes.err.constData();
  EXPECT_TRUE(goes.err.contains(t.abs("fifo.php") + ": ")) << goes.err.constData();
  const QJsonObject summary = jsonLines(goes.out).back();
  EXPECT_EQ(summary.value(u"files_failed").toInt(), 2);
  const QJsonArray failed = summary.value(u"failed").toArray();
  ASSERT_EQ(failed.size(), 2);
  EXPECT_EQ(platform::takePath(failed[0].toObject()), t.abs("gone.php"));
  EXPECT_EQ(platform::takePath(failed[1].toObject()), t.abs("fifo.php"));
  EXPECT_FALSE(failed[1].toObject().value(u"error").toString().isEmpty());
}

}  // namespace
