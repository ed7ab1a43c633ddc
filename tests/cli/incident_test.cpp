// tervane-cli report, run in-process on reports written here: the totals, the
// first and last change times and the folders most hit, read back from the
// page; hostile names shown as text; lines that are not JSON refused; several
// servers joined.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "inprocess.h"

using namespace Qt::StringLiterals;

namespace {

QByteArray detection(const QByteArray& path, int occurrences, const QByteArray& ctime,
                     const QByteArray& extra = {}) {
  return R"({"type":"detection","path":")" + path + R"(","occurrences":)" +
         QByteArray::number(occurrences) +
         R"(,"size":120,"mtime":"2020-01-01T00:00:00.000000000Z","ctime":")" + ctime +
         R"(","uid":33,"gid":33,"device":1,"inode":2)" + extra + "}\n";
}

class Reports {
 public:
  // Writes `content` as `name` below the folder; returns its path.
  QString write(const QString& name, const QByteArray& content) {
    const QString path = dir_.filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
      throw std::runtime_error("cannot write a report");
    return path;
  }

 private:
  QTemporaryDir dir_;
};

// The text of the element with `id`, as the page holds it.
QString byId(const QString& page, const QString& id) {
  const QRegularExpression re(u"id=\""_s + id + u"\"[^>]*>([^<]*)<"_s);
  return re.match(page).captured(1);
}

QString html(const QStringList& files) {
  const inprocess::CliRun r = inprocess::runCli(QStringList{u"report"_s, u"--html"_s} + files);
  EXPECT_EQ(r.status, 0) << r.err.constData();
  return QString::fromUtf8(r.out);
}

TEST(IncidentReport, PageHoldsTotalsTimesAndFolders) {
  Reports reports;
  QByteArray web1 =
      detection("/var/www/a/1.php", 2, "2026-12-07T14:16:17.500000000Z",
                R"(,"signatures":["frame","frame"])") +
      detection("/var/www/a/2.php", 1, "2026-12-07T09:00:00.250000000Z",
                R"(,"signatures":["script"])") +
      detection("/var/www/b/3.php", 3, "2026-12-08T20:05:00.000000001Z",
                R"(,"signatures":["frame","script","frame"])") +
      R"({"type":"unreadable","path":"/var/www/secret.php","error":"Permission denied","errno":13})"
      "\n"
      R"({"type":"summary","files_visited":500,"files_tested":400,"files_found":3,"files_unreadable":1,"future_field":[1,2]})"
      "\n";
  // A clean's report of the same server, with an outcome this reader does not know.
  const QByteArray web1Clean =
      R"({"type":"clean","path":"/var/www/a/1.php","outcome":"cleaned","occurrences":2})"
      "\n"
      R"({"type":"clean","path":"/var/www/a/2.php","outcome":"quarantined"})"
      "\n"
      R"({"type":"clean","path":"/var/www/b/3.php","outcome":"failed","error":"x"})"
      "\n"
      R"({"type":"clean","path":"/var/www/b/4.php","outcome":"set-aside"})"
      "\n"
      R"({"type":"summary","files_cleaned":1})"
      "\n";
  const QString page = html({reports.write(u"reports/web1/scan.jsonl"_s, web1),
                             reports.write(u"reports/web1/clean.jsonl"_s, web1Clean)});
  EXPECT_EQ(byId(page, u"total-servers"_s), u"1");
  EXPECT_EQ(byId(page, u"total-tested"_s), u"400");
  EXPECT_EQ(byId(page, u"total-found"_s), u"3");
  EXPECT_EQ(byId(page, u"total-occurrences"_s), u"6");
  EXPECT_EQ(byId(page, u"total-unreadable"_s), u"1");
  EXPECT_EQ(byId(page, u"total-cleaned"_s), u"1");
  EXPECT_EQ(byId(page, u"total-quarantined"_s), u"1");
  EXPECT_EQ(byId(page, u"total-failed"_s), u"1");
  EXPECT_TRUE(page.contains(u"set-aside"_s));
  // Earliest and latest by ctime, not by the order of the report.
  EXPECT_EQ(byId(page, u"first-ctime"_s), u"2026-12-07T09:00:00.250000000Z");
  EXPECT_EQ(byId(page, u"last-ctime"_s), u"2026-12-08T20:05:00.000000001Z");
  // Members count files: "frame" is in two, however often.
  EXPECT_TRUE(page.contains(u"<td>frame</td><td class=\"num\">2</td>"_s));
  EXPECT_TRUE(page.contains(u"<td>script</td><td class=\"num\">2</td>"_s));
  // The folders, most hit first; the server is the folder above scan.jsonl.
  const QRegularExpression folder(
      u"<tr><td class=\"num\">(\\d+)</td><td>([^<]*)</td><td class=\"path\">([^<]*)</td>"_s);
  const qsizetype table = page.indexOf(u"id=\"folders\""_s);
  ASSERT_GE(table, 0);
  QStringList rows;
  for (auto it = folder.globalMatch(page, table); it.hasNext();) {
    const auto m = it.next();
    rows.append(m.captured(1) + u' ' + m.captured(2) + u' ' + m.captured(3));
  }
  EXPECT_EQ(rows, (QStringList{u"2 web1 /var/www/a"_s, u"1 web1 /var/www/b"_s}));
  // The hour histogram spans the 36 hours between them.
  EXPECT_TRUE(page.contains(u"共 36 栏"_s)) << page.toStdString();
}

TEST(IncidentReport, HostileNamesShowAsText) {
  Reports reports;
  const QByteArray lines =
      detection(R"(/www/<script>alert(1)</script>.php)", 1, "2026-12-07T14:16:17.000000000Z",
                R"(,"signatures":["<img src=x onerror=alert(2)>"])") +
      detection(R"(/www/q\"\u0001\u001b[31m\u202e.php)", 1, "2026-12-07T14:16:18.000000000Z") +
      R"({"type":"unreadable","path":"/www/x","error":"</td><script>alert(3)</script>"})"
      "\n";
  const QString page =
      html({reports.write(u"<b>host\".jsonl"_s, lines), u"--title"_s, u"<i>t</i>"_s});
  // The only script is the page's own, named by the policy's hash.
  EXPECT_EQ(page.count(u"<script"_s), 1);
  EXPECT_FALSE(page.contains(u"<img"_s));
  EXPECT_FALSE(page.contains(u"<b>"_s));
  EXPECT_FALSE(page.contains(u"<i>"_s));
  EXPECT_TRUE(page.contains(u"&lt;script&gt;alert(1)&lt;/script&gt;.php"_s));
  EXPECT_TRUE(page.contains(u"&lt;img src=x onerror=alert(2)&gt;"_s));
  EXPECT_TRUE(page.contains(u"&lt;b&gt;host&quot;"_s));
  // Quoted as a path line: no control or reordering character reaches the page.
  EXPECT_TRUE(page.contains(u"&quot;/www/q\\&quot;\\x01\\x1B[31m\\u{202E}.php&quot;"_s))
      << page.toStdString();
  for (QChar c : page)
    EXPECT_FALSE((c.unicode() < 0x20 && c != u'\n') || c.unicode() == 0x202E) << int(c.unicode());
  const QRegularExpression policy(
      u"Content-Security-Policy\" content=\"default-src 'none'; "
      u"script-src 'sha256-[A-Za-z0-9+/=]+'; style-src "
      u"'sha256-[A-Za-z0-9+/=]+'; base-uri 'none'; form-action 'none'\""_s);
  EXPECT_TRUE(policy.match(page).hasMatch());
  // The hashes are those of the page's own style and script, or nothing would run.
  for (const QString& element : {u"script"_s, u"style"_s}) {
    const qsizetype open = page.indexOf(u'<' + element + u'>');
    const qsizetype close = page.indexOf(u"</"_s + element + u'>');
    ASSERT_GT(open, 0);
    const QByteArray body =
        page.mid(open + element.size() + 2, close - open - element.size() - 2).toUtf8();
    const QString hash =
        u"'sha256-"_s +
        QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha256).toBase64());
    EXPECT_TRUE(page.contains(element + u"-src "_s + hash + u'\'')) << element.toStdString();
  }
}

TEST(IncidentReport, RefusesALineThatIsNotJson) {
  Reports reports;
  const QString good = reports.write(u"web1.jsonl"_s, detection("/a.php", 1, "x"));
  for (const QByteArray& bad :
       {QByteArray("{\"type\":\"detection\"\n"), QByteArray("[1,2]\n"), QByteArray("garbage\n")}) {
    const QString file = reports.write(u"web2.jsonl"_s, detection("/b.php", 1, "x") + "\n" + bad);
    const inprocess::CliRun r = inprocess::runCli({u"report"_s, u"--html"_s, good, file});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains((file + u": line 3: "_s).toUtf8())) << r.err.constData();
  }
  EXPECT_EQ(inprocess::runCli({u"report"_s}).status, 2);
  EXPECT_EQ(inprocess::runCli({u"report"_s, good + u".missing"_s}).status, 2);
}

TEST(IncidentReport, JoinsServersEachNamed) {
  Reports reports;
  const QString a = reports.write(u"reports/web1/scan.jsonl"_s,
                                  detection("/var/www/i.php", 1, "2026-12-01T00:00:00Z"));
  const QString b = reports.write(u"reports/web2/scan.jsonl"_s,
                                  detection("/var/www/i.php", 4, "2026-12-20T00:00:00Z") +
                                      detection("/var/www/j.php", 1, "2026-12-21T00:00:00Z"));
  const QString c = reports.write(u"web3.jsonl"_s, R"({"type":"summary","files_tested":7})"
                                                   "\n");
  const QString page = html({a, b, c});
  EXPECT_EQ(byId(page, u"total-servers"_s), u"3");
  EXPECT_EQ(byId(page, u"total-found"_s), u"3");
  EXPECT_EQ(byId(page, u"total-occurrences"_s), u"6");
  for (const QString& s : {u"web1"_s, u"web2"_s, u"web3"_s})
    EXPECT_TRUE(page.contains(u"<td class=\"server\">"_s + s + u"</td>"_s)) << s.toStdString();
  // The same folder of two servers is two folders; a span of 20 days, a bar a day.
  EXPECT_TRUE(page.contains(u"<td>web2</td><td class=\"path\">/var/www</td>"_s));
  EXPECT_TRUE(page.contains(u"<td>web1</td><td class=\"path\">/var/www</td>"_s));
  EXPECT_TRUE(page.contains(u"每天一栏，共 21 栏"_s));
  // The terminal's summary names them too, and the first change's file.
  const inprocess::CliRun text = inprocess::runCli({u"report"_s, a, b, c});
  EXPECT_EQ(text.status, 0);
  EXPECT_TRUE(text.out.contains("服务器：3\n"));
  EXPECT_TRUE(text.out.contains("2026-12-01T00:00:00Z  web1  /var/www/i.php\n"));
}

TEST(IncidentReport, TableStopsAtItsCapCountsCoverAll) {
  Reports reports;
  QByteArray many;
  const int all = 10'000 + 25;
  for (int i = 0; i < all; ++i)
    many += detection("/w/" + QByteArray::number(i % 7) + "/f" + QByteArray::number(i) + ".php", 1,
                      "2026-12-07T1" + QByteArray::number(i % 10) + ":00:00Z");
  const QString page = html({reports.write(u"big.jsonl"_s, many)});
  EXPECT_EQ(byId(page, u"total-found"_s), QString::number(all));
  EXPECT_EQ(page.count(u"<tr><td>big</td>"_s), 10'000);
  EXPECT_TRUE(page.contains(u"另有 25 个没有列出"_s));
  EXPECT_EQ(byId(page, u"last-ctime"_s), u"2026-12-07T19:00:00Z");
}

}  // namespace
