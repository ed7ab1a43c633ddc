// A clean killed at any point (kill -9 from inside, at a chosen write, read or
// flush; or from outside after a random time): every file is either old or new,
// or, for a file rewritten in place, put back by the next run, which says so;
// no temporary file of the run stays in the tree; and restore then brings back
// every file byte for byte, its hard links still one file.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "clean/remover.h"
#include "clean/restore.h"
#include "hostile.h"
#include "killrestore.h"
#include "plainwindowstate.h"
#include "window/cleaner.h"
#include "window/windowscan.h"

using namespace Qt::StringLiterals;

namespace {

// Pages long enough for many pieces, with the signature here and there.
QByteArray page(int seed) {
  const QByteArray sig = hostile::kSignature.toUtf8();
  QByteArray p;
  for (int i = 0; i < 300; ++i) {
    p += "<p>line " + QByteArray::number(seed) + '.' + QByteArray::number(i) + "</p>\r\n";
    if (i % 37 == 5)
      p += sig;
  }
  return p;
}

QByteArray cleaned(const QByteArray& content) {
  return clean::removeSignature(content, hostile::kSignature, 1 << 20);
}

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  ::lstat(path.constData(), &st);
  return st;
}

// A tree and a data folder of its own, so the runs that are cut short here are
// not seen by other tests.
class Killed : public ::testing::Test {
 protected:
  Killed() : data_(platform::decodePath(privateDataHome.path()) + u"/killed-XXXXXX"_s) {
    saved_ = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QDir(data_.path()).canonicalPath().toUtf8());
    for (int i = 0; i < kFiles; ++i)
      originals_.append(page(i));
  }
  ~Killed() override { qputenv("XDG_DATA_HOME", saved_); }

  static constexpr int kFiles = 6;
  // f0..f5; f1 and f4 have a second name (g1, g4), f3 is not infected.
  QByteArray name(int i) const { return "site/f" + QByteArray::number(i) + ".asp"; }
  void makeTree(TempTree& t) {
    for (int i = 0; i < kFiles; ++i)
      t.write(name(i), i == 3 ? QByteArray("no signature here\r\n") : originals_[i]);
    for (int i : {1, 4})
      ASSERT_EQ(::link(t.abs(name(i)).constData(),
                       t.abs("site/g" + QByteArray::number(i) + ".asp").constData()),
                0);
  }
  QByteArray original(int i) const {
    return i == 3 ? QByteArray("no signature here\r\n") : originals_[i];
  }
  QString log(const TempTree& t) const {
    QString s;
    for (int i = 0; i < kFiles; ++i)
      s += t.path(name(i)) + u"\r\n"_s;
    return s;
  }
  // Runs the clean in a child that `kill` may kill; false when it ran to its end.
  bool cleanKilled(const TempTree& t, const std::function<void(clean::Options&)>& setUp,
                   int delayUs) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      PlainWindowState w;
      Cleaner c(w);
      c.options().chunkSize = 512;
      setUp(c.options());
      w.Text3 = hostile::kSignature;
      w.Text1 = log(t);
      c.Command2_Click();
      ::_exit(w.messages.isEmpty() ? 0 : 1);
    }
    if (delayUs >= 0) {
      const struct timespec d { 0, long(delayUs) * 1000 };
      ::nanosleep(&d, nullptr);
      ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status);
  }
  // What each file holds now: 'o' old, 'n' new, 'x' neither.
  QByteArray states(const TempTree& t) const {
    QByteArray s;
    for (int i = 0; i < kFiles; ++i) {
      const QByteArray now = t.read(name(i));
      s += now == original(i) ? 'o' : now == cleaned(original(i)) ? 'n' : 'x';
    }
    return s;
  }
  QStringList leftovers(const TempTree& t) const {
    QStringList found;
    QDirIterator it(t.root(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString p = it.next();
      if (QFileInfo(p).fileName().startsWith(u".tervane-"_s))
        found.append(p);
    }
    return found;
  }
  // Each trial starts with an empty store.
  static void clearStore() {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }
  // Recovery, then restore: everything as before the clean.
  void expectRecoveredAndRestored(TempTree& t, const std::string& trial) {
    const QString note = clean::recoveryMessage(clean::recoverInterrupted());
    const QByteArray after = states(t);
    EXPECT_FALSE(after.contains('x')) << trial << " " << after.constData() << "\n"
                                      << note.toStdString();
    EXPECT_EQ(leftovers(t), QStringList()) << trial;
    // Nothing left to repair.
    EXPECT_TRUE(clean::recoverInterrupted().empty()) << trial;

    if (!hostile::restoresLatestRun(after, trial))
      return;
    for (int i = 0; i < kFiles; ++i)
      EXPECT_EQ(t.read(name(i)), original(i)) << trial << " file " << i;
    for (int i : {1, 4}) {
      const struct stat a = statOf(t.abs(name(i)));
      const struct stat b = statOf(t.abs("site/g" + QByteArray::number(i) + ".asp"));
      EXPECT_EQ(a.st_ino, b.st_ino) << trial;
      EXPECT_EQ(a.st_nlink, 2u) << trial;
    }
  }

  QTemporaryDir data_;
  QByteArray saved_;
  QList<QByteArray> originals_;
};

}  // namespace

// Root cleans files of the site's owner: each new file beside them takes that
// owner before the kill, and the next run removes it all the same.
TEST_F(Killed, NewFilesOfAnotherOwnersFilesAreRemovedToo) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give files to another user";
  for (const clean::Step step : {clean::Step::SyncTemp, clean::Step::Replace}) {
    clearStore();
    TempTree t;
    makeTree(t);
    for (int i = 0; i < kFiles; ++i)
      ASSERT_EQ(::chown(t.abs(name(i)).constData(), 65534, 65534), 0);
    const bool died = cleanKilled(
        t,
        [step](clean::Options& o) {
          o.fault = [step](clean::Step s, const QByteArray&) {
            if (s == step)
              ::kill(::getpid(), SIGKILL);
            return 0;
          };
        },
        -1);
    ASSERT_TRUE(died);
    ASSERT_FALSE(leftovers(t).isEmpty());
    expectRecoveredAndRestored(t, "killed at step " + std::to_string(int(step)));
  }
}

TEST_F(Killed, AtEveryKindOfStep) {
  // Each trial dies at the k-th time the chosen step comes: in the backup, the
  // new file, the rename, the in-place rewrite.
  const clean::Step steps[] = {
      clean::Step::ReadOriginal, clean::Step::WriteBackup,  clean::Step::SyncBackup,
      clean::Step::WriteTemp,    clean::Step::SyncTemp,     clean::Step::Replace,
      clean::Step::SyncDir,      clean::Step::WriteInPlace, clean::Step::SyncInPlace};
  QRandomGenerator random(20261207);
  int killed = 0;
  int mixed = 0;
  for (int trial = 0; trial < 36; ++trial) {
    clearStore();
    TempTree t;
    makeTree(t);
    const clean::Step step = steps[trial % std::size(steps)];
    const int at = 1 + int(random.bounded(step == clean::Step::WriteInPlace ? 20 : 6));
    const bool died = cleanKilled(
        t,
        [step, at](clean::Options& o) {
          o.fault = [step, at, count = 0](clean::Step s, const QByteArray&) mutable {
            if (s == step && ++count == at)
              ::kill(::getpid(), SIGKILL);
            return 0;
          };
        },
        -1);
    killed += died;
    const QByteArray before = states(t);
    mixed += before.contains('x');
    // Only a file rewritten in place can be caught half written.
    for (int i = 0; i < kFiles; ++i) {
      if (i != 1 && i != 4) {
        EXPECT_NE(before[i], 'x') << "trial " << trial << " file " << i;
      }
    }
    expectRecoveredAndRestored(t, "trial " + std::to_string(trial));
  }
  EXPECT_GT(killed, 24);
  // The in-place steps were hit mid-file at least once.
  EXPECT_GT(mixed, 0);
}

TEST_F(Killed, AfterARandomTime) {
  QRandomGenerator random(4242);
  for (int trial = 0; trial < 12; ++trial) {
    clearStore();
    TempTree t;
    makeTree(t);
    cleanKilled(
        t, [](clean::Options&) {}, int(random.bounded(30000)));
    expectRecoveredAndRestored(t, "timed trial " + std::to_string(trial));
  }
}

TEST_F(Killed, TheNextScanPutsAHalfRewrittenFileBackAndSaysSo) {
  TempTree t;
  makeTree(t);
  ASSERT_TRUE(cleanKilled(
      t,
      [](clean::Options& o) {
        o.fault = [count = 0](clean::Step s, const QByteArray&) mutable {
          if (s == clean::Step::WriteInPlace && ++count == 3)
            ::kill(::getpid(), SIGKILL);
          return 0;
        };
      },
      -1));
  ASSERT_EQ(states(t)[1], 'x');  // f1, the first file with two names, half written
  ScanState w;
  WindowScan s(w);
  w.Text3 = hostile::kSignature;
  w.Combo2 = u"*.ASP"_s;
  w.Combo1 = t.root();
  s.Command1_Click();
  ASSERT_EQ(w.messages.size(), 1);
  EXPECT_TRUE(w.messages[0].contains(u"已恢复为改写前的内容："_s + t.path(name(1))))
      << w.messages[0].toStdString();
  EXPECT_EQ(t.read(name(1)), original(1));
  EXPECT_EQ(t.read("site/g1.asp"), original(1));
  // The scan then finds it infected again, like every file the clean had not reached.
  EXPECT_TRUE(w.Text1.contains(t.path(name(1))));
}
