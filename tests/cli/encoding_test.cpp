// tervane-cli --encoding, run in-process: the automatic rule finds a Chinese
// infection in a UTF-8 page and in its GBK twin, "gbk" gives the results of
// reading every file as GBK, and the clean removes what the scan lists, in any
// letter case, so that a second scan finds nothing.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QTemporaryFile>

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
