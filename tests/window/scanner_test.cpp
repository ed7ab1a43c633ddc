#include <gtest/gtest.h>

#include "engine/messages.h"
#include "plainwindowstate.h"
#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "scanfixture.h"
#include "text/textops.h"
#include "window/cleaner.h"
#include "window/windowscan.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kInfected = "<html><IFRAME SRC=http://x.example/ width=0 height=0></iframe>";
const QString kSignature = u"  <iframe src=http://x.example/ width=0 height=0>  "_s;

class ScanTest : public ::testing::Test, public ScanFixture {
 protected:
  ScanTest() : ScanFixture(kSignature, u"*.ASP|*.PHP|*.JS"_s) {}
};

}  // namespace

TEST_F(ScanTest, EmptySignatureIsRefused) {
  w.Text3 = u"   "_s;
  w.Text1 = u"old"_s;
  w.FileTypes = QStringList{u"kept"_s};
  w.ScanFlag = false;
  t.write("a.asp", kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(w.messages, QStringList{msg::kNoSignature.toString()});
  EXPECT_TRUE(w.Text1.isEmpty());
  EXPECT_TRUE(w.ScanFlag);
  EXPECT_EQ(w.FileTypes, QStringList{u"kept"_s});
  EXPECT_TRUE(w.Text2.isEmpty());
  EXPECT_TRUE(w.resultItems.isEmpty());
}

TEST_F(ScanTest, InvalidLocationsAreRefused) {
  for (const QString& loc : {t.path("missing"), QString(), u"/nonexistent-drive: [X]"_s}) {
    w.messages.clear();
    w.Combo1 = loc;
    scanner.Command1_Click();
    EXPECT_EQ(w.messages, QStringList{msg::kInvalidPath.toString()}) << loc.toStdString();
    EXPECT_TRUE(w.Text1.isEmpty());
    EXPECT_TRUE(w.resultItems.isEmpty());
  }
}

TEST_F(ScanTest, WalkOrderFilesBeforeSubdirectoriesSorted) {
  t.write("b.asp", kInfected);
  t.write("A.asp", kInfected);
  t.write("sub/c.asp", kInfected);
  t.write("Sub2/d.php", kInfected);
  t.write("a0/e.js", kInfected);
  t.write("z.asp", "clean");
  scanner.Command1_Click();
  EXPECT_EQ(logged(),
            (QStringList{u"A.asp"_s, u"b.asp"_s, u"a0/e.js"_s, u"sub/c.asp"_s, u"Sub2/d.php"_s}));
  EXPECT_EQ(w.Text2, t.path("Sub2/d.php"));  // the last file visited stays shown
  EXPECT_TRUE(w.messages.isEmpty());
}

TEST_F(ScanTest, LocationFormsAllStartAtTheSameFolder) {
  t.write("www/a.asp", kInfected);
  const QString www = t.path("www");
  const QString before = platform::currentDirectory();
  for (const QString& loc : {www, www + u'/', www + u':', www + u": [DATA]"_s}) {
    w.Combo1 = loc;
    scanner.Command1_Click();
    EXPECT_EQ(w.Text1, www + u"/a.asp\r\n"_s) << loc.toStdString();
    // The validity test returns to the folder that was current: none is held.
    EXPECT_EQ(platform::currentDirectory(), before);
  }
  // A relative location is taken from the current directory.
  ASSERT_TRUE(platform::setCurrentDirectory(t.root()));
  w.Combo1 = u"www"_s;
  scanner.Command1_Click();
  EXPECT_EQ(w.Text1, www + u"/a.asp\r\n"_s);
}

TEST_F(ScanTest, FilterEntriesAreComparedWithThePathInLowerCase) {
  w.Combo2 = u"*.HTM|*.HTML"_s;
  t.write("x.html", kInfected);  // holds both entries: logged twice
  t.write("INDEX.HTM", kInfected);
  t.write("Site.Htm/readme.txt", kInfected);
  t.write("noext", kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(logged(),
            (QStringList{u"INDEX.HTM"_s, u"x.html"_s, u"x.html"_s, u"Site.Htm/readme.txt"_s}));
  // Every line reaches the results list.
  EXPECT_EQ(w.resultItems.size(), 4);
}

TEST_F(ScanTest, DefaultFilterFindsPagesNamedInCapitals) {
  // The ready-made filter "*.ASP|*.PHP|*.JS" shows capitals; so do many names.
  for (const char* name : {"INDEX.PHP", "Default.Asp", "MAIN.JS", "lower.php", "note.txt"})
    t.write(name, kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(logged(),
            (QStringList{u"Default.Asp"_s, u"INDEX.PHP"_s, u"lower.php"_s, u"MAIN.JS"_s}));
}

TEST_F(ScanTest, AllFilesTestsEveryFileAndStarDotStarEveryPathWithADot) {
  w.Combo2 = u"全部文件"_s;
  t.write("d/noext", kInfected);
  t.write("cgi-bin/run", kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(logged(), (QStringList{u"cgi-bin/run"_s, u"d/noext"_s}));
  // "*.*" keeps its meaning, the fragment ".": the temporary root's path holds
  // no dot of its own only by chance, and the files' paths hold one exactly
  // when their tree does.
  w.Combo2 = u"*.*"_s;
  scanner.Command1_Click();
  EXPECT_EQ(logged().size(), t.root().contains(u'.') ? 2 : 0);
  w.Combo2 = u"|*.zz||"_s;
  t.write("d/a.zz", kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(logged(), QStringList{u"d/a.zz"_s});
}

TEST_F(ScanTest, EmptyFilterShowsFilesButTestsNone) {
  w.Combo2 = QString();
  t.write("a.asp", kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(w.Text1, msg::kNoMatch);
  EXPECT_EQ(w.Text2, t.path("a.asp"));
}

TEST_F(ScanTest, SystemEntriesAreLeftOutAndDotEntriesWalked) {
  t.write(".hidden.asp", kInfected);
  t.write(".git/x.asp", kInfected);
  t.write("real/a.asp", kInfected);
  t.symlink(t.abs("real"), "linkdir");         // a link to a directory
  t.symlink(t.abs("real/a.asp"), "link.asp");  // a link to an infected file
  t.symlink(".", "real/loop");                 // a loop
  t.fifo("pipe.asp");                          // never opened: the scan does not block
  scanner.Command1_Click();
  // Nothing hides behind a dot: dot files and dot folders are tested like any other.
  EXPECT_EQ(logged(), (QStringList{u".hidden.asp"_s, u".git/x.asp"_s, u"real/a.asp"_s}));
}

TEST_F(ScanTest, NonUtf8NamesRoundTripThroughTheLog) {
  const QByteArray gbkName = "\xD6\xD0\xCE\xC4.asp";  // "中文.asp" in GBK
  t.write("dir\xFF/" + gbkName, kInfected);
  scanner.Command1_Click();
  const QStringList paths = text::split(w.Text1, text::kCrLf);
  ASSERT_EQ(paths.size(), 2);
  EXPECT_EQ(platform::bytesOfLine(paths[0]), t.abs("dir\xFF/" + gbkName));
  EXPECT_EQ(w.Text2, paths[0]);
  EXPECT_EQ(w.resultItems, QStringList{paths[0]});
}

TEST_F(ScanTest, UnreadableFilesAreSkippedAndToldInOneMessage) {
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  t.write("closed/c.asp", kInfected);
  t.chmod("a.asp", 0);
  t.chmod("closed", 0);
  const int rc = runUnprivileged([&] {
    PlainWindowState u;
    u.Text3 = kSignature;
    u.Combo2 = u"*.asp"_s;
    u.Combo1 = t.root();
    WindowScan s(u);
    s.Command1_Click();
    const QString told = msg::kUnreadable.toString().arg(2) + u"\r\n"_s + t.path("a.asp") +
                         u"\r\n"_s + t.path("closed/");
    return (u.Text1 == t.path("b.asp") + u"\r\n"_s && u.messages == QStringList{told}) ? 0 : 1;
  });
  t.chmod("closed", 0755);
  EXPECT_EQ(rc, 0);
}

TEST_F(ScanTest, StopDuringAListingFinishesItButWalksNoSubdirectory) {
  t.write("a.asp", kInfected);
  t.write("b.asp", kInfected);
  t.write("c.asp", kInfected);
  t.write("sub/d.asp", kInfected);
  // Yield 1 follows the start of the listing; then one per entry ("." and ".."
  // first). Stop at the yield for "a.asp".
  w.onYield = [](PlainWindowState& s) {
    if (s.yields == 4)
      s.ScanFlag = false;
  };
  scanner.Command1_Click();
  // The list says that it stopped and how far it came; the hand-off takes the
  // files without that line, and so does the clean.
  EXPECT_EQ(logged(), (QStringList{u"a.asp"_s, u"b.asp"_s, u"c.asp"_s,
                                   msg::kScanStoppedWithFinds.toString().arg(3).arg(3)}));
  EXPECT_FALSE(w.ScanFlag);
  EXPECT_EQ(w.resultItems.size(), 3);  // the hand-off still ran
  EXPECT_EQ(Cleaner::pathsToClean(w.Text1),
            (QStringList{t.path("a.asp"), t.path("b.asp"), t.path("c.asp")}));
}

TEST_F(ScanTest, StopBeforeAnythingWasFoundSaysTheScanStopped) {
  t.write("sub/a.asp", kInfected);
  w.onYield = [](PlainWindowState& s) { s.ScanFlag = false; };
  scanner.Command1_Click();
  // Not the no-match message: sub/ was never walked, so the site is not known clean.
  EXPECT_EQ(w.Text1, msg::kScanStopped);
  // A new scan sets the flag again.
  w.onYield = nullptr;
  scanner.Command1_Click();
  EXPECT_EQ(logged(), QStringList{u"sub/a.asp"_s});
}

TEST_F(ScanTest, ScanDuringAScanIsRefused) {
  t.write("a.asp", kInfected);
  t.write("sub/b.asp", kInfected);
  int nested = 0;
  w.onYield = [&](PlainWindowState& s) {
    if (s.yields == 6) {
      ++nested;
      w.Combo1 = u"/nonexistent"_s;  // would fail the validity test if it ran
      scanner.Command1_Click();
    }
  };
  scanner.Command1_Click();
  EXPECT_EQ(nested, 1);
  EXPECT_TRUE(w.messages.isEmpty());
  EXPECT_EQ(logged(), (QStringList{u"a.asp"_s, u"sub/b.asp"_s}));
}

TEST_F(ScanTest, HandOffAppendsAcrossScans) {
  t.write("one/a.asp", kInfected);
  t.write("one/b.asp", kInfected);
  t.write("one/c.asp", kInfected);
  t.write("two/d.asp", kInfected);
  t.write("two/e.asp", kInfected);
  w.Combo1 = t.path("one");
  scanner.Command1_Click();
  w.Combo1 = t.path("two");
  scanner.Command1_Click();
  EXPECT_EQ(w.resultItems,
            (QStringList{t.path("one/a.asp"), t.path("one/b.asp"), t.path("one/c.asp"),
                         t.path("two/d.asp"), t.path("two/e.asp")}));
  EXPECT_EQ(w.resultBox, t.path("one/a.asp"));  // item 0: the first scan's first file
  // A scan that finds nothing leaves the list alone.
  w.Combo1 = t.path("one");
  w.Text3 = u"absent"_s;
  scanner.Command1_Click();
  EXPECT_EQ(w.Text1, msg::kNoMatch);
  EXPECT_EQ(w.resultItems.size(), 5);
}

TEST_F(ScanTest, HandOffTakesCompleteLinesOnly) {
  w.Text1 = u"a\r\nb\r\nc"_s;  // the user typed into the box during the scan
  scanner.ToFRM2();
  EXPECT_EQ(w.resultItems, (QStringList{u"a"_s, u"b"_s}));
  EXPECT_EQ(w.resultBox, u"a"_s);
  EXPECT_EQ(w.Text1, u"a\r\nb\r\nc"_s);  // the log stays for the clean command
}

TEST_F(ScanTest, NoSixteenBitLimits) {
  // A log of more lines than a 16-bit counter holds.
  QString log;
  for (int i = 0; i < 40000; ++i)
    log += QString::number(i) + u"\r\n"_s;
  w.Text1 = log;
  scanner.ToFRM2();
  ASSERT_EQ(w.resultItems.size(), 40000);
  EXPECT_EQ(w.resultItems.last(), u"39999"_s);
  // A filter of more entries than a 16-bit counter holds; the last one matches.
  QStringList entries;
  for (int i = 0; i < 40000; ++i)
    entries.append(u"*.x"_s + QString::number(i));
  entries.append(u"*.asp"_s);
  w.Combo2 = entries.join(u'|');
  t.write("a.asp", kInfected);
  scanner.Command1_Click();
  EXPECT_EQ(logged(), QStringList{u"a.asp"_s});
}

TEST_F(ScanTest, AllDrivesWalksEachDriveOnceInListOrder) {
  t.write("d1/a.asp", kInfected);
  t.write("d1/inner/b.asp", kInfected);  // "inner" is a drive of its own as well
  t.write("d2/c.asp", kInfected);
  w.Drive1 = QStringList{t.path("d2") + u':', t.path("d1") + u": [WEB]"_s,
                         t.path("d1/inner") + u':', t.path("gone") + u':'};
  w.Combo1 = msg::kAllDrives.toString();
  scanner.Command1_Click();
  EXPECT_EQ(logged(), (QStringList{u"d2/c.asp"_s, u"d1/a.asp"_s, u"d1/inner/b.asp"_s}));
  EXPECT_TRUE(w.messages.isEmpty());  // drives get no validity test
}

TEST_F(ScanTest, StopDuringAllDrivesSkipsTheRemainingDrives) {
  t.write("d1/a.asp", kInfected);
  t.write("d2/b.asp", kInfected);
  w.Drive1 = QStringList{t.path("d1") + u':', t.path("d2") + u':'};
  w.Combo1 = msg::kAllDrives.toString();
  w.onYield = [](PlainWindowState& s) {
    if (s.yields == 1)
      s.ScanFlag = false;
  };
  scanner.Command1_Click();
  EXPECT_EQ(logged().first(), u"d1/a.asp"_s);
  EXPECT_EQ(logged().size(), 2);
}

// Scripts that hold the signature only in a reading not taken (the one the
// count did not take; the count's, behind a mark): the window names them after
// the results, and lists them nowhere.
TEST_F(ScanTest, TheOtherReadingIsToldAfterTheResults) {
  w.Text3 = u"eval(function(p,a,c,k,e,d)"_s;
  t.write("x.js",
          "/*\xFF\xFF*/\xE2\x80\xA8"
          "eval(function(p,a,c,k,e,d){}");
  t.write("y.js", "eval(function(p,a,c,k,e,d){}");
  // A byte-order mark in front of a payload its bytes' own reading holds.
  t.write("z.js",
          "\xFF\xFE"
          "eval(function(p,a,c,k,e,d){}");
  scanner.Command1_Click();
  ASSERT_EQ(w.resultItems.size(), 1);
  EXPECT_TRUE(w.resultItems[0].endsWith(u"/y.js"_s));
  ASSERT_FALSE(w.messages.isEmpty());
  const QString told = w.messages.last();
  EXPECT_TRUE(told.startsWith(msg::kOtherReading.toString().arg(2))) << told.toStdString();
  EXPECT_TRUE(told.contains(platform::lineOfPath(t.path("x.js")))) << told.toStdString();
  EXPECT_TRUE(told.contains(platform::lineOfPath(t.path("z.js")))) << told.toStdString();
}

// Pasted with the line break that ended it, the signature finds only the pages
// that hold the break too: the window says how many hold it without.
TEST_F(ScanTest, ASignatureEndingInALineBreakTellsTheNearMiss) {
  const QByteArray tag = "<iframe src=http://x.example/ width=0 height=0>";
  t.write("crlf.asp", "<p>" + tag + "\r\n</p>");
  t.write("lf.asp", tag + "\n");
  t.write("none.asp", tag + "</p>");
  t.write("other.asp", "<p>clean</p>");
  for (const QString& end : {u"\r\n"_s, u"\n"_s}) {
    w.messages.clear();
    w.Text3 = QString::fromUtf8(tag) + end;
    scanner.Command1_Click();
    // Its meaning stays: a line break matches any line break, and only those.
    EXPECT_EQ(scanner.totals().found, 2);
    EXPECT_EQ(w.messages, QStringList{msg::kNearMiss.toString().arg(3).arg(2)});
  }
  // As many hold it either way, or none has blanks at its ends: nothing to say.
  t.write("none.asp", "<p>clean</p>");
  w.messages.clear();
  scanner.Command1_Click();
  w.Text3 = QString::fromUtf8(tag);
  scanner.Command1_Click();
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').toStdString();
}

// The files that hold it without the line break are counted in the scan's own
// walk: the window yields as often as for the signature without it, on one
// thread or several. A stopped scan counted only some: it says nothing of them.
TEST_F(ScanTest, TheNearMissIsCountedInTheScansOwnWalk) {
  const QByteArray tag = "<iframe src=http://x.example/ width=0 height=0>";
  t.write("a.asp", tag + "\r\n");
  t.write("b.asp", tag);
  t.write("c.asp", tag);
  t.write("sub/d.asp", tag);
  for (int threads : {1, 3}) {
    w.threads = threads;
    w.Text3 = QString::fromUtf8(tag);
    w.yields = 0;
    scanner.Command1_Click();
    const qsizetype oneWalk = w.yields;
    w.Text3 += u"\r\n"_s;
    w.yields = 0;
    w.messages.clear();
    scanner.Command1_Click();
    EXPECT_EQ(w.yields, oneWalk) << threads;
    EXPECT_EQ(w.messages, QStringList{msg::kNearMiss.toString().arg(4).arg(1)}) << threads;
    w.messages.clear();
    w.yields = 0;
    w.onYield = [](PlainWindowState& s) {
      if (s.yields == 4)
        s.ScanFlag = false;
    };
    scanner.Command1_Click();
    w.onYield = nullptr;
    EXPECT_EQ(scanner.totals().found, 1) << threads;
    EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'|').toStdString();
  }
}
