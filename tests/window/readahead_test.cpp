// Reading ahead on worker threads changes nothing the user sees of a scan: the
// walk, its yields, the current-file line, where Stop ends the walk and the log
// are those of the one-thread walk.
#include <gtest/gtest.h>

#include <QStringList>

#include <climits>

#include "plainwindowstate.h"
#include "scanfixture.h"
#include "window/windowscan.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kInfected = "<p>x</p><IFRAME SRC=x.example width=0>\r\n";

// Folders of various sizes, nested, with infected files spread through them, a
// large infected file that later small files overtake, files counted twice by
// two filter entries, and folders with no file in scope.
void makeTree(const TempTree& t) {
  t.write("a/big.php", QByteArray(1 << 20, 'a') + kInfected);
  for (int d = 0; d < 12; ++d) {
    const QByteArray dir = "a/d" + QByteArray::number(d) + (d % 4 == 1 ? ".php/" : "/");
    for (int f = 0; f < 3 + d * 7; ++f) {
      const QByteArray name = dir + "f" + QByteArray::number(f) + (f % 5 ? ".php" : ".asp.js");
      t.write(name, (f + d) % 3 == 0 ? "x\r\n" + kInfected : "clean\r\n");
    }
    t.write(dir + "sub/deeper/only.php", kInfected);
    t.write(dir + "sub/readme.txt", kInfected);  // out of scope
  }
  for (int f = 0; f < 40; ++f)
    t.write("b/" + QByteArray::number(f) + ".js", f % 2 ? kInfected : "clean");
}

// What the user sees of one scan.
struct Seen {
  QString log;
  QStringList shown;  // the current-file line, every file in turn
  qsizetype yields = 0;
  // At each yield: the current-file line and how much of the log is there.
  QStringList atYields;
  QStringList scanned;
  bool operator==(const Seen&) const = default;
};

// Scans the tree; with `stopAfter`, Stop is clicked at the first yield after the
// walk showed that many files.
Seen scanTree(const TempTree& t, int threads, bool readAhead, qsizetype stopAfter = LLONG_MAX) {
  ScanState w;
  w.threads = threads;
  w.Text3 = u"<iframe src=x.example width=0>\r\n"_s;
  w.Combo2 = u"*.ASP|*.PHP|*.JS"_s;
  w.Combo1 = t.root();
  QStringList atYields;
  w.onYield = [&w, &atYields, stopAfter](PlainWindowState& s) {
    atYields.append(s.Text2 + u'|' + QString::number(s.Text1.size()));
    if (w.shown.size() >= stopAfter)
      s.ScanFlag = false;
  };
  WindowScan scanner(w);
  scanner.readAheadAlways() = readAhead;
  scanner.Command1_Click();
  EXPECT_EQ(::chdir("/"), 0);
  Seen seen{w.Text1, w.shown, w.yields, atYields, w.scannedFiles.keys()};
  seen.scanned.sort();
  return seen;
}

}  // namespace

TEST(ReadAhead, StopAtAChosenFileGivesTheOneThreadLog) {
  TempTree t;
  makeTree(t);
  const Seen whole = scanTree(t, 1, false);
  ASSERT_GT(whole.shown.size(), 500);
  ASSERT_GT(whole.log.count(u"\r\n"_s), 150);
  // Stops in the first listing, on a folder's first and last file, in the
  // middle of large folders, and after the last file.
  for (qsizetype n :
       {qsizetype(1), qsizetype(2), qsizetype(4), qsizetype(37), qsizetype(38), qsizetype(120),
        qsizetype(301), qsizetype(whole.shown.size() - 3), whole.shown.size()}) {
    const Seen today = scanTree(t, 1, false, n);
    ASSERT_LT(today.shown.size(), whole.shown.size() + 1);
    for (int threads : {2, 4}) {
      const Seen ahead = scanTree(t, threads, true, n);
      EXPECT_EQ(ahead.log, today.log) << "stop after " << n << ", " << threads << " threads";
      EXPECT_EQ(ahead.shown, today.shown) << n;
      EXPECT_EQ(ahead.yields, today.yields) << n;
      EXPECT_EQ(ahead.atYields, today.atYields) << n;
      EXPECT_EQ(ahead.scanned, today.scanned) << n;
    }
  }
  // Stop cuts the walk short: a stop early on logs less than the whole scan.
  EXPECT_LT(scanTree(t, 4, true, 38).log.size(), whole.log.size());
}

TEST(ReadAhead, WholeScanGivesTheOneThreadLog) {
  TempTree t;
  makeTree(t);
  const Seen today = scanTree(t, 1, false);
  for (int threads : {2, 3, 8}) {
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(scanTree(t, threads, true), today) << threads;
      // Without forcing it, as on a hot cache.
      EXPECT_EQ(scanTree(t, threads, false), today) << threads;
    }
  }
}
