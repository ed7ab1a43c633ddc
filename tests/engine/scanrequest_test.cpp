// The scan with no window: a request in, what the scan tells to its listener out,
// in walk order and the same on one thread or several; refusals and a stop.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <vector>

#include "engine/messages.h"
#include "engine/scanner.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kInfected = "<p><IFRAME width=0></iframe>";

// Everything the scan tells, as lines, in order.
class Recorder : public ScanListener {
 public:
  QStringList heard;
  int stopAfterVisits = -1;  // asks to stop once this many files were visited
  int visits = 0;

  void note(const QString& text) override { heard.append(u"note "_s + text); }
  void starting() override { heard.append(u"starting"_s); }
  void refused(const QString& message) override { heard.append(u"refused "_s + message); }
  void walking(const QStringList& fileTypes) override {
    heard.append(u"walking "_s + fileTypes.join(u'|'));
  }
  void visiting(const QString&) override { ++visits; }
  void found(const ScanFound& file) override {
    heard.append(u"found %1 x%2"_s.arg(file.path).arg(file.times));
  }
  void unreadable(const QString& path, int) override { heard.append(u"unreadable "_s + path); }
  bool stopRequested() const override { return stopAfterVisits >= 0 && visits >= stopAfterVisits; }
};

ScanRequest requestFor(const TempTree& t, int threads = 1) {
  ScanRequest r;
  r.signature = u"<iframe width=0>"_s;
  r.location = t.path("www");
  r.filter = u"*.PHP|*.JS|.php"_s;
  r.threads = threads;
  return r;
}

TEST(ScanRequestTest, TellsEachFileFoundOnceWithItsLinesInWalkOrder) {
  TempTree t;
  t.write("www/b.php", kInfected);
  t.write("www/a.js", kInfected);
  t.write("www/clean.php", "<p>");
  t.write("www/sub/c.php", kInfected);
  t.write("www/sub/d.txt", kInfected);
  for (int threads : {1, 3}) {
    Recorder r;
    Scanner scanner(r);
    ASSERT_TRUE(scanner.scan(requestFor(t, threads)));
    const QString www = t.path("www") + u'/';
    EXPECT_EQ(
        r.heard,
        (QStringList{u"starting"_s, u"walking .php|.js|.php"_s, u"found "_s + www + u"a.js x1"_s,
                     u"found "_s + www + u"b.php x2"_s, u"found "_s + www + u"sub/c.php x2"_s}))
        << threads;
    EXPECT_EQ(r.visits, 5);
    EXPECT_EQ(scanner.totals().found, 3);
    EXPECT_EQ(scanner.totals().tested, 4);
  }
}

TEST(ScanRequestTest, RefusalsAreToldAndNothingIsWalked) {
  TempTree t;
  t.write("www/a.php", kInfected);
  {
    Recorder r;
    ScanRequest request = requestFor(t);
    request.signature.clear();
    EXPECT_FALSE(Scanner(r).scan(request));
    EXPECT_EQ(r.heard, (QStringList{u"starting"_s, u"refused "_s + msg::kNoSignature.toString()}));
    EXPECT_EQ(r.visits, 0);
  }
  Recorder r;
  ScanRequest request = requestFor(t);
  request.location = t.path("missing");
  EXPECT_FALSE(Scanner(r).scan(request));
  EXPECT_EQ(r.heard.last(), u"refused "_s + msg::kInvalidPath.toString());
  EXPECT_EQ(r.visits, 0);
}

// After a stop the walk finishes the listing it is in and enters no folder.
TEST(ScanRequestTest, AStopEndsTheWalkAtTheEndOfItsListing) {
  TempTree t;
  t.write("www/a.php", kInfected);
  t.write("www/b.php", kInfected);
  t.write("www/sub/c.php", kInfected);
  for (int threads : {1, 3}) {
    Recorder r;
    r.stopAfterVisits = 1;
    Scanner scanner(r);
    ASSERT_TRUE(scanner.scan(requestFor(t, threads)));
    EXPECT_EQ(r.heard.filter(u"found"_s).size(), 2) << r.heard.join(u'\n').toStdString();
    EXPECT_EQ(r.visits, 2) << threads;
  }
}

// A signature with a line break at its end: the walk that finds it also counts
// the files that hold it without, on one thread or several; a stopped or
// refused scan, or a signature without blanks at its ends, counts nothing.
TEST(ScanRequestTest, TheFilesHoldingItWithoutEdgeBlanksAreCountedInTheSameWalk) {
  TempTree t;
  t.write("www/crlf.php", "<iframe width=0>\r\n");
  t.write("www/lf.php", "x<iframe width=0>\n");
  t.write("www/bare.php", "<iframe width=0></p>");
  t.write("www/clean.php", "<p>");
  t.write("www/sub/bare.js", "<IFRAME width=0>");
  t.write("www/sub/bare.txt", "<iframe width=0>");  // out of the filter's scope
  for (int threads : {1, 3}) {
    Recorder r;
    Scanner scanner(r);
    ScanRequest request = requestFor(t, threads);
    request.signature += u"\r\n"_s;
    ASSERT_TRUE(scanner.scan(request));
    EXPECT_EQ(scanner.totals().found, 2) << threads;
    EXPECT_EQ(scanner.holdingWithoutEdgeBlanks(), 4) << threads;
    EXPECT_EQ(scanner.totals().tested, 5) << threads;  // each file read once

    request.location = t.path("missing");
    EXPECT_FALSE(scanner.scan(request));
    EXPECT_EQ(scanner.holdingWithoutEdgeBlanks(), std::nullopt);
    r.visits = 0;
    r.stopAfterVisits = 1;  // sub/ is left unwalked
    request.location = t.path("www");
    ASSERT_TRUE(scanner.scan(request));
    EXPECT_EQ(scanner.holdingWithoutEdgeBlanks(), std::nullopt) << threads;
    r.stopAfterVisits = -1;
    ASSERT_TRUE(scanner.scan(requestFor(t, threads)));
    EXPECT_EQ(scanner.holdingWithoutEdgeBlanks(), std::nullopt);
  }
}

}  // namespace
