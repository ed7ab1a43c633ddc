// A clean of many files in several folders, as a mass defacement leaves them:
// the cleaning log, the files after a failure at any step of any one of them,
// and the backups that undo the whole run. Whatever the clean does to go
// faster, these must hold as they do for a clean of one file after another.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QString>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "clean/backupstore.h"
#include "clean/failures.h"
#include "clean/restore.h"
#include "engine/messages.h"
#include "plainwindowstate.h"
#include "testsupport.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

const QString kSig = u"<iframe src=x width=0 height=0></iframe>"_s;
constexpr int kFolders = 4;
constexpr int kPerFolder = 15;

// Records which file the clean is on, so that a fault can hit one chosen file.
class Window : public PlainWindowState {
 public:
  void showCleaning(const QString& path) override {
    ++current;
    shown.append(path);
  }
  int current = -1;
  QStringList shown;
};

struct Snapshot {
  QByteArray content;
  ino_t ino = 0;
  struct timespec mtime {};
};

class Pipeline : public ::testing::Test {
 protected:
  Pipeline() {
    clean::BackupRun::nameForTests = nullptr;
    w.Text3 = kSig;
    for (int d = 0; d < kFolders; ++d) {
      for (int i = 0; i < kPerFolder; ++i) {
        const QByteArray rel =
            "www/d" + QByteArray::number(d) + "/p" + QByteArray::number(i) + ".php";
        // Sizes differ from file to file, some beyond one read chunk.
        const QByteArray body =
            QByteArray("lorem ipsum ")
                .repeated(1 + (d * 7919 + i * 104729) % (i % 5 == 0 ? 20000 : 400));
        t.write(rel, "<html>" + body + kSig.toUtf8() + body + "</html>\n");
        rels.push_back(rel);
      }
    }
    for (const QByteArray& rel : rels)
      before.push_back(snap(rel));
  }
  ~Pipeline() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }

  // The manifest of the one run the clean made.
  static std::optional<clean::RunManifest> onlyRun() {
    clean::Store s;
    if (s.open(false) != 0)
      return std::nullopt;
    const auto runNames = s.runs();
    if (runNames.size() != 1u)
      return std::nullopt;
    return clean::readRun(s.fd(), runNames.back());
  }

  Snapshot snap(const QByteArray& rel) const {
    struct stat st {};
    EXPECT_EQ(::lstat(t.abs(rel).constData(), &st), 0);
    return {t.read(rel), st.st_ino, st.st_mtim};
  }
  QString logText() const {
    QString s;
    for (const QByteArray& rel : rels)
      s += t.path(rel) + u"\r\n"_s;
    return s;
  }
  QString cleanedLine(const QByteArray& rel) const {
    return t.path(rel) + u"\r\n"_s + msg::kCleaned.toString() + u"\r\n"_s;
  }
  static QByteArray cleaned(const QByteArray& content) {
    QByteArray c = content;
    return c.replace(kSig.toUtf8(), QByteArray());
  }
  // Every name in the folders of the list, so that a temporary file left behind
  // shows.
  std::map<QByteArray, QStringList> names() const {
    std::map<QByteArray, QStringList> all;
    for (int d = 0; d < kFolders; ++d) {
      const QByteArray folder = "www/d" + QByteArray::number(d);
      all[folder] =
          QDir(t.path(folder))
              .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDir::Name);
    }
    return all;
  }

  TempTree t;
  Window w;
  Cleaner c{w};
  std::vector<QByteArray> rels;
  std::vector<Snapshot> before;
};

TEST_F(Pipeline, LogIsTheOneLineAfterAnotherLogAndEveryFileIsCleaned) {
  const auto namesBefore = names();
  w.Text1 = logText();
  c.Command2_Click();

  QString expected;
  for (const QByteArray& rel : rels)
    expected += cleanedLine(rel);
  EXPECT_EQ(w.Text1, expected);
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  ASSERT_EQ(w.shown.size(), qsizetype(rels.size()));
  for (std::size_t i = 0; i < rels.size(); ++i) {
    EXPECT_EQ(w.shown[qsizetype(i)], t.path(rels[i]));
    EXPECT_EQ(t.read(rels[i]), cleaned(before[i].content)) << rels[i].constData();
  }
  EXPECT_EQ(names(), namesBefore);
}

TEST_F(Pipeline, BackupsOfTheWholeRunBringEveryOriginalBack) {
  w.Text1 = logText();
  c.Command2_Click();
  ASSERT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();

  const auto m = onlyRun();
  ASSERT_TRUE(m) << "not exactly one readable run";
  ASSERT_EQ(m->files.size(), rels.size());
  for (std::size_t i = 0; i < rels.size(); ++i) {
    EXPECT_EQ(m->files[i].n, int(i));
    EXPECT_EQ(m->files[i].path, t.abs(rels[i]));
    EXPECT_EQ(m->files[i].outcome, u"cleaned"_s);
  }

  const clean::RestoreReport r = clean::restoreRun(QByteArray());
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.files.size(), rels.size());
  for (std::size_t i = 0; i < rels.size(); ++i) {
    EXPECT_EQ(r.files[i].result, clean::RestoredFile::Result::Restored) << rels[i].constData();
    EXPECT_EQ(t.read(rels[i]), before[i].content) << rels[i].constData();
  }
}

// A process allowed few descriptors still cleans every file: the batch takes no
// more files than its descriptors allow.
TEST_F(Pipeline, FewDescriptorsStillCleanEveryFile) {
  const int open = openDescriptors();
  struct rlimit usual {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &usual), 0);
  struct rlimit few = usual;
  few.rlim_cur = rlim_t(open + 40);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  w.Text1 = logText();
  c.Command2_Click();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &usual), 0);

  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  QString expected;
  for (const QByteArray& rel : rels)
    expected += cleanedLine(rel);
  EXPECT_EQ(w.Text1, expected);
}

struct FaultAt {
  clean::Step step;
  int file;
  clean::Reason reason;    // the failing file's message says why
  clean::Outcome outcome;  // what becomes of the failing file
};

class PipelineFault : public Pipeline,
                      public ::testing::WithParamInterface<std::tuple<FaultAt, std::size_t>> {};

// A failure at file k: the files before it cleaned and logged, its own message
// as for a clean of that file alone, and every later file untouched (same
// content, same inode, same time), with nothing left beside any of them. Files
// are cleaned a batch at a time; the batch sizes put k at different places in
// its batch. Only a folder's flush covers several files: when it fails, the
// files renamed in that folder with the failing one are named in its message.
TEST_P(PipelineFault, NothingAfterTheFailingFileChanges) {
  const auto [at, batch] = GetParam();
  const auto namesBefore = names();
  const QByteArray failing = t.abs(rels[std::size_t(at.file)]);
  clean::Options o;
  o.fault = [&](clean::Step s, const QByteArray& path) {
    return path == failing && s == at.step ? EIO : 0;
  };
  c.options() = o;
  c.setBatchSize(batch);
  w.Text1 = logText();
  c.Command2_Click();

  // Renamed with the failing file and flushed with it: the rest of its folder
  // within its batch.
  int alsoReplaced = 0;
  if (at.step == clean::Step::SyncDir) {
    const int batchEnd = int((std::size_t(at.file) / batch + 1) * batch);
    const int folderEnd = (at.file / kPerFolder + 1) * kPerFolder;
    alsoReplaced = std::min(batchEnd, folderEnd) - at.file - 1;
  }
  QString expected;
  for (int i = 0; i < at.file; ++i)
    expected += cleanedLine(rels[std::size_t(i)]);
  EXPECT_EQ(w.cleaningLog(), expected);
  clean::Failure f;
  f.reason = at.reason;
  f.error = EIO;
  f.outcome = at.outcome;
  f.alsoReplaced = alsoReplaced;
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_EQ(w.messages[0], Cleaner::failureQuestion(t.path(rels[std::size_t(at.file)]), f));
  // Stopped there: the failing file and every one after it are left for the next Clean.
  const auto left = Cleaner::pathsToClean(w.Text1);
  ASSERT_TRUE(left);
  ASSERT_EQ(left->size(), qsizetype(rels.size()) - at.file);
  EXPECT_EQ(left->front(), t.path(rels[std::size_t(at.file)]));
  // The files were looked at in list order, up to the failing one at least.
  ASSERT_GE(w.shown.size(), at.file + 1);
  for (qsizetype i = 0; i < w.shown.size(); ++i)
    EXPECT_EQ(w.shown[i], t.path(rels[std::size_t(i)]));

  for (std::size_t i = 0; i < rels.size(); ++i) {
    const Snapshot now = snap(rels[i]);
    const bool replaced =
        at.outcome == clean::Outcome::ReplacedUnsynced && int(i) <= at.file + alsoReplaced;
    if (int(i) < at.file || replaced) {
      EXPECT_EQ(now.content, cleaned(before[i].content)) << rels[i].constData();
    } else {
      EXPECT_EQ(now.content, before[i].content) << rels[i].constData();
      EXPECT_EQ(now.ino, before[i].ino) << rels[i].constData();
      EXPECT_EQ(now.mtime.tv_sec, before[i].mtime.tv_sec) << rels[i].constData();
      EXPECT_EQ(now.mtime.tv_nsec, before[i].mtime.tv_nsec) << rels[i].constData();
    }
  }
  EXPECT_EQ(names(), namesBefore);

  // The run's record says the same: cleaned up to the failing file, and the
  // files kept with it but never reached have no copy to restore.
  const auto m = onlyRun();
  ASSERT_TRUE(m) << "not exactly one readable run";
  for (const clean::FileRecord& r : m->files) {
    if (r.n < at.file || (r.n > at.file && r.n <= at.file + alsoReplaced))
      EXPECT_EQ(r.outcome, u"cleaned"_s) << r.n;
    else if (r.n == at.file)
      EXPECT_EQ(r.outcome, u"failed"_s);
    else
      EXPECT_TRUE(r.outcome == u"not-reached"_s && r.copy.isEmpty()) << r.n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PipelineFault,
    ::testing::Combine(
        ::testing::Values(
            FaultAt{clean::Step::Open, 0, clean::Reason::System, clean::Outcome::Unchanged},
            FaultAt{clean::Step::Open, 17, clean::Reason::System, clean::Outcome::Unchanged},
            FaultAt{clean::Step::ReadOriginal, 31, clean::Reason::BackupFailed,
                    clean::Outcome::Unchanged},
            FaultAt{clean::Step::SyncBackup, 14, clean::Reason::BackupFailed,
                    clean::Outcome::Unchanged},
            FaultAt{clean::Step::WriteTemp, 15, clean::Reason::System, clean::Outcome::Unchanged},
            FaultAt{clean::Step::SyncTemp, 29, clean::Reason::System, clean::Outcome::Unchanged},
            FaultAt{clean::Step::Replace, 44, clean::Reason::System, clean::Outcome::Unchanged},
            // Mid-folder: the rest of the folder is not renamed.
            FaultAt{clean::Step::Replace, 37, clean::Reason::System, clean::Outcome::Unchanged},
            FaultAt{clean::Step::SyncDir, 30, clean::Reason::System,
                    clean::Outcome::ReplacedUnsynced},
            FaultAt{clean::Step::SyncDir, 58, clean::Reason::System,
                    clean::Outcome::ReplacedUnsynced},
            FaultAt{clean::Step::SyncTemp, kFolders* kPerFolder - 1, clean::Reason::System,
                    clean::Outcome::Unchanged}),
        ::testing::Values(std::size_t(64), std::size_t(7), std::size_t(1))),
    [](const ::testing::TestParamInfo<std::tuple<FaultAt, std::size_t>>& p) {
      const FaultAt& at = std::get<0>(p.param);
      return "Step" + std::to_string(int(at.step)) + "AtFile" + std::to_string(at.file) + "Batch" +
             std::to_string(std::get<1>(p.param));
    });

}  // namespace
