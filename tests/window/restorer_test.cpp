// The restore behind the window's way back, with no window: it asks first, lists
// and removes runs, writes a log that the clean does not take for a list, and
// tells what could not be put back.
#include "window/restorer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>

#include "engine/cleanrun.h"
#include "engine/messages.h"
#include "plainwindowstate.h"
#include "testsupport.h"
#include "text/signatureset.h"
#include "window/cleaner.h"
#include "window/windowstate.h"

using namespace Qt::StringLiterals;

namespace {

class RestorerTest : public ::testing::Test {
 protected:
  RestorerTest() {
    old_ = qgetenv("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", QFile::encodeName(store_.path()).constData(), 1);
    w.Text3 = u"<x>"_s;
  }
  ~RestorerTest() override { ::setenv("XDG_DATA_HOME", old_.constData(), 1); }

  // Cleans the files named, as the window does.
  void clean(const QList<QByteArray>& files) {
    w.Text1.clear();
    for (const QByteArray& f : files)
      w.Text1 += t.path(f) + u"\r\n"_s;
    cleaner.Command2_Click();
    ASSERT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').toStdString();
  }

  QTemporaryDir store_;
  QByteArray old_;
  TempTree t;
  PlainWindowState w;
  Cleaner cleaner{w};
  Restorer restorer{w};
};

TEST_F(RestorerTest, NothingToRestoreIsSaid) {
  EXPECT_FALSE(restorer.restore());
  EXPECT_EQ(w.messages, QStringList{msg::kNoBackups.toString()});
  EXPECT_EQ(restorer.store().error, ENOENT);
}

TEST_F(RestorerTest, AsksFirstAndChangesNothingOnNo) {
  t.write("a.htm", "1<x>2");
  clean({"a.htm"});
  ASSERT_EQ(t.read("a.htm"), "12");
  w.Text1 = u"kept"_s;
  EXPECT_FALSE(restorer.restore());  // no one answers: No
  EXPECT_EQ(w.questions.size(), 1);
  EXPECT_EQ(t.read("a.htm"), "12");
  EXPECT_EQ(w.Text1, u"kept"_s);

  w.answerYes = true;
  EXPECT_TRUE(restorer.restore());
  EXPECT_EQ(t.read("a.htm"), "1<x>2");
  // The log names each file and its result, ends with a summary line, and is not
  // a list for the clean.
  EXPECT_EQ(w.Text1, t.path("a.htm") + u"\r\n  已恢复。\r\n"_s +
                         msg::kRestoreSummary.toString().arg(1).arg(0) + u"\r\n"_s);
  EXPECT_TRUE(Cleaner::isLog(w.Text1));
  EXPECT_TRUE(w.messages.isEmpty());
}

// A run of the command line that quarantined a web shell is the window's last
// clean: its undo puts the shell back.
TEST_F(RestorerTest, UndoPutsBackAQuarantinedFile) {
  t.write("up/c.php", "<?php @eval($_POST['c']);?>");
  CleanRequest r;
  r.signature =
      text::packSignatureSet({{u"shell"_s, u"@eval($_post["_s, text::MemberAction::Quarantine}});
  const std::vector<CleanedFile> done = cleanFiles(r, {{t.abs("up/c.php"), std::nullopt}});
  ASSERT_EQ(done.size(), 1u);
  ASSERT_TRUE(done[0].quarantined);
  // A run that only quarantined changed the site: complete, its count told.
  const Restorer::Store store = restorer.store();
  ASSERT_EQ(store.runs.size(), 1u);
  EXPECT_EQ(store.runs[0].quarantined, 1);
  EXPECT_EQ(store.runs[0].state(), u"完整"_s);
  w.answerYes = true;
  EXPECT_TRUE(restorer.restore());
  EXPECT_EQ(t.read("up/c.php"), "<?php @eval($_POST['c']);?>");
  EXPECT_EQ(w.Text1, t.path("up/c.php") + u"\r\n  已恢复。\r\n"_s +
                         msg::kRestoreSummary.toString().arg(1).arg(0) + u"\r\n"_s);
}

TEST_F(RestorerTest, FilesGoneAreListedAndFailuresNamed) {
  t.write("a.htm", "1<x>2");
  t.write("b.htm", "3<x>4");
  clean({"a.htm", "b.htm"});
  ASSERT_EQ(::unlink(t.abs("a.htm").constData()), 0);
  // A folder where a file was: the restore cannot write it.
  ASSERT_EQ(::unlink(t.abs("b.htm").constData()), 0);
  t.mkdir("b.htm");
  w.answerYes = true;
  EXPECT_TRUE(restorer.restore());
  EXPECT_TRUE(w.Text1.contains(t.path("a.htm") + u"\r\n  文件不存在，没有恢复。\r\n"_s));
  EXPECT_TRUE(w.Text1.endsWith(msg::kRestoreSummary.toString().arg(0).arg(2) + u"\r\n"_s));
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages[0].startsWith(msg::kRestoreFailed.toString().arg(1)));
  EXPECT_TRUE(w.messages[0].contains(u"文件："_s + t.path("b.htm")));
}

TEST_F(RestorerTest, ListsCleanRunsNewestFirstAndRemovesOnlyEndedOnes) {
  t.write("a.htm", "1<x>2");
  t.write("b.htm", "3<x>4");
  clean({"a.htm"});
  clean({"a.htm", "b.htm"});  // a.htm no longer holds it: kept, unchanged
  const Restorer::Store listing = restorer.store();
  ASSERT_EQ(listing.error, 0);
  ASSERT_EQ(listing.runs.size(), 2u);
  EXPECT_GT(listing.runs[0].name, listing.runs[1].name);
  EXPECT_EQ(listing.runs[0].files, 2);
  EXPECT_EQ(listing.runs[1].files, 1);
  EXPECT_TRUE(listing.runs[0].complete && listing.runs[1].complete);
  EXPECT_GE(listing.runs[1].bytes, 5);  // on disk: the copy and the manifest
  EXPECT_EQ(listing.bytes, listing.runs[0].bytes + listing.runs[1].bytes);

  // A run neither ended nor repaired belongs to a clean still going.
  Restorer::Run live = listing.runs[1];
  live.complete = false;
  EXPECT_EQ(Restorer::remove(live), EBUSY);
  EXPECT_EQ(restorer.store().runs.size(), 2u);

  EXPECT_EQ(Restorer::remove(listing.runs[1]), 0);
  const Restorer::Store after = restorer.store();
  ASSERT_EQ(after.runs.size(), 1u);
  EXPECT_EQ(after.runs[0].name, listing.runs[0].name);

  // The older run named restores its own originals.
  w.answerYes = true;
  EXPECT_TRUE(restorer.restore(after.runs[0].name));
  EXPECT_EQ(t.read("b.htm"), "3<x>4");
  EXPECT_EQ(t.read("a.htm"), "12");  // as the second clean found it
}

}  // namespace

// A window whose user edits a file again while the question about edited files
// is open, then answers yes.
class EditsDuringTheQuestion : public PlainWindowState {
 public:
  std::function<void()> duringSecondQuestion;
  bool askYesNo(const QString& text) override {
    PlainWindowState::askYesNo(text);
    if (questions.size() == 2 && duringSecondQuestion)
      duringSecondQuestion();
    return true;
  }
};

TEST_F(RestorerTest, ForcedRestorePutsBackOnlyTheFilesNamedAsTheyWereShown) {
  t.write("a.htm", "1<x>2");
  t.write("b.htm", "3<x>4");
  clean({"a.htm", "b.htm"});
  t.write("a.htm", "edited a");
  t.write("b.htm", "edited b");
  EditsDuringTheQuestion asked;
  asked.duringSecondQuestion = [&] { t.write("b.htm", "edited b again"); };
  Restorer r{asked};
  EXPECT_TRUE(r.restore());
  ASSERT_EQ(asked.questions.size(), 2);
  EXPECT_TRUE(asked.questions[1].contains(t.path("b.htm")));
  EXPECT_EQ(t.read("a.htm"), "1<x>2");
  // Not what the question showed: the user's last edit stays, and is named.
  EXPECT_EQ(t.read("b.htm"), "edited b again");
  EXPECT_TRUE(asked.Text1.contains(t.path("b.htm") + u"\r\n  "_s + msg::kRestoreEdited.toString()));
  EXPECT_FALSE(r.allBack());
}

TEST_F(RestorerTest, ASecondRestoreOfTheSameRunIsKeptOut) {
  t.write("a.htm", "1<x>2");
  clean({"a.htm"});
  const Restorer::Store store = restorer.store();
  ASSERT_EQ(store.runs.size(), 1u);
  // Another restore of the run holds its folder's lock.
  const QByteArray runFolder =
      QFile::encodeName(store_.path()) + "/tervane/backups/" + store.runs.front().name;
  const int held = ::open(runFolder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  w.answerYes = true;
  EXPECT_FALSE(restorer.restore());
  EXPECT_EQ(w.messages, QStringList{msg::kRestoreGoing.toString()});
  EXPECT_EQ(t.read("a.htm"), "12");
  ::close(held);
  EXPECT_TRUE(restorer.restore());
  EXPECT_EQ(t.read("a.htm"), "1<x>2");
}

// Runs told apart by what became of them: complete, not complete (a file failed
// and was skipped), failed (it changed nothing), restored.
TEST_F(RestorerTest, RunsAreToldApartByTheirState) {
  t.write("www/a.htm", "1<x>2");
  t.write("www/b.htm", "3<x>4");
  clean({"www/a.htm", "www/b.htm"});
  const QByteArray failing = t.abs("www/b.htm");
  t.write("www/b.htm", "3<x>4");
  cleaner.options().fault = [failing](clean::Step step, const QByteArray& path) {
    return step == clean::Step::Replace && path == failing ? EIO : 0;
  };
  t.write("www/a.htm", "1<x>2");
  w.failureAnswers = {WindowState::FailureChoice::Skip};
  w.Text1 = t.path("www/a.htm") + u"\r\n"_s + t.path("www/b.htm") + u"\r\n"_s;
  cleaner.Command2_Click();
  w.Text1 = t.path("www/b.htm") + u"\r\n"_s;
  cleaner.Command2_Click();
  w.messages.clear();
  const Restorer::Store store = restorer.store();
  ASSERT_EQ(store.runs.size(), 3u);
  EXPECT_EQ(store.runs[0].state(), u"失败"_s);
  EXPECT_EQ(store.runs[1].state(), u"未完成"_s);
  EXPECT_EQ(store.runs[2].state(), u"完整"_s);
  EXPECT_EQ(store.runs[2].folder, t.path("www"));
  // What the store really holds, manifests included, every run counted.
  qint64 sum = 0;
  for (const Restorer::Run& run : store.runs) {
    EXPECT_GT(run.bytes, 0);
    sum += run.bytes;
  }
  EXPECT_EQ(store.bytes, sum);

  w.answerYes = true;
  ASSERT_TRUE(restorer.restore(store.runs[1].name));
  EXPECT_EQ(t.read("www/a.htm"), "1<x>2");
  EXPECT_TRUE(Restorer::wasRestored(store.runs[1].name));
  EXPECT_EQ(restorer.store().runs[1].state(), u"已恢复"_s);
}
