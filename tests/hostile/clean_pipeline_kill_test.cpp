// A clean of a few hundred files killed (kill -9 from outside) at random moments:
// every file holds its old or its new content, the files the clean reached are
// the first ones of the list and no others, nothing of the run stays in the
// tree once the next run has recovered, and restore brings every file back.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <string>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "clean/remover.h"
#include "clean/restore.h"
#include "hostile.h"
#include "killrestore.h"
#include "plainwindowstate.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kFiles = 240;
constexpr int kPerFolder = 40;

QByteArray page(int seed) {
  QByteArray p = "<html><p>page " + QByteArray::number(seed) + "</p>\r\n";
  p += QByteArray("<p>text</p>\r\n").repeated(1 + seed % 200);
  return p + hostile::kSignature.toUtf8() + "</html>\r\n";
}

class KilledMany : public ::testing::Test {
 protected:
  KilledMany() : data_(platform::decodePath(privateDataHome.path()) + u"/killedmany-XXXXXX"_s) {
    saved_ = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QDir(data_.path()).canonicalPath().toUtf8());
    for (int i = 0; i < kFiles; ++i) {
      originals_.append(page(i));
      cleaned_.append(clean::removeSignature(originals_.back(), hostile::kSignature, 1 << 20));
    }
  }
  ~KilledMany() override { qputenv("XDG_DATA_HOME", saved_); }

  static QByteArray name(int i) {
    return "site/d" + QByteArray::number(i / kPerFolder) + "/p" + QByteArray::number(i) + ".php";
  }
  void makeTree(const TempTree& t) const {
    for (int i = 0; i < kFiles; ++i)
      t.write(name(i), originals_[i]);
  }
  // Cleans the whole list in a child, killed once it has cleaned `after` files
  // and a little more time has gone by. False when it ran to its end first.
  bool cleanKilled(const TempTree& t, int after, int delayUs) const {
    return hostile::runKilled(
        [&](int progress) {
          PlainWindowState w;
          Cleaner c(w);
          c.onFile = [&](const QByteArray&, const clean::CleanResult&) {
            (void)!::write(progress, "+", 1);
          };
          w.Text3 = hostile::kSignature;
          for (int i = 0; i < kFiles; ++i)
            w.Text1 += t.path(name(i)) + u"\r\n"_s;
          c.Command2_Click();
          return w.messages.isEmpty() ? 0 : 1;
        },
        after, delayUs);
  }
  // 'n' new, 'o' old, 'x' neither, one a file.
  QByteArray states(const TempTree& t) const {
    QByteArray s;
    for (int i = 0; i < kFiles; ++i) {
      const QByteArray now = t.read(name(i));
      s += now == cleaned_[i] ? 'n' : now == originals_[i] ? 'o' : 'x';
    }
    return s;
  }
  static QStringList leftovers(const TempTree& t) {
    QStringList found;
    QDirIterator it(t.root(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString p = it.next();
      if (!QFileInfo(p).fileName().endsWith(u".php"_s))
        found.append(p);
    }
    return found;
  }
  static void clearStore() {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }

  QTemporaryDir data_;
  QByteArray saved_;
  QList<QByteArray> originals_;
  QList<QByteArray> cleaned_;
};

// The clean goes down the list: what it changed is a first stretch of it.
bool cleanedFirstOnly(const QByteArray& s) {
  const qsizetype firstOld = s.indexOf('o');
  return !s.contains('x') && (firstOld < 0 || !s.mid(firstOld).contains('n'));
}

}  // namespace

TEST_F(KilledMany, AtRandomMomentsEveryFileIsOldOrNewAndTheRunIsUndone) {
  QRandomGenerator random(20261208);
  int killed = 0;
  for (int trial = 0; trial < 10; ++trial) {
    const std::string name = "trial " + std::to_string(trial);
    clearStore();
    TempTree t;
    makeTree(t);
    const int after = int(random.bounded(kFiles - 20));
    killed += cleanKilled(t, after, int(random.bounded(4000)));

    const QByteArray atKill = states(t);
    EXPECT_TRUE(cleanedFirstOnly(atKill)) << name << " " << atKill.constData();
    EXPECT_GE(atKill.count('n'), after) << name;

    (void)clean::recoverInterrupted();
    const QByteArray recovered = states(t);
    EXPECT_TRUE(cleanedFirstOnly(recovered)) << name << " " << recovered.constData();
    EXPECT_EQ(leftovers(t), QStringList()) << name;
    EXPECT_TRUE(clean::recoverInterrupted().empty()) << name;

    if (!hostile::restoresLatestRun(recovered, name))
      continue;
    EXPECT_EQ(states(t), QByteArray(kFiles, 'o')) << name;
  }
  // Most trials die inside the run, not after it.
  EXPECT_GE(killed, 8);
}
