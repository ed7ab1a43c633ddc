// tervane-cli restore and backups, run in-process: the exit statuses, the JSON
// Lines of restore --json read back by a real parser (a name that is not UTF-8
// included), the list of runs, and pruning.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "clean/backupstore.h"
#include "cli/common.h"
#include "inprocess.h"
#include "platform/pathjson.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

using Ran = inprocess::CliRun;

Ran run(const QStringList& args) {
  return inprocess::runCli(args);
}

class RestoreCommand : public ::testing::Test {
 protected:
  ~RestoreCommand() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& name : s.runs())
        (void)clean::removeRun(s.fd(), name);
    }
  }
  Ran cleanAll() {
    t.write("log.txt", t.abs("a.php") + '\n' + t.abs("caf\xE9.php") + '\n');
    return run({u"clean"_s, u"--signature"_s, u"<iframe"_s, t.path("log.txt")});
  }
  TempTree t;
};

TEST_F(RestoreCommand, JsonLinesAndExitStatuses) {
  EXPECT_EQ(run({u"restore"_s}).status, cli::kError);  // nothing to restore yet
  t.write("a.php", "x<iframe");
  t.write("caf\xE9.php", "y<iframe");
  ASSERT_EQ(cleanAll().status, cli::kOk);
  ASSERT_EQ(t.read("a.php"), "x");

  const Ran r = run({u"restore"_s, u"--json"_s});
  EXPECT_EQ(r.status, cli::kOk) << r.err.constData();
  QList<QJsonObject> lines;
  for (const QByteArray& line : r.out.split('\n')) {
    if (line.isEmpty())
      continue;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << line.constData();
    lines.append(doc.object());
  }
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(platform::takePath(lines[0]), t.abs("a.php"));
  EXPECT_EQ(lines[0].value(u"result").toString(), u"restored"_s);
  EXPECT_EQ(platform::takePath(lines[1]), t.abs("caf\xE9.php"));
  EXPECT_TRUE(lines[2].value(u"summary").toBool());
  EXPECT_EQ(lines[2].value(u"restored").toInt(), 2);
  EXPECT_EQ(t.read("caf\xE9.php"), "y<iframe");

  // Edited since: refused with status 2; --force puts it back.
  ASSERT_EQ(cleanAll().status, cli::kOk);
  t.write("a.php", "edited");
  const Ran refused = run({u"restore"_s});
  EXPECT_EQ(refused.status, cli::kError);
  EXPECT_TRUE(refused.err.contains("not restored")) << refused.err.constData();
  EXPECT_EQ(t.read("a.php"), "edited");
  EXPECT_EQ(run({u"restore"_s, u"--force"_s}).status, cli::kOk);
  EXPECT_EQ(t.read("a.php"), "x<iframe");
  EXPECT_EQ(run({u"restore"_s, u"no-such-run"_s}).status, cli::kError);
  EXPECT_EQ(run({u"restore"_s, u"--signature"_s, u"x"_s}).status, cli::kError);
}

TEST_F(RestoreCommand, AFailedCleanThatKeptNothingDoesNotHideTheLastClean) {
  t.write("a.php", "x<iframe");
  t.write("caf\xE9.php", "y<iframe");
  ASSERT_EQ(cleanAll().status, cli::kOk);
  // The next clean fails at its first file, before anything is kept.
  t.write("missing.txt", t.abs("gone.php") + '\n');
  ASSERT_EQ(run({u"clean"_s, u"--signature"_s, u"<iframe"_s, t.path("missing.txt")}).status,
            cli::kError);

  EXPECT_EQ(run({u"restore"_s}).status, cli::kOk);
  EXPECT_EQ(t.read("a.php"), "x<iframe");
  EXPECT_EQ(t.read("caf\xE9.php"), "y<iframe");
}

TEST_F(RestoreCommand, BackupsListsAndPrunes) {
  t.write("a.php", "x<iframe");
  t.write("caf\xE9.php", "y<iframe");
  ASSERT_EQ(cleanAll().status, cli::kOk);
  ASSERT_EQ(
      run({u"clean"_s, u"--no-backup"_s, u"--signature"_s, u"<iframe"_s, t.path("log.txt")}).status,
      cli::kOk);
  const Ran list = run({u"backups"_s});
  EXPECT_EQ(list.status, cli::kOk);
  const QList<QByteArray> rows = list.out.trimmed().split('\n');
  ASSERT_EQ(rows.size(), 1) << list.out.constData();  // --no-backup kept nothing
  EXPECT_TRUE(rows[0].contains("  clean  2 files  16 bytes  complete")) << rows[0].constData();

  EXPECT_EQ(run({u"backups"_s, u"--prune"_s, u"1"_s}).out, QByteArray());  // not a day old
  EXPECT_EQ(run({u"backups"_s, u"--prune"_s, u"x"_s}).status, cli::kError);
  const Ran pruned = run({u"backups"_s, u"--prune"_s, u"0"_s});
  EXPECT_EQ(pruned.status, cli::kOk);
  EXPECT_TRUE(pruned.out.startsWith("removed ")) << pruned.out.constData();
  EXPECT_EQ(run({u"backups"_s}).out, QByteArray());
}

}  // namespace

namespace {

TEST_F(RestoreCommand, ALongLogIsOneRunThatOneRestoreUndoes) {
  // More paths than the command cleans in one batch; in memory, as each file is
  // flushed twice.
  QTemporaryDir site(platform::decodePath(privateDataHome.path()) + u"/site-XXXXXX"_s);
  const QByteArray root = site.path().toUtf8();
  QByteArray log;
  for (int i = 0; i < 1100; ++i) {
    const QByteArray path = root + "/p" + QByteArray::number(i) + ".php";
    QFile f(QString::fromUtf8(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("<iframe" + QByteArray::number(i));
    log += path + '\n';
  }
  t.write("log.txt", log);
  ASSERT_EQ(run({u"clean"_s, u"--signature"_s, u"<iframe"_s, t.path("log.txt")}).status, cli::kOk);
  const QList<QByteArray> rows = run({u"backups"_s}).out.trimmed().split('\n');
  ASSERT_EQ(rows.size(), 1);
  EXPECT_TRUE(rows[0].contains("  1100 files  ")) << rows[0].constData();
  EXPECT_EQ(run({u"restore"_s}).status, cli::kOk);
  for (int i : {0, 1023, 1024, 1099}) {
    QFile f(QString::fromUtf8(root + "/p" + QByteArray::number(i) + ".php"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "<iframe" + QByteArray::number(i)) << i;
  }
}

}  // namespace
