// tervane-cli --encoding, run in-process: the automatic rule finds a Chinese
// infection in a UTF-8 page and in its GBK twin, "gbk" gives the results of
// reading every file as GBK, and the clean removes what the scan lists, in any
// letter case, so that a second scan finds nothing.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>

#include <tuple>

#include "cli/common.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

struct Result {
  int status = -1;
  QByteArray out;
  QByteArray err;
};

QByteArray readBack(QTemporaryFile& f) {
  f.seek(0);
  return f.readAll();
}

// Runs one command; `input` is the clean's log, given as a file.
Result run(QStringList args, const QByteArray& input = {}) {
  QTemporaryFile out, err, in;
  if (!out.open() || !err.open() || !in.open())
    throw std::runtime_error("no temporary files");
  in.write(input);
  in.flush();
  if (!input.isEmpty())
    args.append(in.fileName());
  args.prepend(u"tervane-cli"_s);
  cli::Sink o(out.handle());
  cli::Sink e(err.handle());
  Result r;
  r.status = cli::run(args, o, e);
  r.out = readBack(out);
  r.err = readBack(err);
  return r;
}

const QString kPage = u"<html><body>欢迎<a href=\"http://x.example\">赌博网站</a></body></html>"_s;
const QByteArray kGbkPage =
    "<html><body>\xBB\xB6\xD3\xAD<a href=\"http://x.example\">\xB6\xC4\xB2\xA9\xCD\xF8\xD5\xBE"
    "</a></body></html>";

}  // namespace

TEST(CliEncoding, EachChoiceReadsTheSiteItsWay) {
  TempTree t;
  t.write("site/utf8.php", kPage.toUtf8());
  t.write("site/gbk.php", kGbkPage);
  const QString site = t.path("site");
  const QByteArray both = t.abs("site/gbk.php") + '\n' + t.abs("site/utf8.php") + '\n';
  for (const QString& sig : {u"赌博网站"_s, u"欢迎<a href"_s}) {
    const Result automatic = run({u"scan"_s, u"--signature"_s, sig, u"-j"_s, u"1"_s, site});
    EXPECT_EQ(automatic.status, 1);
    // The walk's order is by name.
    EXPECT_EQ(automatic.out, both) << sig.toStdString();
    EXPECT_EQ(run({u"scan"_s, u"--signature"_s, sig, u"--encoding"_s, u"auto"_s, site}).out, both);
    EXPECT_EQ(run({u"scan"_s, u"--signature"_s, sig, u"--encoding"_s, u"gbk"_s, site}).out,
              t.abs("site/gbk.php") + '\n');
    EXPECT_EQ(run({u"scan"_s, u"--signature"_s, sig, u"--encoding"_s, u"utf-8"_s, site}).out,
              t.abs("site/utf8.php") + '\n');
  }
  const Result bad = run({u"scan"_s, u"--signature"_s, u"x"_s, u"--encoding"_s, u"big5"_s, site});
  EXPECT_EQ(bad.status, cli::kError);
  EXPECT_TRUE(bad.err.contains("--encoding")) << bad.err.toStdString();
}

TEST(CliEncoding, CleanRemovesWhatTheScanListedInAnyCase) {
  TempTree t;
  const QByteArray head = u"<?php //中"_s.toUtf8();
  t.write("site/a.php", head + "EVAL(BASE64_DECODE(\"aGk=\"));\r\n?>");
  t.write("site/b.php",
          "\xD6\xD0"
          "Eval(Base64_Decode(1)); \xD6\xD0");
  const QString site = t.path("site");
  const QStringList sig = {u"--signature"_s, u"eval(base64_decode"_s};
  const Result scan = run(QStringList{u"scan"_s} + sig + QStringList{site});
  ASSERT_EQ(scan.out, t.abs("site/a.php") + '\n' + t.abs("site/b.php") + '\n');
  const Result clean = run(QStringList{u"clean"_s} + sig, scan.out);
  EXPECT_EQ(clean.status, cli::kOk) << clean.err.toStdString();
  EXPECT_EQ(clean.out,
            t.abs("site/a.php") + "\n  清楚成功！\n" + t.abs("site/b.php") + "\n  清楚成功！\n");
  EXPECT_EQ(t.read("site/a.php"), head + "(\"aGk=\"));\r\n?>");
  EXPECT_EQ(t.read("site/b.php"), "\xD6\xD0(1)); \xD6\xD0");
  EXPECT_EQ(run(QStringList{u"scan"_s} + sig + QStringList{site}).status, cli::kOk);
  // Read as GBK the UTF-8 file would have kept its infection: "--encoding gbk"
  // neither finds nor removes it.
  t.write("site/a.php", head + "EVAL(BASE64_DECODE(1));");
  EXPECT_EQ(run(QStringList{u"scan"_s} + sig + QStringList{u"--encoding"_s, u"gbk"_s, site}).out,
            "");
  run(QStringList{u"clean"_s} + sig + QStringList{u"--encoding"_s, u"gbk"_s},
      t.abs("site/a.php") + '\n');
  EXPECT_EQ(t.read("site/a.php"), head + "EVAL(BASE64_DECODE(1));");
}

TEST(CliAnyForm, StrayByteUtf8PageIsFoundCleanedAndNotFoundAgain) {
  TempTree t;
  const QString spam = u"<a href=\"http://bad.example.net/\">澳门赌场</a>"_s;
  const QByteArray head = "<meta charset=\"utf-8\">";
  t.write("site/a.php", head + spam.toUtf8() + "\n");
  t.write("site/b.php", head + spam.toUpper().toUtf8() + "\n\xFF");
  // A GBK page that holds only the beginning of the spam: not found.
  t.write("site/c.php", "\xB0<a href=\"http://bad.example.net/\">\xB0\xC4\xC3\xC5\n");
  const QString site = t.path("site");
  const QStringList sig{u"--signature"_s, spam};
  const Result scan = run(QStringList{u"scan"_s} + sig + QStringList{site});
  EXPECT_EQ(scan.status, 1);
  EXPECT_EQ(scan.out, t.abs("site/a.php") + '\n' + t.abs("site/b.php") + '\n');
  const Result clean = run(QStringList{u"clean"_s, u"--no-backup"_s} + sig, scan.out);
  EXPECT_EQ(clean.status, cli::kOk) << clean.err.toStdString();
  EXPECT_EQ(t.read("site/a.php"), head + "\n");
  EXPECT_EQ(t.read("site/b.php"), head + "\n\xFF");
  EXPECT_EQ(run(QStringList{u"scan"_s} + sig + QStringList{site}).status, cli::kOk);
}

TEST(CliAnyForm, OneScanFindsLfCrLfAndCrPagesWithEitherSignature) {
  TempTree t;
  const QByteArray lfSig = "<iframe src=\"http://bad.example.net/\"\nwidth=0\nheight=0></iframe>\n";
  QByteArray crlfSig = lfSig;
  crlfSig.replace("\n", "\r\n");
  QByteArray crSig = lfSig;
  crSig.replace("\n", "\r");
  t.write("site/crlf.php", "<p>\r\n" + crlfSig + "</p>\r\n");
  t.write("site/lf.php", "<p>\n" + lfSig.toUpper() + "</p>\n");
  t.write("site/cr.php", "<p>\r" + crSig + "</p>\r");
  const QString site = t.path("site");
  const QByteArray all =
      t.abs("site/cr.php") + '\n' + t.abs("site/crlf.php") + '\n' + t.abs("site/lf.php") + '\n';
  for (const QByteArray& sig : {lfSig, crlfSig}) {
    const QString typed = QString::fromUtf8(sig);
    EXPECT_EQ(run({u"scan"_s, u"--signature"_s, typed, site}).out, all);
    // Byte for byte, each finds its own kind only.
    const Result exact = run({u"scan"_s, u"--exact-line-ends"_s, u"--signature"_s, typed, site});
    EXPECT_EQ(exact.out, t.abs(sig == lfSig ? "site/lf.php" : "site/crlf.php") + '\n');
  }
  // The dry run's ranges are the bytes that matched, whatever their line ends.
  const Result dry =
      run({u"clean"_s, u"--dry-run"_s, u"--signature"_s, QString::fromUtf8(lfSig)}, all);
  EXPECT_TRUE(
      dry.out.contains("cr.php: 1 to remove, bytes 4-" + QByteArray::number(4 + crSig.size() - 1)))
      << dry.out.toStdString();
  EXPECT_TRUE(dry.out.contains("crlf.php: 1 to remove, bytes 5-" +
                               QByteArray::number(5 + crlfSig.size() - 1)))
      << dry.out.toStdString();
  const Result clean =
      run({u"clean"_s, u"--no-backup"_s, u"--signature"_s, QString::fromUtf8(crlfSig)}, all);
  EXPECT_EQ(clean.status, cli::kOk) << clean.err.toStdString();
  EXPECT_EQ(t.read("site/crlf.php"), "<p>\r\n</p>\r\n");
  EXPECT_EQ(t.read("site/lf.php"), "<p>\n</p>\n");
  EXPECT_EQ(t.read("site/cr.php"), "<p>\r</p>\r");
  EXPECT_EQ(run({u"scan"_s, u"--signature"_s, QString::fromUtf8(lfSig), site}).status, cli::kOk);
}

TEST(CliAnyForm, FilterTakesNamesInAnyCaseAndAllFilesEveryFile) {
  TempTree t;
  t.write("site/INDEX.PHP", "x<iframe>");
  t.write("site/cgi-bin/run", "x<iframe>");
  const QString site = t.path("site");
  EXPECT_EQ(run({u"scan"_s, u"--signature"_s, u"<iframe>"_s, site}).out,
            t.abs("site/INDEX.PHP") + '\n');
  EXPECT_EQ(
      run({u"scan"_s, u"--filter"_s, u"全部文件"_s, u"--signature"_s, u"<iframe>"_s, site}).out,
      t.abs("site/INDEX.PHP") + '\n' + t.abs("site/cgi-bin/run") + '\n');
}

namespace {

QByteArray utf16le(const QString& s) {
  QByteArray out("\xFF\xFE");
  for (QChar c : s) {
    out += char(c.unicode() & 0xFF);
    out += char(c.unicode() >> 8);
  }
  return out;
}

}  // namespace

// Pages whose author counted on the bytes' count to hide them: each is read as
// a browser reads it, found, cleaned byte for byte, and not found again.
TEST(CliPageReading, APageIsReadAsItsBrowserReadsIt) {
  TempTree t;
  const QString spam = u"<a href=\"http://bad.example/\">澳门赌场</a>"_s;
  const QByteArray utf8Spam = spam.toUtf8();
  // One stray byte more than the page has UTF-8 characters, in a comment.
  const QByteArray strays = "<!--" + QByteArray(5, '\xFF') + "-->";
  const QByteArray declared = "<meta charset=\"utf-8\">";
  const QByteArray gbkSpam = "<a href=\"http://bad.example/\">\xB0\xC4\xC3\xC5\xB6\xC4\xB3\xA1</a>";
  const QByteArray gbkHead =
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">";
  const QByteArray pairs = "<!--" + QByteArray("\xC3\xA9").repeated(10) + "-->";
  const QByteArray iframe = utf16le(u"<p><iframe src=\"http://bad.example/\" width=0 height=0>"_s);
  struct Page {
    const char* name;
    QByteArray before;
    QByteArray found;
    QByteArray after;
  };
  const Page pages[] = {
      {"a.php", declared, utf8Spam, strays},
      {"b.php", "\xEF\xBB\xBF<p>", utf8Spam, strays},
      {"c.php", gbkHead, gbkSpam, pairs},
      {"d.php", iframe.left(8), iframe.mid(8), utf16le(u"</p>"_s).mid(2)},
  };
  for (const Page& p : pages)
    t.write(QByteArray("site/") + p.name, p.before + p.found + p.after);
  const QString site = t.path("site");
  // The UTF-16 page holds the iframe as its own signature; the others the spam.
  for (const auto& [sig, first, last] :
       {std::tuple{spam, 0, 3},
        std::tuple{u"<iframe src=\"http://bad.example/\" width=0 height=0>"_s, 3, 4}}) {
    const QStringList s{u"--signature"_s, sig};
    QByteArray listed;
    for (int i = first; i < last; ++i)
      listed += t.abs(QByteArray("site/") + pages[i].name) + '\n';
    const Result scan = run(QStringList{u"scan"_s} + s + QStringList{site});
    EXPECT_EQ(scan.status, 1) << scan.err.toStdString();
    EXPECT_EQ(scan.out, listed);
    const Result clean = run(QStringList{u"clean"_s, u"--no-backup"_s} + s, scan.out);
    EXPECT_EQ(clean.status, cli::kOk) << clean.err.toStdString();
    for (int i = first; i < last; ++i) {
      EXPECT_EQ(t.read(QByteArray("site/") + pages[i].name), pages[i].before + pages[i].after)
          << pages[i].name;
    }
    EXPECT_EQ(run(QStringList{u"scan"_s} + s + QStringList{site}).status, cli::kOk);
  }
}

// A script no page declares, whose U+2028 turns into GBK bytes that swallow
// the signature's first letter: read as GBK by the count, it is told as holding
// the signature when read as UTF-8, and the scan ends in error, not "clean".
TEST(CliPageReading, TheReadingNotTakenIsNeverPassedOverInSilence) {
  TempTree t;
  const QByteArray script =
      "/*\xFF\xFF*/\xE2\x80\xA8"
      "eval(function(p,a,c,k,e,d){return p;}('x',1,1,'x'.split('|')))";
  t.write("site/x.js", script);
  const QStringList s{u"--signature"_s, u"eval(function(p,a,c,k,e,d)"_s};
  const Result scan = run(QStringList{u"scan"_s} + s + QStringList{t.path("site")});
  EXPECT_EQ(scan.status, cli::kError);
  EXPECT_EQ(scan.out, "");
  EXPECT_TRUE(scan.err.contains(t.abs("site/x.js") +
                                ": not listed: holds the signature when read as utf-8"))
      << scan.err.toStdString();
  const Result json = run(QStringList{u"scan"_s, u"--json"_s} + s + QStringList{t.path("site")});
  EXPECT_EQ(json.status, cli::kError);
  EXPECT_TRUE(json.out.contains("\"type\":\"other_reading\"")) << json.out.toStdString();
  EXPECT_FALSE(json.out.contains("\"detection\"")) << json.out.toStdString();
  // Once the user has looked, the option reads it that way.
  const QStringList forced = s + QStringList{u"--encoding"_s, u"utf-8"_s};
  const Result found = run(QStringList{u"scan"_s} + forced + QStringList{t.path("site")});
  EXPECT_EQ(found.out, t.abs("site/x.js") + '\n');
  EXPECT_EQ(run(QStringList{u"clean"_s, u"--no-backup"_s} + forced, found.out).status, cli::kOk);
  EXPECT_EQ(t.read("site/x.js"), "/*\xFF\xFF*/\xE2\x80\xA8{return p;}('x',1,1,'x'.split('|')))");
}

// The report tells each detection's reading and what decided it.
TEST(CliPageReading, TheReportNamesTheReadingAndItsDecider) {
  TempTree t;
  t.write("site/a.php", "<meta charset=windows-1252><p>x<iframe>");
  t.write("site/b.php", "\xEF\xBB\xBFx<iframe>");
  const Result json = run(
      {u"scan"_s, u"--json"_s, u"--signature"_s, u"<iframe>"_s, u"-j"_s, u"1"_s, t.path("site")});
  const QList<QByteArray> lines = json.out.split('\n');
  ASSERT_GE(lines.size(), 2);
  EXPECT_TRUE(lines[0].contains("\"reading\":\"utf-8\"")) << lines[0].toStdString();
  EXPECT_TRUE(lines[0].contains("\"reading_decided_by\":\"count\"")) << lines[0].toStdString();
  EXPECT_TRUE(lines[0].contains("\"declared_encoding\":\"windows-1252\""))
      << lines[0].toStdString();
  EXPECT_TRUE(lines[1].contains("\"reading_decided_by\":\"bom\"")) << lines[1].toStdString();
  // The dry run tells the same of each file, and the option when one is given.
  const QByteArray listed = t.abs("site/a.php") + '\n' + t.abs("site/b.php") + '\n';
  for (const auto& [extra, decider] :
       {std::pair{QStringList{}, "count"},
        std::pair{QStringList{u"--encoding"_s, u"gbk"_s}, "option"}}) {
    const Result dry =
        run(QStringList{u"clean"_s, u"--dry-run"_s, u"--json"_s, u"--signature"_s, u"<iframe>"_s} +
                extra,
            listed);
    const QList<QByteArray> objects = dry.out.split('\n');
    ASSERT_GE(objects.size(), 2) << dry.out.toStdString();
    EXPECT_TRUE(objects[0].contains(QByteArray("\"reading_decided_by\":\"") + decider + '"'))
        << objects[0].toStdString();
    EXPECT_EQ(objects[0].contains("\"declared_encoding\":\"windows-1252\""), extra.isEmpty())
        << objects[0].toStdString();
    EXPECT_TRUE(objects[1].contains(extra.isEmpty()
                                        ? "\"reading\":\"utf-8\",\"reading_decided_by\":\"bom\""
                                        : "\"reading\":\"gbk\""))
        << objects[1].toStdString();
  }
}

// A file of 1,500 occurrences: the scan's report and the dry run list the
// first 1,000 ranges and count all 1,500.
TEST(CliPageReading, ReportsListTheFirstThousandRangesAndCountAll) {
  TempTree t;
  t.write("site/a.php", QByteArray("<iframe>x").repeated(1500));
  const auto check = [](const QByteArray& out, const char* what) {
    const QJsonObject o = QJsonDocument::fromJson(out.split('\n').front()).object();
    EXPECT_EQ(o.value(u"occurrences"_s).toInteger(), 1500) << what;
    EXPECT_EQ(o.value(u"offsets"_s).toArray().size(), 1000) << what;
    EXPECT_EQ(o.value(u"lengths"_s).toArray().size(), 1000) << what;
    EXPECT_EQ(o.value(u"offsets"_s).toArray().last().toInteger(), 999 * 9) << what;
  };
  const QStringList s{u"--json"_s, u"--signature"_s, u"<iframe>"_s};
  const Result scan = run(QStringList{u"scan"_s} + s + QStringList{t.path("site")});
  EXPECT_EQ(scan.status, 1);
  check(scan.out, "scan");
  check(run(QStringList{u"clean"_s, u"--dry-run"_s} + s, t.abs("site/a.php") + '\n').out,
        "dry run");
}

// A mark or a declaration in front of bytes the server runs (PHP runs bytes
// whatever the mark says) or that read as an undeclared page: the bytes are
// searched as if they had neither, and a payload only found so is told, exit
// 2, neither listed nor cleaned; for one signature and for a set alike.
// Genuine UTF-16 and GBK pages are still found and cleaned byte for byte.
TEST(CliPageReading, AMarkOrADeclarationHidesNothing) {
  TempTree t;
  const QByteArray php = "<?php @eval($_POST['c']);?>\n";
  const QByteArray utf8Spam = u"<a href=\"http://bad.example/\">澳门赌场</a>"_s.toUtf8();
  const QByteArray gbkSpam = "<a href=\"http://bad.example/\">\xB0\xC4\xC3\xC5\xB6\xC4\xB3\xA1</a>";
  const QByteArray gbkHead = "<meta charset=gbk>";
  const QByteArray marked = "\xFF\xFE" + php;
  const QByteArray declared = gbkHead + "<p>" + utf8Spam + "</p>";
  const QByteArray genuineGbk = gbkHead + "<p>" + gbkSpam + "</p>";
  const QByteArray genuineUtf16 = utf16le(u"<p>@eval($_POST['c']);</p>"_s);
  t.write("site/a.php", marked);
  t.write("site/b.php", declared);
  t.write("site/c.php", genuineGbk);
  t.write("site/d.php", genuineUtf16);
  const QString site = t.path("site");
  const QStringList one{u"--signature"_s, u"@eval($_post['c']);"_s, u"--signature"_s,
                        u"<a href=\"http://bad.example/\">澳门赌场</a>"_s};
  // One signature, then a set of two.
  for (const QStringList& s : {one.mid(0, 2), one}) {
    const QStringList scanArgs = QStringList{u"scan"_s, u"-j"_s, u"1"_s} + s + QStringList{site};
    const Result scan = run(scanArgs);
    EXPECT_EQ(scan.status, cli::kError) << s.size();
    EXPECT_TRUE(scan.err.contains(t.abs("site/a.php") +
                                  ": not listed: holds the signature when read as utf-8"))
        << scan.err.toStdString();
    const QByteArray foundD = t.abs("site/d.php") + '\n';
    if (s.size() == 2) {
      EXPECT_EQ(scan.out, foundD);
      EXPECT_FALSE(scan.err.contains("b.php")) << scan.err.toStdString();
      continue;
    }
    EXPECT_TRUE(scan.err.contains(t.abs("site/b.php") +
                                  ": not listed: holds the signature when read as utf-8"))
        << scan.err.toStdString();
    EXPECT_EQ(scan.out, t.abs("site/c.php") + '\n' + foundD);
    const Result json =
        run(QStringList{u"scan"_s, u"--json"_s, u"-j"_s, u"1"_s} + s + QStringList{site});
    EXPECT_EQ(json.status, cli::kError);
    EXPECT_EQ(json.out.count("\"type\":\"other_reading\""), 2) << json.out.toStdString();
    EXPECT_TRUE(json.out.contains("\"files_other_reading\":2")) << json.out.toStdString();
    // The clean takes the list: the told files stay as they are.
    EXPECT_EQ(run(QStringList{u"clean"_s, u"--no-backup"_s} + s, scan.out).status, cli::kOk);
    EXPECT_EQ(t.read("site/a.php"), marked);
    EXPECT_EQ(t.read("site/b.php"), declared);
    EXPECT_EQ(t.read("site/c.php"), gbkHead + "<p></p>");
    EXPECT_EQ(t.read("site/d.php"), utf16le(u"<p></p>"_s));
    EXPECT_EQ(run(scanArgs).out, "");
  }
}
