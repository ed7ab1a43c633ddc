// The clean command over the results log: the guard, the cleaning log, the
// removal rules on real files, and a run that stops at a file.
#include "window/cleaner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <utility>
#include <vector>

#include "clean/failures.h"
#include "engine/messages.h"
#include "plainwindowstate.h"
#include "testsupport.h"
#include "window/windowstate.h"

using namespace Qt::StringLiterals;

namespace {

const QString kCrLf = QStringLiteral(u"\r\n");
const QString kDone = QStringLiteral(u"  清楚成功！");

// The window's sample signature: CR LF inside and at the end.
const QString kSample = QStringLiteral(
    u"<iframe src=\"http://bad.example.net/index.php\" width=0 \r\nheight=0></iframe>\r\n");

QString logOf(const QStringList& paths) {
  QString s;
  for (const QString& p : paths)
    s += p + kCrLf;
  return s;
}

QString cleaningLog(const QStringList& paths) {
  QString s;
  for (const QString& p : paths)
    s += p + kCrLf + kDone + kCrLf;
  return s;
}

// The files a clean left, as the log lists them below its entries: each failed
// line with its reason, then the lines not reached.
QString leftLog(const QList<std::pair<QString, QString>>& failed, const QStringList& notReached) {
  QString s = msg::kNotCleanedHeader.toString() + kCrLf;
  for (const auto& [line, reason] : failed)
    s += line + kCrLf + msg::kNotCleanedReason.toString() + reason + kCrLf;
  return s + logOf(notReached);
}

struct Fixture {
  TempTree t;
  PlainWindowState w;
  Cleaner c{w};
};

TEST(Clean, GuardLeavesEverythingAsItIs) {
  Fixture f;
  f.t.write("a.htm", "xabx");
  f.w.Text3 = QStringLiteral(u"ab");

  f.w.Text1 = QString();
  f.c.Command2_Click();
  EXPECT_TRUE(f.w.Text1.isEmpty());

  f.w.Text1 = msg::kNoMatch.toString();
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, msg::kNoMatch);
  EXPECT_TRUE(f.w.messages.isEmpty());
  EXPECT_EQ(f.t.read("a.htm"), "xabx");

  // The message compared as a whole: with a line end it is a path like any other.
  f.w.Text1 = msg::kNoMatch.toString() + kCrLf;
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, leftLog({{msg::kNoMatch.toString(), u"文件不存在。"_s}}, {}));
  ASSERT_EQ(f.w.failureQuestions.size(), 1);
  EXPECT_TRUE(f.w.failureQuestions[0].contains(msg::kNoMatch));
}

TEST(Clean, WritesTheCleaningLogAndCleansEveryFile) {
  Fixture f;
  f.t.write("www/a.htm", "<p>" + kSample.toUtf8() + "</p>");
  f.t.write("www/b.asp", kSample.toUtf8() + kSample.toUtf8());
  f.t.write("www/c.js", "nothing here");
  const QStringList paths = {f.t.path("www/a.htm"), f.t.path("www/b.asp"), f.t.path("www/c.js")};
  f.w.Text1 = logOf(paths);
  f.w.Text3 = QStringLiteral(u"  ") + kSample + QStringLiteral(u" ");

  f.c.Command2_Click();

  EXPECT_EQ(f.w.Text1, cleaningLog(paths));
  EXPECT_TRUE(f.w.messages.isEmpty());
  EXPECT_EQ(f.t.read("www/a.htm"), "<p></p>");
  EXPECT_EQ(f.t.read("www/b.asp"), "");
  EXPECT_EQ(f.t.read("www/c.js"), "nothing here");
}

TEST(Clean, OnlyPathsEndedByCrLfAreTaken) {
  Fixture f;
  f.t.write("a.htm", "ab");
  f.t.write("b.htm", "ab");
  f.w.Text3 = QStringLiteral(u"ab");

  // The last path has no line end: not processed, and gone from the box.
  f.w.Text1 = f.t.path("a.htm") + kCrLf + f.t.path("b.htm");
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, cleaningLog({f.t.path("a.htm")}));
  EXPECT_EQ(f.t.read("a.htm"), "");
  EXPECT_EQ(f.t.read("b.htm"), "ab");

  // No CR LF at all (LF alone does not count): nothing processed, box emptied.
  f.w.Text1 = f.t.path("b.htm") + QStringLiteral(u"\n");
  f.c.Command2_Click();
  EXPECT_TRUE(f.w.Text1.isEmpty());
  EXPECT_TRUE(f.w.messages.isEmpty());
  EXPECT_EQ(f.t.read("b.htm"), "ab");
}

TEST(Clean, RemovalRules) {
  Fixture f;
  f.t.write("overlap.htm", "ababab");
  f.t.write("join.htm", "aabb");
  f.w.Text3 = QStringLiteral(u"ab");
  f.w.Text1 = logOf({f.t.path("overlap.htm"), f.t.path("join.htm")});
  f.c.Command2_Click();
  EXPECT_EQ(f.t.read("overlap.htm"), "");  // ab, ab, ab
  EXPECT_EQ(f.t.read("join.htm"), "");     // the joined ab goes too: a rescan finds none

  f.t.write("overlap.htm", "ababab");
  f.w.Text3 = QStringLiteral(u"abab");
  f.w.Text1 = logOf({f.t.path("overlap.htm")});
  f.c.Command2_Click();
  EXPECT_EQ(f.t.read("overlap.htm"), "ab");
}

TEST(Clean, AnyLineEndMatchesAndLetterCaseNeedNot) {
  Fixture f;
  QString upper = kSample;
  upper.replace(QStringLiteral(u"iframe"), QStringLiteral(u"IFRAME"));
  QString bareLf = kSample;
  bareLf.replace(kCrLf, QStringLiteral(u"\n"));
  QString bareCr = kSample;
  bareCr.replace(kCrLf, QStringLiteral(u"\r"));
  f.t.write("upper.htm", upper.toUtf8());
  f.t.write("lf.htm", "<p>\n" + bareLf.toUtf8() + "</p>\n" + kSample.toUtf8());
  f.t.write("cr.htm", "<p>\r" + bareCr.toUpper().toUtf8() + "</p>\r");
  // The scan finds the upper-case one because it compares in lower case, and so
  // does the clean; the sample's CR LF takes the LF and CR line ends as well,
  // and only the bytes that matched go.
  f.w.Text3 = upper;
  f.w.Text1 = logOf({f.t.path("upper.htm"), f.t.path("lf.htm"), f.t.path("cr.htm")});
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1,
            cleaningLog({f.t.path("upper.htm"), f.t.path("lf.htm"), f.t.path("cr.htm")}));
  EXPECT_EQ(f.t.read("upper.htm"), "");
  EXPECT_EQ(f.t.read("lf.htm"), "<p>\n</p>\n");
  EXPECT_EQ(f.t.read("cr.htm"), "<p>\r</p>\r");
}

TEST(Clean, EmptySignatureRewritesUnchanged) {
  Fixture f;
  const QByteArray content("keep \xFF\x81 all\r\n", 14);
  f.t.write("a.htm", content);
  f.w.Text3 = QStringLiteral(u"   ");
  f.w.Text1 = logOf({f.t.path("a.htm")});
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, cleaningLog({f.t.path("a.htm")}));
  EXPECT_TRUE(f.w.messages.isEmpty());
  EXPECT_EQ(f.t.read("a.htm"), content);
}

TEST(Clean, PathListedTwiceIsCleanedAndLoggedTwice) {
  Fixture f;
  f.t.write("a.php", "x<iframe>y<iframe>z");
  f.w.Text3 = QStringLiteral(u"<IFRAME>");
  f.w.Text1 = logOf({f.t.path("a.php"), f.t.path("a.php")});
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, cleaningLog({f.t.path("a.php"), f.t.path("a.php")}));
  EXPECT_EQ(f.t.read("a.php"), "xyz");
}

// The same path on two lines, apart or together, within one batch or across:
// one rewrite (the file keeps the identity the first one gave it) and every
// line logged.
TEST(Clean, APathListedAgainIsRewrittenOnce) {
  Fixture f;
  f.t.write("a.php", "x<iframe>y");
  f.t.write("b.php", "<iframe>b");
  f.w.Text3 = QStringLiteral(u"<iframe>");
  const QStringList paths = {f.t.path("a.php"), f.t.path("b.php"), f.t.path("a.php"),
                             f.t.path("a.php")};
  f.c.setBatchSize(2);
  std::vector<platform::FileIdentity> identities;
  int calls = 0;
  f.c.onFile = [&](const QByteArray&, const clean::CleanResult& r) {
    ++calls;
    EXPECT_TRUE(r.ok());
    struct stat st {};
    ::stat(f.t.abs("a.php").constData(), &st);
    identities.push_back(platform::identityOf(st));
  };
  f.w.Text1 = logOf(paths);
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, cleaningLog(paths));
  EXPECT_TRUE(f.w.messages.isEmpty());
  EXPECT_EQ(f.t.read("a.php"), "xy");
  EXPECT_EQ(calls, 4);
  // Rewritten by the first line only: its identity stays from then on.
  ASSERT_EQ(identities.size(), 4u);
  EXPECT_EQ(identities[1], identities[0]);
  EXPECT_EQ(identities[3], identities[0]);
}

// Keeping going: a file that fails while its batch is committed leaves the files
// after it untouched for the moment; they are cleaned after it all the same,
// and the failure is named once, with no message.
TEST(Clean, KeepGoingCleansTheRestOfABatchThatFailed) {
  Fixture f;
  for (const char* name : {"a.php", "b.php", "c.php", "d.php"})
    f.t.write(name, QByteArray(name) + "<iframe>");
  const QByteArray failing = f.t.abs("b.php");
  f.c.options().fault = [failing](clean::Step step, const QByteArray& path) {
    return step == clean::Step::Replace && path == failing ? EIO : 0;
  };
  f.c.setKeepGoing(true);
  f.w.Text3 = QStringLiteral(u"<iframe>");
  f.w.Text1 = logOf({f.t.path("a.php"), f.t.path("b.php"), f.t.path("c.php"), f.t.path("d.php"),
                     f.t.path("b.php")});
  f.c.Command2_Click();
  EXPECT_TRUE(f.w.messages.isEmpty()) << f.w.messages.join(u'\n').toStdString();
  EXPECT_EQ(f.t.read("a.php"), "a.php");
  EXPECT_EQ(f.t.read("b.php"), "b.php<iframe>");
  EXPECT_EQ(f.t.read("c.php"), "c.php");
  EXPECT_EQ(f.t.read("d.php"), "d.php");
  EXPECT_EQ(f.w.Text1, cleaningLog({f.t.path("a.php"), f.t.path("c.php"), f.t.path("d.php")}) +
                           leftLog({{f.t.path("b.php"), u"读写磁盘时出错。"_s},
                                    {f.t.path("b.php"), u"读写磁盘时出错。"_s}},
                                   {}));
  EXPECT_TRUE(f.w.failureQuestions.isEmpty());
  ASSERT_EQ(f.c.failures().size(), 1u);
  EXPECT_EQ(f.c.failures()[0].path, failing);

  // Without it, the run stops at that file, as the window does.
  Fixture g;
  for (const char* name : {"a.php", "b.php", "c.php"})
    g.t.write(name, QByteArray(name) + "<iframe>");
  const QByteArray stopping = g.t.abs("b.php");
  g.c.options().fault = [stopping](clean::Step step, const QByteArray& path) {
    return step == clean::Step::Replace && path == stopping ? EIO : 0;
  };
  g.w.Text3 = QStringLiteral(u"<iframe>");
  g.w.Text1 = logOf({g.t.path("a.php"), g.t.path("b.php"), g.t.path("c.php")});
  g.c.Command2_Click();
  EXPECT_EQ(g.w.failureQuestions.size(), 1);
  EXPECT_EQ(g.t.read("c.php"), "c.php<iframe>");
  EXPECT_TRUE(g.c.failures().empty());
}

TEST(Clean, GbkContentAndNamesThatAreNotUtf8) {
  Fixture f;
  // "网马" in GBK inside GBK text, in a file whose name is GBK bytes as well.
  const QByteArray name("\xCD\xF8\xD2\xB3.htm");  // 网页.htm
  f.t.write(name, "\xD6\xD0\xCD\xF8\xC2\xED\xCE\xC4\xFF");
  f.w.Text3 = QStringLiteral(u"网马");
  f.w.Text1 = logOf({f.t.path(name)});
  f.c.Command2_Click();
  // The cleaning log shows the name as the scan does: GBK text, marked and quoted.
  EXPECT_EQ(f.w.Text1,
            cleaningLog({QStringLiteral(u"\"") + f.t.root() + QStringLiteral(u"/\\g网页.htm\"")}));
  EXPECT_EQ(f.t.read(name), "\xD6\xD0\xCE\xC4\xFF");  // 中文 and the stray byte
  // The temporary tree cannot remove a name that is not UTF-8 by itself.
  ::unlink(f.t.abs(name).constData());
}

// A file it cannot clean loses nothing: "停止" leaves it and the files after it
// listed below the log, "跳过" and "全部跳过" go on; a second Clean takes exactly
// the files left once their cause is gone.
TEST(Clean, FilesNotCleanedStayListedForTheNextClean) {
  using Choice = WindowState::FailureChoice;
  Fixture f;
  for (const char* name : {"1.htm", "2.htm", "3.htm", "4.htm", "5.htm"})
    f.t.write(name, QByteArray(name).left(1) + "ab");
  f.t.chmod("2.htm", 0444);
  f.w.Text3 = QStringLiteral(u"ab");
  const QStringList all = {f.t.path("1.htm"), f.t.path("2.htm"), f.t.path("3.htm"),
                           f.t.path("4.htm"), f.t.path("5.htm")};
  f.w.Text1 = logOf(all);
  f.c.Command2_Click();  // no answer: "停止", the default
  EXPECT_EQ(f.w.Text1, cleaningLog({all[0]}) +
                           leftLog({{all[1], u"文件是只读的。"_s}}, {all[2], all[3], all[4]}));
  EXPECT_EQ(f.t.read("3.htm"), "3ab");
  EXPECT_EQ(f.c.lastClean().cleaned, 1);
  EXPECT_EQ(f.c.lastClean().failed, 1);
  EXPECT_EQ(f.c.lastClean().notReached, 3);
  ASSERT_EQ(f.w.failureQuestions.size(), 1);
  const QString& m = f.w.failureQuestions[0];
  EXPECT_TRUE(m.contains(QStringLiteral(u"文件：") + all[1] + kCrLf)) << m.toStdString();
  EXPECT_TRUE(m.contains(QStringLiteral(u"原因：文件是只读的。"))) << m.toStdString();

  // "跳过" the read-only file; a file deleted since and a full disk are skipped
  // with "全部跳过", asked once.
  ASSERT_EQ(::unlink(f.t.abs("4.htm").constData()), 0);
  const QByteArray full = f.t.abs("5.htm");
  f.c.options().fault = [full](clean::Step step, const QByteArray& path) {
    return step == clean::Step::WriteTemp && path == full ? ENOSPC : 0;
  };
  f.w.failureAnswers = {Choice::Skip, Choice::SkipAll};
  f.c.Command2_Click();
  EXPECT_EQ(f.w.failureQuestions.size(), 3);
  EXPECT_EQ(f.w.Text1, cleaningLog({all[2]}) + leftLog({{all[1], u"文件是只读的。"_s},
                                                        {all[3], u"文件不存在。"_s},
                                                        {all[4], u"磁盘空间不足。"_s}},
                                                       {}));
  EXPECT_EQ(f.c.lastClean().failed, 3);
  EXPECT_EQ(f.c.lastClean().notReached, 0);

  // The causes gone, the next Clean takes those three and nothing else.
  f.t.chmod("2.htm", 0644);
  f.t.write("4.htm", "4ab");
  f.c.options().fault = nullptr;
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, cleaningLog({all[1], all[3], all[4]}));
  for (const char* name : {"1.htm", "2.htm", "3.htm", "4.htm", "5.htm"})
    EXPECT_EQ(f.t.read(name), QByteArray(name).left(1)) << name;
  // A log with nothing left names nothing to clean.
  EXPECT_FALSE(Cleaner::pathsToClean(f.w.Text1));
}

TEST(Clean, BadPathsEndTheRunWithoutCreatingFiles) {
  Fixture f;
  f.t.write("a.htm", "ab");
  f.t.write("b.htm", "ab");
  f.w.Text3 = QStringLiteral(u"ab");

  // An empty line of the log.
  f.w.Text1 = f.t.path("a.htm") + kCrLf + kCrLf + f.t.path("b.htm") + kCrLf;
  f.c.Command2_Click();
  EXPECT_EQ(f.w.Text1, cleaningLog({f.t.path("a.htm")}) +
                           leftLog({{QString(), u"路径是空的。"_s}}, {f.t.path("b.htm")}));
  EXPECT_EQ(f.t.read("b.htm"), "ab");
  ASSERT_EQ(f.w.failureQuestions.size(), 1);
  EXPECT_TRUE(f.w.failureQuestions[0].contains(QStringLiteral(u"原因：路径是空的。")));

  // A cleaning log is no list: its result lines, which would name a file
  // "  清楚成功！" in the current directory, are not taken as paths.
  char old[4096];
  ASSERT_TRUE(::getcwd(old, sizeof old));
  ASSERT_EQ(::chdir(f.t.rootBytes().constData()), 0);
  f.w.Text1 = cleaningLog({f.t.path("b.htm")});
  f.c.Command2_Click();
  ASSERT_EQ(::chdir(old), 0);
  EXPECT_EQ(f.w.Text1, cleaningLog({f.t.path("b.htm")}));
  EXPECT_EQ(f.t.read("b.htm"), "ab");
  EXPECT_EQ(f.w.failureQuestions.size(), 1);
  EXPECT_FALSE(QFile::exists(f.t.root() + QStringLiteral(u"/") + kDone));
}

TEST(Clean, MessageTellsWhatBecameOfTheFile) {
  clean::Failure f;
  f.reason = clean::Reason::System;
  f.error = ENOSPC;
  const QString path = QStringLiteral(u"/srv/www/网页.htm");
  EXPECT_EQ(
      clean::failureMessage(path, f),
      QStringLiteral(u"清除网马时出错，已停止清除。\r\n文件：/srv/www/网页.htm\r\n"
                     u"原因：磁盘空间不足。\r\n这个文件没有改动，列表中它后面的文件也没有处理。"));
  f.outcome = clean::Outcome::Damaged;
  f.backup = QByteArray("/srv/www/.tervane-0123456789abcdef");
  EXPECT_TRUE(clean::failureMessage(path, f).endsWith(
      QStringLiteral(u"它原来的内容保存在：/srv/www/.tervane-0123456789abcdef")));
  f.outcome = clean::Outcome::ReplacedUnsynced;
  EXPECT_TRUE(clean::failureMessage(path, f).contains(QStringLiteral(u"已经清除")));
}

}  // namespace
