// A clean of a plain log of 2,000 files while an intruder, who may write the web
// root, keeps swapping its folders for links to folders outside it that hold
// the same names: nothing outside is ever written, every file the clean calls
// cleaned is clean, and every other file is reported failed and left as it was.
#include <sched.h>
#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <atomic>
#include <thread>

#include "hostile.h"
#include "inprocess.h"
#include "platform/pathjson.h"

using namespace Qt::StringLiterals;

namespace {

using hostile::kCleaned;
using hostile::kInfected;
const QString kSig = hostile::kSignature;
constexpr int kFolders = 20;
constexpr int kFilesEach = 100;

QByteArray folderName(int i) {
  return "f" + QByteArray::number(i);
}

struct RaceRound {
  int swaps = 0;
  int runs = 0;
  QSet<QByteArray> cleaned;
  QSet<QByteArray> failed;
};

// One round on a fresh tree; the safety checks hold in every round, whether a
// file met a link or not.
void raceOnce(RaceRound& round) {
  TempTree t;
  QList<QByteArray> paths;
  for (int i = 0; i < kFolders; ++i) {
    for (int j = 0; j < kFilesEach; ++j) {
      const QByteArray name = folderName(i) + "/x" + QByteArray::number(j) + ".php";
      t.write("tree/" + name, kInfected);
      t.write("outside/" + name, kInfected);
      paths.append(t.abs("tree/" + name));
    }
  }
  t.chmod("tree", 0777);  // the intruder's web root

  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    for (int i = 0; !stop.load(); i = (i + 1) % kFolders) {
      const QByteArray real = t.abs("tree/" + folderName(i));
      const QByteArray hidden = real + ".real";
      const QByteArray outside = "../outside/" + folderName(i);
      if (::rename(real.constData(), hidden.constData()) != 0)
        continue;
      if (::symlink(outside.constData(), real.constData()) == 0) {
        ++swaps;
        for (int k = 0; k < 20; ++k)
          sched_yield();
        ::unlink(real.constData());
      }
      ::rename(hidden.constData(), real.constData());
      sched_yield();
    }
  });

  // Each run stops at the first file that fails; the next one goes on behind it.
  QSet<QByteArray>& cleaned = round.cleaned;
  QSet<QByteArray>& failed = round.failed;
  qsizetype next = 0;
  while (next < paths.size() && round.runs < 4 * paths.size()) {
    ++round.runs;
    QByteArray log;
    for (qsizetype i = next; i < paths.size(); ++i)
      log += paths[i] + '\n';
    t.write("log", log);
    const inprocess::CliRun run = inprocess::runCli(
        {u"clean"_s, u"--json"_s, u"--no-backup"_s, u"--signature"_s, kSig, t.path("log")});
    qsizetype reported = 0;
    bool anyFailed = false;
    for (const QByteArray& line : run.out.split('\n')) {
      const QJsonObject o = QJsonDocument::fromJson(line).object();
      const auto path = platform::takePath(o);
      if (!path)
        continue;
      ++reported;
      const bool ok = o.value(u"outcome"_s).toString() == u"cleaned"_s;
      anyFailed = anyFailed || !ok;
      (ok ? cleaned : failed).insert(*path);
    }
    // The last file of the list may be the one that fails.
    EXPECT_EQ(run.status, reported == paths.size() - next && !anyFailed ? cli::kOk : cli::kError);
    next += std::max<qsizetype>(reported, 1);
  }
  stop = true;
  swapper.join();
  round.swaps = swaps.load();
  ASSERT_EQ(next, paths.size());

  for (int i = 0; i < kFolders; ++i) {
    for (int j = 0; j < kFilesEach; ++j) {
      const QByteArray name = folderName(i) + "/x" + QByteArray::number(j) + ".php";
      SCOPED_TRACE(name.toStdString());
      ASSERT_EQ(t.read("outside/" + name), kInfected);
      const QByteArray path = t.abs("tree/" + name);
      ASSERT_TRUE(cleaned.contains(path) != failed.contains(path));
      ASSERT_EQ(t.read("tree/" + name), cleaned.contains(path) ? kCleaned : kInfected);
    }
  }
  // Nothing new outside either (no temporary file left, nothing created).
  for (int i = 0; i < kFolders; ++i) {
    EXPECT_EQ(QDir(t.path("outside/" + folderName(i)))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                  .size(),
              kFilesEach);
  }
}

TEST(PathLinkRace, ASwapperNeverGetsAWriteOutsideAndNothingIsCalledCleanedFalsely) {
  // Whether a file meets a link in a round is up to the scheduler; the check
  // only counts once one has, so each round is repeated on a fresh tree until
  // one shows both outcomes, within a bound no loaded machine should reach.
  constexpr int kMostRounds = 12;
  RaceRound round;
  int rounds = 0;
  while (rounds < kMostRounds) {
    ++rounds;
    round = RaceRound{};
    raceOnce(round);
    if (HasFailure())
      return;
    std::printf("round %d: %d swaps, %lld cleaned, %lld failed, %d runs\n", rounds, round.swaps,
                qlonglong(round.cleaned.size()), qlonglong(round.failed.size()), round.runs);
    if (!round.failed.isEmpty() && !round.cleaned.isEmpty())
      break;
  }
  // The race was run: links were in place, and some files met one.
  EXPECT_GT(round.swaps, 0);
  EXPECT_GT(round.failed.size(), 0) << "no file met a link in " << rounds << " rounds";
  EXPECT_GT(round.cleaned.size(), 0);
}

}  // namespace
