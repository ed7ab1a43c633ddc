// A scan on several threads logs exactly what the one-thread walk logs, in the
// same order, with the same yields and the same stop behaviour.
#include <gtest/gtest.h>

#include "engine/messages.h"
#include "plainwindowstate.h"
#include "scanfixture.h"
#include "window/windowscan.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kInfected = "<p>\xD6\xD0</p><IFRAME SRC=x.example width=0>\r\n";

// A tree whose log depends on walk order: infected and clean files in nested
// folders, files counted twice by two filter entries, a large infected file
// early on (so later small files finish first), unreadable and special entries.
void makeTree(const TempTree& t) {
  t.write("0big.php", QByteArray(3 * 1024 * 1024, 'a') + kInfected);
  for (int d = 0; d < 6; ++d) {
    for (int f = 0; f < 40; ++f) {
      const QByteArray dir = "d" + QByteArray::number(d) + (d % 2 ? ".php/" : "/");
      const QByteArray name = dir + "f" + QByteArray::number(f) + (f % 3 ? ".js" : ".asp.js");
      QByteArray content = "var x = 1;\r\n";
      if ((f * 7 + d) % 5 == 0)
        content += kInfected;
      else if (f % 4 == 0)
        content += "\xB0<iframe src=x.example width=0>\n";  // LF: not the signature
      t.write(name, content);
    }
    t.write("d" + QByteArray::number(d) + "/sub/\xB2\xE2.asp", kInfected);  // not UTF-8
  }
  t.write("locked.asp", kInfected);
  t.chmod("locked.asp", 0);
  t.symlink(t.abs("0big.php"), "link.php");
  t.fifo("pipe.php");
}

QString scanLog(const TempTree& t, int threads, int stopAtYield = -1) {
  ScanState w;
  w.threads = threads;
  w.Text3 = u"<iframe src=x.example width=0>\r\n"_s;
  w.Combo2 = u"*.ASP|*.PHP|*.JS"_s;
  w.Combo1 = t.root();
  if (stopAtYield >= 0) {
    w.onYield = [stopAtYield](PlainWindowState& s) {
      if (s.yields == stopAtYield)
        s.ScanFlag = false;
    };
  }
  WindowScan scanner(w);
  scanner.Command1_Click();
  // The scan made the tree the current directory; the tree goes with the caller.
  EXPECT_EQ(::chdir("/"), 0);
  return w.Text1;
}

}  // namespace

TEST(ScanThreads, SameLogInWalkOrderWhateverTheThreads) {
  TempTree t;
  makeTree(t);
  // Unprivileged, so that the locked file is really unreadable.
  const int rc = runUnprivileged([&] {
    const QString one = scanLog(t, 1);
    if (!one.startsWith(t.root() + u"/0big.php\r\n"_s))
      return 10;
    if (one.count(u"\r\n"_s) < 30)
      return 11;
    if (one.contains(u"locked"_s) || one.contains(u"link"_s) || one.contains(u"pipe"_s))
      return 12;
    for (int threads : {2, 3, 8}) {
      for (int round = 0; round < 3; ++round) {
        if (scanLog(t, threads) != one)
          return 20 + threads;
      }
    }
    return 0;
  });
  EXPECT_EQ(rc, 0);
  t.chmod("locked.asp", 0644);
}

TEST(ScanThreads, StopEndsTheWalkAtTheSamePlace) {
  TempTree t;
  makeTree(t);
  for (int stopAt : {1, 3, 50, 200}) {
    const QString one = scanLog(t, 1, stopAt);
    EXPECT_EQ(scanLog(t, 2, stopAt), one) << stopAt;
    EXPECT_EQ(scanLog(t, 4, stopAt), one) << stopAt;
  }
  // Stopped right after the first listing: the root's own files only.
  const QString rootOnly = scanLog(t, 2, 1);
  EXPECT_TRUE(rootOnly.startsWith(t.root() + u"/0big.php\r\n"_s));
  EXPECT_FALSE(rootOnly.contains(t.root() + u"/d"_s));
  t.chmod("locked.asp", 0644);
}

TEST(ScanThreads, RefusedLocationAndNothingFound) {
  TempTree t;
  ScanState w;
  w.threads = 4;
  w.Text3 = u"zzz"_s;
  w.Combo2 = u"*.ASP|*.PHP|*.JS"_s;
  w.Combo1 = t.path("missing");
  WindowScan scanner(w);
  scanner.Command1_Click();
  EXPECT_EQ(w.messages, QStringList{u"该目录不是有效路径"_s});
  EXPECT_TRUE(w.Text1.isEmpty());
  t.write("a.php", "nothing");
  w.Combo1 = t.root();
  scanner.Command1_Click();
  EXPECT_EQ(w.Text1, msg::kNoMatch.toString());
  EXPECT_EQ(::chdir("/"), 0);
}

TEST(ScanThreads, ManyFilesInOneFolderAndManySmallFoldersKeepTheirOrder) {
  // More files than the threads are allowed to hold at once, in one folder (so
  // they are handed out many at a time) and in folders of one or two files.
  TempTree t;
  for (int i = 0; i < 2500; ++i) {
    const QByteArray n = QByteArray::number(i).rightJustified(4, '0');
    t.write("big/" + n + ".js", i % 7 == 0 || i % 97 == 5 ? kInfected : "clean");
  }
  for (int i = 0; i < 700; ++i) {
    const QByteArray d = "small/" + QByteArray::number(i).rightJustified(3, '0');
    t.write(d + "/a.php", i % 3 == 0 ? kInfected : "clean");
    if (i % 2)
      t.write(d + "/b.asp", kInfected);
  }
  const QString one = scanLog(t, 1);
  EXPECT_EQ(one.count(u"\r\n"_s), 381 + 234 + 350);
  for (int threads : {2, 3, 5})
    EXPECT_EQ(scanLog(t, threads), one) << threads;
}
