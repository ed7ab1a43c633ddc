// The clean run with no window: one result per listed file, in list order,
// across batches; what it removed from each; a failure in the middle of the
// list with and without keeping going; the scan's identities.
#include "engine/cleanrun.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <vector>

#include "clean/backupstore.h"
#include "platform/fs.h"
#include "platform/pathline.h"
#include "testsupport.h"

namespace {

using Outcome = CleanedFile::Outcome;

const QByteArray kSig = "<iframe>";

CleanRequest request(std::size_t batchSize = clean::Batch::kCapacity) {
  CleanRequest r;
  r.signature = QString::fromLatin1(kSig);
  r.batchSize = batchSize;
  return r;
}

std::vector<FileToClean> listOf(const TempTree& t, const std::vector<QByteArray>& names) {
  std::vector<FileToClean> files;
  for (const QByteArray& name : names)
    files.push_back(FileToClean{t.abs(name), std::nullopt});
  return files;
}

platform::FileIdentity identityOf(const QByteArray& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.constData(), &st), 0);
  return platform::identityOf(st);
}

class CleanRunTest : public ::testing::Test {
 protected:
  ~CleanRunTest() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& name : s.runs())
        (void)clean::removeRun(s.fd(), name);
    }
  }
  TempTree t;
};

// Every listed file gets its result in its turn, whatever the batches: with two
// files a batch, the seven lines below span four of them.
TEST_F(CleanRunTest, OneResultPerLineInListOrderAcrossBatches) {
  t.write("a.php", "a" + kSig + kSig);
  t.write("b.php", "b");
  t.write("c.php", kSig + "c" + kSig + kSig);
  t.write("d.php", "d" + kSig);
  const std::vector<CleanedFile> results = cleanFiles(
      request(2), listOf(t, {"a.php", "b.php", "c.php", "a.php", "d.php", "missing.php", "b.php"}));
  ASSERT_EQ(results.size(), 6u) << "the run stops at the missing file";
  const std::vector<QByteArray> order = {"a.php", "b.php", "c.php",
                                         "a.php", "d.php", "missing.php"};
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(results[i].path, t.abs(order[i])) << i;
    EXPECT_EQ(results[i].line, platform::lineOfBytes(t.abs(order[i]))) << i;
  }
  EXPECT_EQ(results[0].occurrences, 2);
  EXPECT_EQ(results[1].occurrences, 0);
  EXPECT_EQ(results[1].outcome, Outcome::Cleaned);
  EXPECT_EQ(results[2].occurrences, 3);
  EXPECT_TRUE(results[3].listedAgain);
  EXPECT_EQ(results[3].occurrences, 0);
  EXPECT_EQ(results[4].occurrences, 1);
  EXPECT_EQ(results[5].outcome, Outcome::Failed);
  EXPECT_EQ(results[5].failure.reason, clean::Reason::NotFound);
  EXPECT_EQ(t.read("c.php"), "c");
}

// The same file under two spellings is cleaned at the first; the second finds
// nothing left, and says so, as does the same spelling listed again.
TEST_F(CleanRunTest, AFileListedTwiceReportsWhatEachListingRemoved) {
  t.write("www/a.php", "x" + kSig + "y" + kSig);
  const std::vector<FileToClean> files = {{t.abs("www/a.php"), std::nullopt},
                                          {t.abs("www") + "/./a.php", std::nullopt},
                                          {t.abs("www/a.php"), std::nullopt}};
  const std::vector<CleanedFile> results = cleanFiles(request(), files);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].occurrences, 2);
  EXPECT_FALSE(results[0].listedAgain);
  EXPECT_EQ(results[1].outcome, Outcome::Cleaned);
  EXPECT_EQ(results[1].occurrences, 0);
  EXPECT_FALSE(results[1].listedAgain);
  EXPECT_EQ(results[2].occurrences, 0);
  EXPECT_TRUE(results[2].listedAgain);
  EXPECT_EQ(t.read("www/a.php"), "xy");
}

// A file that fails while its batch is committed: without keeping going, the
// run stops there, the files after it are left as they were and get no result;
// with it, they are cleaned after it, still in list order.
TEST_F(CleanRunTest, AFailureInTheMiddleStopsTheRunUnlessItKeepsGoing) {
  for (bool keepGoing : {false, true}) {
    TempTree tree;
    for (const char* name : {"a.php", "b.php", "c.php", "d.php"})
      tree.write(name, QByteArray(name) + kSig);
    CleanRequest r = request();
    r.keepGoing = keepGoing;
    const QByteArray failing = tree.abs("b.php");
    r.options.fault = [failing](clean::Step step, const QByteArray& path) {
      return step == clean::Step::Replace && path == failing ? EIO : 0;
    };
    std::vector<CleanedFile> results;
    CleanRun run(r, [&](const CleanedFile& f) { results.push_back(f); });
    for (const FileToClean& f : listOf(tree, {"a.php", "b.php", "c.php", "d.php"}))
      ASSERT_TRUE(run.add(f));
    EXPECT_EQ(run.finish(), keepGoing);
    EXPECT_FALSE(run.backupRun().isEmpty());
    EXPECT_EQ(tree.read("a.php"), "a.php");
    EXPECT_EQ(tree.read("b.php"), "b.php" + kSig);
    if (!keepGoing) {
      ASSERT_EQ(results.size(), 2u);
      ASSERT_TRUE(run.stoppedAt());
      EXPECT_EQ(run.stoppedAt()->path, failing);
      EXPECT_TRUE(run.failures().empty());
      EXPECT_EQ(tree.read("c.php"), "c.php" + kSig);
      EXPECT_EQ(tree.read("d.php"), "d.php" + kSig);
    } else {
      ASSERT_EQ(results.size(), 4u);
      EXPECT_FALSE(run.stoppedAt());
      ASSERT_EQ(run.failures().size(), 1u);
      EXPECT_EQ(run.failures()[0].path, failing);
      EXPECT_EQ(results[2].path, tree.abs("c.php"));
      EXPECT_EQ(results[3].path, tree.abs("d.php"));
      EXPECT_EQ(results[3].occurrences, 1);
      EXPECT_EQ(tree.read("c.php"), "c.php");
      EXPECT_EQ(tree.read("d.php"), "d.php");
    }
    EXPECT_EQ(results[0].outcome, Outcome::Cleaned);
    EXPECT_EQ(results[1].outcome, Outcome::Failed);
    EXPECT_EQ(results[1].failure.error, EIO);
    // Once stopped, the run takes nothing more.
    if (!keepGoing) {
      EXPECT_FALSE(run.add(FileToClean{tree.abs("d.php"), std::nullopt}));
      EXPECT_EQ(tree.read("d.php"), "d.php" + kSig);
    }
  }
}

// A line that names no file fails in its turn, after the files before it are
// cleaned; keeping going, the files after it are cleaned as well.
TEST_F(CleanRunTest, ALineThatIsNoPathFailsInItsTurn) {
  for (bool keepGoing : {false, true}) {
    TempTree tree;
    tree.write("a.php", "a" + kSig);
    tree.write("b.php", "b" + kSig);
    CleanRequest r = request();
    r.keepGoing = keepGoing;
    std::vector<CleanedFile> results;
    CleanRun run(r, [&](const CleanedFile& f) { results.push_back(f); });
    ASSERT_TRUE(run.add(FileToClean{tree.abs("a.php"), std::nullopt}));
    EXPECT_EQ(run.addNotAPath(QStringLiteral(u"\"unclosed")), keepGoing);
    if (keepGoing) {
      ASSERT_TRUE(run.add(FileToClean{tree.abs("b.php"), std::nullopt}));
    }
    run.finish();
    ASSERT_EQ(results.size(), keepGoing ? 3u : 2u);
    EXPECT_EQ(results[0].path, tree.abs("a.php"));
    EXPECT_TRUE(results[1].notAPath);
    EXPECT_EQ(results[1].line, QStringLiteral(u"\"unclosed"));
    EXPECT_EQ(results[1].failure.reason, clean::Reason::NotAFilePath);
    EXPECT_EQ(tree.read("a.php"), "a");
    EXPECT_EQ(tree.read("b.php"), keepGoing ? "b" : "b" + kSig);
  }
}

// A path that has come to lead to another file than the one the scan read is
// refused, and that file left alone; the file it did read is cleaned.
TEST_F(CleanRunTest, IdentitiesThatNoLongerMatchAreRefused) {
  t.write("a.php", "a" + kSig);
  t.write("b.php", "b" + kSig);
  t.write("other.php", "o" + kSig);
  const platform::FileIdentity a = identityOf(t.abs("a.php"));
  const platform::FileIdentity other = identityOf(t.abs("other.php"));
  CleanRequest r = request();
  r.keepGoing = true;
  const std::vector<CleanedFile> results =
      cleanFiles(r, {{t.abs("a.php"), a}, {t.abs("b.php"), other}});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].outcome, Outcome::Cleaned);
  EXPECT_NE(results[0].as, a) << "replaced: a new file at the path";
  EXPECT_EQ(results[1].outcome, Outcome::Failed);
  EXPECT_EQ(results[1].failure.reason, clean::Reason::NotScannedFile);
  EXPECT_EQ(t.read("a.php"), "a");
  EXPECT_EQ(t.read("b.php"), "b" + kSig);
  EXPECT_EQ(t.read("other.php"), "o" + kSig);
}

}  // namespace
