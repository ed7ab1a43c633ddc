// A file whose path is longer than the system lets one call take (PATH_MAX, 4,096
// bytes), 5,000 folders deep: the scan finds it, and the clean, its preview, the
// clean of a scan's report and the restore from the backup store all handle it
// like any other file.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "engine/messages.h"
#include "hostile.h"
#include "inprocess.h"
#include "platform/pathjson.h"

using namespace Qt::StringLiterals;

namespace {

using hostile::kCleaned;
using hostile::kInfected;
const QString kSig = hostile::kSignature;
constexpr int kDepth = 5000;

// The content of `name` at the bottom of the chain of `depth` folders "d" below
// `top`, read one folder at a time; "?" when it cannot be read.
platform::UniqueFd deepFolder(const QByteArray& top, int depth);

QByteArray readDeep(const QByteArray& top, int depth, const char* name) {
  const platform::UniqueFd dir = deepFolder(top, depth);
  platform::UniqueFd f(dir.ok() ? ::openat(dir.get(), name, O_RDONLY | O_CLOEXEC) : -1);
  if (!f.ok())
    return "?";
  QByteArray out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(f.get(), buf, sizeof buf)) > 0)
    out.append(buf, n);
  return out;
}

// The folder at the bottom of the chain of `depth` folders "d" below `top`,
// reached one folder at a time.
platform::UniqueFd deepFolder(const QByteArray& top, int depth) {
  platform::UniqueFd dir(::open(top.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < depth && dir.ok(); ++i)
    dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return dir;
}

// One deep tree for all the tests (removing it takes long); each test starts
// with the file infected.
class LongPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    t = new TempTree;
    if (!hostile::makeChain(t->rootBytes(), "d", kDepth, "x.php", kInfected))
      throw std::runtime_error("cannot make the deep tree");
  }
  static void TearDownTestSuite() {
    hostile::removeDeep(t->abs("d"));
    delete t;
    t = nullptr;
  }
  void SetUp() override {
    for (int i = 0; i < kDepth; ++i)
      deep += "d/";
    deep = t->abs(deep + "x.php");
    platform::UniqueFd dir = deepFolder(t->rootBytes(), kDepth);
    platform::UniqueFd f(dir.ok() ? ::openat(dir.get(), "x.php", O_WRONLY | O_TRUNC | O_CLOEXEC)
                                  : -1);
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(::write(f.get(), kInfected.constData(), std::size_t(kInfected.size())),
              kInfected.size());
  }

  QByteArray content() const { return readDeep(t->rootBytes(), kDepth, "x.php"); }

  static TempTree* t;
  QByteArray deep;  // the file's path
};
TempTree* LongPath::t = nullptr;

TEST_F(LongPath, IsCleanedPreviewedAndRestored) {
  ASSERT_GT(deep.size(), 2 * PATH_MAX);
  const inprocess::CliRun scanned =
      inprocess::runCli({u"scan"_s, u"--signature"_s, kSig, t->root()});
  ASSERT_EQ(scanned.status, cli::kFound) << scanned.err.toStdString();
  ASSERT_EQ(scanned.out, deep + '\n');
  t->write("log", scanned.out);

  const inprocess::CliRun dry =
      inprocess::runCli({u"clean"_s, u"--dry-run"_s, u"--signature"_s, kSig, t->path("log")});
  EXPECT_EQ(dry.status, cli::kOk) << dry.err.left(300).toStdString();
  EXPECT_EQ(dry.out, deep + ": 1 to remove, bytes 6-52\n");
  EXPECT_EQ(content(), kInfected);

  const inprocess::CliRun cleaned =
      inprocess::runCli({u"clean"_s, u"--signature"_s, kSig, t->path("log")});
  EXPECT_EQ(cleaned.status, cli::kOk) << cleaned.err.left(600).toStdString();
  EXPECT_EQ(cleaned.out, deep + '\n' + msg::kCleaned.toString().toUtf8() + '\n');
  EXPECT_EQ(content(), kCleaned);

  // The backup store kept the original under the long path, and gives it back.
  const inprocess::CliRun restored = inprocess::runCli({u"restore"_s});
  EXPECT_EQ(restored.status, cli::kOk) << restored.err.left(600).toStdString();
  EXPECT_EQ(content(), kInfected);
}

TEST_F(LongPath, IsCleanedFromAScansReport) {
  const inprocess::CliRun scanned =
      inprocess::runCli({u"scan"_s, u"--json"_s, u"--signature"_s, kSig, t->root()});
  ASSERT_EQ(scanned.status, cli::kFound) << scanned.err.toStdString();
  t->write("report", scanned.out);

  const inprocess::CliRun dry =
      inprocess::runCli({u"clean"_s, u"--dry-run"_s, u"--json"_s, u"--report"_s, t->path("report"),
                         u"--signature"_s, kSig});
  EXPECT_EQ(dry.status, cli::kOk) << dry.err.left(300).toStdString();
  const QJsonObject preview = QJsonDocument::fromJson(dry.out.split('\n').value(0)).object();
  EXPECT_EQ(platform::takePath(preview), deep);
  EXPECT_EQ(preview.value(u"outcome"_s).toString(), u"would-clean"_s);

  const inprocess::CliRun cleaned = inprocess::runCli(
      {u"clean"_s, u"--json"_s, u"--report"_s, t->path("report"), u"--signature"_s, kSig});
  EXPECT_EQ(cleaned.status, cli::kOk) << cleaned.err.left(600).toStdString();
  const QJsonObject done = QJsonDocument::fromJson(cleaned.out.split('\n').value(0)).object();
  EXPECT_EQ(platform::takePath(done), deep);
  EXPECT_EQ(done.value(u"outcome"_s).toString(), u"cleaned"_s);
  EXPECT_EQ(done.value(u"occurrences"_s).toInteger(), 1);
  EXPECT_EQ(content(), kCleaned);
}

}  // namespace

namespace {

// A scan can write a line longer than the clean reads (4 MiB): a path thousands
// of folders deep whose names are bytes that are not UTF-8, four characters a
// byte. The clean stops there, as at any failure, and says how such a path is
// cleaned.
TEST(LongLogLine, StopsTheCleanThereAndTellsHowToCleanSuchAPath) {
  TempTree t;
  t.write("a.php", kInfected);
  t.write("b.php", kInfected);
  t.write("log",
          t.abs("a.php") + '\n' + QByteArray(5 * 1024 * 1024, 'x') + '\n' + t.abs("b.php") + '\n');
  const inprocess::CliRun r =
      inprocess::runCli({u"clean"_s, u"--signature"_s, kSig, t.path("log")});
  EXPECT_EQ(r.status, cli::kError);
  EXPECT_TRUE(r.err.contains("line 2 is longer than")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("clean -0")) << r.err.toStdString();
  EXPECT_EQ(t.read("a.php"), kCleaned);
  EXPECT_EQ(t.read("b.php"), kInfected);
}

}  // namespace
