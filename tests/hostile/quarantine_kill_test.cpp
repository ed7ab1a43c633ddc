// A quarantine of 2,000 files killed (kill -9 from outside) at random moments:
// every file is in place or in the store with its record, nothing of the run
// is left in the tree once the next run has recovered, and restore brings
// every one back.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <string>

#include "clean/backupstore.h"
#include "clean/journal.h"
#include "engine/cleanrun.h"
#include "killrestore.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kFiles = 2000;
constexpr int kPerFolder = 100;

QByteArray shell(int i) {
  return "<?php /* " + QByteArray::number(i) + " */ @eval($_POST['c']);?>\n";
}

QByteArray name(int i) {
  return "up/d" + QByteArray::number(i / kPerFolder) + "/s" + QByteArray::number(i) + ".php";
}

// Quarantines the whole list in a child, killed once it has done `after`
// files and a little more time has gone by. False when it ran to its end first.
bool quarantineKilled(const TempTree& t, int after, int delayUs) {
  return hostile::runKilled(
      [&](int progress) {
        CleanRequest r;
        r.signature = u"@eval($_post["_s;
        r.quarantine = true;
        CleanRun run(r, [&](const CleanedFile&) { (void)!::write(progress, "+", 1); });
        for (int i = 0; i < kFiles; ++i)
          (void)run.add(FileToClean{t.abs(name(i)), std::nullopt});
        return run.finish() ? 0 : 1;
      },
      after, delayUs);
}

bool inPlace(const TempTree& t, int i) {
  struct stat st;
  return ::lstat(t.abs(name(i)).constData(), &st) == 0 && t.read(name(i)) == shell(i);
}

}  // namespace

TEST(QuarantineKilled, EveryFileIsInPlaceOrInTheStoreAndComesBack) {
  QTemporaryDir data(platform::decodePath(privateDataHome.path()) + u"/quarantinekill-XXXXXX"_s);
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", QDir(data.path()).canonicalPath().toUtf8());
  QRandomGenerator random(20261209);
  int killed = 0;
  int mixed = 0;  // trials killed with files both in place and in the store
  for (int trial = 0; trial < 3; ++trial) {
    const std::string label = "trial " + std::to_string(trial);
    {
      clean::Store s;
      if (s.open(false) == 0) {
        for (const QByteArray& run : s.runs())
          (void)clean::removeRun(s.fd(), run);
      }
    }
    TempTree t;
    for (int i = 0; i < kFiles; ++i)
      t.write(name(i), shell(i));
    killed += quarantineKilled(t, int(random.bounded(kFiles - 100)), int(random.bounded(4000)));

    // 'o' in place, 'q' gone and in the store with its record, 'x' neither.
    clean::Store store;
    const std::vector<QByteArray> runs =
        store.open(false) == 0 ? store.runs() : std::vector<QByteArray>{};
    const auto run = runs.empty() ? std::nullopt : clean::readRun(store.fd(), runs.back());
    const std::vector<clean::FileRecord> records =
        run ? run->files : std::vector<clean::FileRecord>{};
    QByteArray states;
    for (int i = 0; i < kFiles; ++i) {
      struct stat st;
      if (::lstat(t.abs(name(i)).constData(), &st) == 0) {
        states += inPlace(t, i) ? 'o' : 'x';
        continue;
      }
      bool recorded = false;
      for (const clean::FileRecord& f : records)
        recorded = recorded ||
                   (f.path == t.abs(name(i)) && f.quarantine && !f.copy.isEmpty() &&
                    ::faccessat(store.fd(), (run->name + '/' + f.copy).constData(), R_OK, 0) == 0);
      states += recorded ? 'q' : 'x';
    }
    EXPECT_FALSE(states.contains('x')) << label << " " << states.constData();
    mixed += states.contains('o') && states.contains('q') ? 1 : 0;

    (void)clean::recoverInterrupted();
    QStringList leftovers;
    QDirIterator it(t.root(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      if (const QString p = it.next(); !p.endsWith(u".php"_s))
        leftovers.append(p);
    }
    EXPECT_EQ(leftovers, QStringList()) << label;

    QByteArray recovered;
    for (int i = 0; i < kFiles; ++i)
      recovered += inPlace(t, i) ? 'o' : 'q';
    if (!hostile::restoresLatestRun(recovered, label))
      continue;
    for (int i = 0; i < kFiles; ++i)
      ASSERT_TRUE(inPlace(t, i)) << label << " " << name(i).constData();
  }
  qputenv("XDG_DATA_HOME", saved);
  EXPECT_GE(killed, 2);
  EXPECT_GE(mixed, 1);
}
