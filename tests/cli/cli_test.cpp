// tervane-cli end to end: the built executable run on temporary trees.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <vector>

#include "clirun.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

using clirun::Result;
using clirun::run;
using clirun::Tty;

const QByteArray kSig =
    "<iframe src=\"http://x.example/index.php\" width=0 \r\nheight=0></iframe>\r\n";

QByteArray upper(QByteArray s) {
  return s.toUpper();
}

QByteArray withLf(QByteArray s) {
  return s.replace("\r\n", "\n");
}

class CliTest : public ::testing::Test {
 protected:
  QByteArray root() const { return t.rootBytes(); }
  // The expected output: paths relative to the root, one per line.
  QByteArray lines(const std::vector<QByteArray>& rels) const {
    QByteArray out;
    for (const QByteArray& r : rels)
      out += root() + '/' + r + '\n';
    return out;
  }
  // A file outside the scanned tree (signatures, logs).
  QByteArray aside(const QByteArray& content) {
    const QByteArray name = QByteArray::number(++files_);
    outside.write(name, content);
    return outside.abs(name);
  }
  QByteArray sigFile(const QByteArray& content) { return aside(content); }

  TempTree t;
  TempTree outside;
  int files_ = 0;
};

}  // namespace

TEST_F(CliTest, ScanPrintsTheLogInWalkOrder) {
  t.write("a.php", "<html>" + upper(kSig));
  t.write("b.php", "<html>" + withLf(kSig));               // LF: any line break matches
  t.write("c.asp.js", kSig);                               // two filter entries: two lines
  t.write("d.htm", kSig);                                  // not in the filter
  t.write("e.asp", "\xB0" + kSig);                         // a lead byte cannot take "<"
  t.write("sub/\xB2\xE2\xCA\xD4.php", "\xD6\xD0" + kSig);  // a GBK name, not UTF-8
  t.write("sub/z.php", "clean");
  t.write(".hidden.php", kSig);
  t.symlink(t.abs("a.php"), "link.php");
  t.fifo("pipe.php");
  // The GBK name is shown as its text, marked, in a quoted line.
  const QByteArray expected =
      lines({".hidden.php", "a.php", "b.php", "c.asp.js", "c.asp.js", "e.asp"}) + '"' + root() +
      "/sub/\\g测试.php\"\n";
  for (const char* j : {"1", "2", "5"}) {
    const Result r = run({"scan", "--signature-file", sigFile(kSig), "-j", j, root()});
    EXPECT_EQ(r.out, expected) << j;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");  // standard error is no terminal: no progress line
  }
  // The signature box's rules: spaces trimmed, lower-cased, line ends kept.
  const Result r = run({"scan", "--signature", "  " + upper(kSig) + "  ", "-j3", root()});
  EXPECT_EQ(r.out, expected);
}

TEST_F(CliTest, SignatureFileKeepsItsLineEnds) {
  t.write("crlf.php", kSig);
  t.write("lf.php", withLf(kSig));
  // Byte for byte, each signature finds its own kind; by default both find both.
  EXPECT_EQ(run({"scan", "--exact-line-ends", "--signature-file", sigFile(kSig), root()}).out,
            lines({"crlf.php"}));
  EXPECT_EQ(
      run({"scan", "--exact-line-ends", "--signature-file", sigFile(withLf(kSig)), root()}).out,
      lines({"lf.php"}));
  EXPECT_EQ(run({"scan", "--signature-file", sigFile(withLf(kSig)), root()}).out,
            lines({"crlf.php", "lf.php"}));
  // A byte-order mark is not part of the text; bytes that are not UTF-8 are refused.
  EXPECT_EQ(
      run({"scan", "--exact-line-ends", "--signature-file", sigFile("\xEF\xBB\xBF" + kSig), root()})
          .out,
      lines({"crlf.php"}));
  const Result bad = run({"scan", "--signature-file", sigFile("<iframe \xB0>"), root()});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err, "");
}

// A signature file that ends in a line break finds the pages that hold it
// there; one note says how many hold it without, and the status stays.
TEST_F(CliTest, SignatureEndingInALineBreakTellsTheNearMiss) {
  t.write("lf.php", "<x>\n");
  t.write("bare.php", "<x></p>");
  const Result r = run({"scan", "--signature-file", sigFile("<x>\r\n"), root()});
  EXPECT_EQ(r.out, lines({"lf.php"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.contains("2 files hold it without them, 1 as given")) << r.err.toStdString();
  EXPECT_EQ(run({"scan", "--signature", "<x>", root()}).err, "");
}

// The same note on one thread or several, and with --json.
TEST_F(CliTest, TheNearMissNoteWhateverTheThreadsAndOutput) {
  t.write("lf.php", "<x>\n");
  t.write("bare.php", "<x></p>");
  t.write("sub/bare.js", "<X>");
  const QByteArray sig = sigFile("<x>\r\n");
  for (const char* j : {"1", "3"}) {
    for (const char* form : {"--null", "--json"}) {
      const Result r = run({"scan", form, "--signature-file", sig, "-j", j, root()});
      EXPECT_EQ(r.status, 1) << j << form;
      EXPECT_TRUE(r.err.contains("3 files hold it without them, 1 as given"))
          << j << form << r.err.toStdString();
    }
  }
}

TEST_F(CliTest, SignatureThatCanTrailALeadByte) {
  // "i" is a valid trail byte: after one lead-range byte it belongs to a Chinese
  // character, after two it starts a character of its own.
  t.write("a.php", "x\xB0iframe");
  t.write("b.php", "x\xB0\xB0iframe");
  t.write("c.php", "x\xB0\xB0\xB0IFRAME");
  t.write("d.php", "\xB0\xB0\xB0\xB0IFRAME");
  for (const char* j : {"1", "3"}) {
    const Result r = run({"scan", "--signature", "iframe", "-j", j, root()});
    EXPECT_EQ(r.out, lines({"b.php", "d.php"})) << j;
    // Read as UTF-8 the traps do hold it, and the count could not be sure:
    // they are told, not listed.
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("a.php: not listed: holds the signature when read as utf-8"));
    EXPECT_TRUE(r.err.contains("c.php: not listed")) << r.err.toStdString();
  }
}

TEST_F(CliTest, ChineseSignatureAgainstGbkFiles) {
  t.write("a.php", "<p>\xC4\xBE\xC2\xED</p>");  // 木马 in GBK
  t.write("b.php", "<p>\xC4\xBE</p>");
  const Result r = run({"scan", "--signature", "木马", root()});
  EXPECT_EQ(r.out, lines({"a.php"}));
  EXPECT_EQ(r.status, 1);
}

TEST_F(CliTest, FilterAndLocationAsTheWindowTakesThem) {
  t.write("x.html", kSig);
  t.write("y.HTM", kSig);
  t.write("z.php", kSig);
  const QByteArray sig = sigFile(kSig);
  // Fragments and path compared in lower case.
  EXPECT_EQ(run({"scan", "--filter", "*.HTM|*.HTML", "--signature-file", sig, root()}).out,
            lines({"x.html", "x.html", "y.HTM"}));
  EXPECT_EQ(run({"scan", "--filter", "全部文件", "--signature-file", sig, root()}).out,
            lines({"x.html", "y.HTM", "z.php"}));
  // The default filter is the window's: *.ASP|*.PHP|*.JS.
  EXPECT_EQ(run({"scan", "--signature-file", sig, root()}).out, lines({"z.php"}));
  // An empty filter tests nothing.
  const Result none = run({"scan", "--filter", "", "--signature-file", sig, root()});
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.status, 0);
  // A drive entry with a label stands for its mount point; a trailing "/" is fine.
  EXPECT_EQ(run({"scan", "--signature-file", sig, root() + ": [DATA]"}).out, lines({"z.php"}));
  EXPECT_EQ(run({"scan", "--signature-file", sig, root() + "/"}).out, lines({"z.php"}));
}

TEST_F(CliTest, StatusAndMessages) {
  t.write("a.php", "nothing");
  const Result clean = run({"scan", "--signature", "zzz", root()});
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.out, "");
  EXPECT_EQ(clean.err, "");

  const Result empty = run({"scan", "--signature", "   ", root()});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "请输入特征码...\n");

  const Result invalid = run({"scan", "--signature", "x", root() + "/missing"});
  EXPECT_EQ(invalid.status, 2);
  EXPECT_EQ(invalid.err, "该目录不是有效路径\n");
  EXPECT_EQ(run({"scan", "--signature", "x", ""}).err, "该目录不是有效路径\n");

  for (const std::vector<QByteArray>& bad : std::vector<std::vector<QByteArray>>{
           {},
           {"frobnicate"},
           {"scan", root()},
           {"scan", "--signature", "x"},
           {"scan", "--signature", "x", "--signature-file", "f", root()},
           {"scan", "--signature", "x", "-j", "0", root()},
           {"scan", "--signature", "x", "-j", "two", root()},
           {"scan", "--signature", "x", "--bogus", root()},
           {"scan", "--signature", "x", root(), root()},
           {"scan", "--signature", "\xB0", root()},
           {"clean", "--signature", "x", "a", "b"},
       }) {
    const Result r = run(bad);
    EXPECT_EQ(r.status, 2) << (bad.empty() ? "" : bad.back().toStdString());
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }

  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.contains("tervane-cli scan"));
  EXPECT_TRUE(help.out.contains("tervane-cli clean"));
  EXPECT_EQ(run({"scan", "--help"}).out, help.out);
  const Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.startsWith("tervane-cli ")) << version.out.toStdString();
}

TEST_F(CliTest, ProgressOnlyOnATerminal) {
  for (int i = 0; i < 5; ++i)
    t.write("f" + QByteArray::number(i) + ".php", "x");
  t.write("hit.php", kSig);
  const Result r = run({"scan", "--signature-file", sigFile(kSig), root()}, {}, Tty::Err);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, lines({"hit.php"}));
  // The line shows a count and a path, and is cleared before the program ends.
  EXPECT_TRUE(r.terminal.contains(" files  ")) << r.terminal.toStdString();
  EXPECT_TRUE(r.terminal.contains(".php")) << r.terminal.toStdString();
  EXPECT_TRUE(r.terminal.endsWith("\r\x1b[K")) << r.terminal.toStdString();
}

TEST_F(CliTest, ScanThenCleanThroughAPipe) {
  t.write("a.php", "<p>" + kSig + "x" + kSig + "</p>");
  t.write("b.php", "<p>" + upper(kSig) + "</p>");           // listed and cleaned in any case
  t.write("\xB2\xE2.php", "\xD6\xD0" + kSig + "\xD6\xD0");  // GBK around, GBK name
  t.write("c.php", "<p>" + withLf(kSig) + "</p>");          // LF line ends: listed too
  const QByteArray sig = sigFile(kSig);
  const Result scan = run({"scan", "--signature-file", sig, root()});
  const QByteArray gbkLine = '"' + root() + "/\\g测.php\"";
  ASSERT_EQ(scan.out, lines({"a.php", "b.php", "c.php"}) + gbkLine + '\n');

  const Result clean = run({"clean", "--signature-file", sig}, scan.out);
  EXPECT_EQ(clean.status, 0) << clean.err.toStdString();
  QByteArray expected;
  for (const QByteArray& p : {root() + "/a.php", root() + "/b.php", root() + "/c.php", gbkLine})
    expected += p + "\n  清楚成功！\n";
  EXPECT_EQ(clean.out, expected);
  EXPECT_EQ(t.read("a.php"), "<p>x</p>");
  EXPECT_EQ(t.read("b.php"), "<p></p>");
  EXPECT_EQ(t.read("\xB2\xE2.php"), "\xD6\xD0\xD6\xD0");
  EXPECT_EQ(t.read("c.php"), "<p></p>");
  EXPECT_EQ(run({"scan", "--signature-file", sig, root()}).status, 0);  // nothing left
}

TEST_F(CliTest, CleanLogFormsAndFailures) {
  t.write("a.txt", "1abc2");
  t.write("b.txt", "abcabc");
  t.write("c.txt", "3abc");
  // CR LF line ends, a LOG file argument, "-" for standard input, and a last
  // line without LF.
  const QByteArray crlf = t.abs("a.txt") + "\r\n" + t.abs("b.txt") + "\r\n";
  Result r = run({"clean", "--signature", "ABC", aside(crlf)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, t.abs("a.txt") + "\n  清楚成功！\n" + t.abs("b.txt") + "\n  清楚成功！\n");
  EXPECT_EQ(t.read("a.txt"), "12");
  EXPECT_EQ(t.read("b.txt"), "");

  r = run({"clean", "--signature", "3", "-"}, t.abs("c.txt"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(t.read("c.txt"), "abc");

  // An empty log does nothing.
  r = run({"clean", "--signature", "x"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");

  // The run ends at the first file that fails: the files before it are cleaned
  // and logged, the files after it are not touched.
  t.write("d.txt", "xd");
  t.write("e.txt", "xe");
  r = run({"clean", "--signature", "x"},
          t.abs("d.txt") + "\n" + t.abs("missing.txt") + "\n" + t.abs("e.txt") + "\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, t.abs("d.txt") + "\n  清楚成功！\n");
  EXPECT_TRUE(r.err.contains(t.abs("missing.txt"))) << r.err.toStdString();
  EXPECT_EQ(t.read("d.txt"), "d");
  EXPECT_EQ(t.read("e.txt"), "xe");
}

TEST_F(CliTest, CleanStopsAtAFileItMayNotWrite) {
  t.write("a.txt", "xa");
  t.write("ro.txt", "xr");
  t.write("b.txt", "xb");
  t.chmod("ro.txt", 0444);
  // Run as an unprivileged owner of the folder and its files, so that the
  // read-only bit binds.
  for (const QByteArray& p :
       {QByteArray(), QByteArray("/a.txt"), QByteArray("/ro.txt"), QByteArray("/b.txt")}) {
    ASSERT_EQ(::chown((t.rootBytes() + p).constData(), 65534, 65534), 0);
  }
  const QByteArray log = t.abs("a.txt") + "\n" + t.abs("ro.txt") + "\n" + t.abs("b.txt") + "\n";
  // That user keeps backups in a data folder of their own.
  QTemporaryDir data;
  ASSERT_EQ(::chown(data.path().toUtf8().constData(), 65534, 65534), 0);
  const int rc = runUnprivileged([&] {
    ::setenv("XDG_DATA_HOME", data.path().toUtf8().constData(), 1);
    const Result r = run({"clean", "--signature", "x"}, log);
    if (r.status != 2)
      return 10;
    if (r.out != t.abs("a.txt") + "\n  清楚成功！\n")
      return 11;
    return r.err.contains(t.abs("ro.txt")) ? 0 : 12;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(t.read("a.txt"), "a");
  EXPECT_EQ(t.read("ro.txt"), "xr");
  EXPECT_EQ(t.read("b.txt"), "xb");
}

// A process limit that leaves no thread to start (RLIMIT_NPROC of 1, as an
// unprivileged user): the scan and the clean do their work on the one thread
// they have, with the same answers, where they used to abort.
TEST_F(CliTest, ScanAndCleanWithNoThreadToBeHad) {
  t.write("a.php", "<html>" + kSig);
  t.write("b.php", "<p>clean</p>");
  t.write("sub/c.php", kSig + "x");
  const QByteArray sig = sigFile(kSig);
  const QByteArray out = outside.abs("out");
  const QByteArray log = outside.abs("log");
  const QByteArray data = outside.abs("data");
  for (const QByteArray& dir : {root(), root() + "/sub", outside.rootBytes()})
    ASSERT_EQ(::chmod(dir.constData(), 0777), 0);
  ASSERT_EQ(::chmod(sig.constData(), 0644), 0);
  for (const char* f : {"a.php", "b.php", "sub/c.php"})
    ASSERT_EQ(::chmod(t.abs(f).constData(), 0666), 0);
  auto runLimited = [&](std::vector<QByteArray> args) {
    QByteArray exe = TERVANE_CLI;
    std::vector<char*> argv{exe.data()};
    for (QByteArray& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    // The leak checker of a sanitizer build needs a thread of its own at exit.
    const QByteArray asan = qgetenv("ASAN_OPTIONS") + ":detect_leaks=0";
    const pid_t pid = ::fork();
    if (pid == 0) {
      dropRootInChild();
      const int o = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      const rlimit one{1, 1};
      if (o < 0 || ::dup2(o, 1) < 0 || ::setenv("XDG_DATA_HOME", data.constData(), 1) != 0 ||
          ::setenv("ASAN_OPTIONS", asan.constData(), 1) != 0 ||
          ::setrlimit(RLIMIT_NPROC, &one) != 0)
        ::_exit(98);
      ::execv(argv[0], argv.data());
      ::_exit(97);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
      return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  };
  EXPECT_EQ(runLimited({"scan", "-j", "4", "--signature-file", sig, root()}), 1);
  EXPECT_EQ(outside.read("out"), lines({"a.php", "sub/c.php"}));
  outside.write("log", outside.read("out"));
  ASSERT_EQ(::chmod(log.constData(), 0644), 0);
  EXPECT_EQ(runLimited({"clean", "--signature-file", sig, log}), 0);
  EXPECT_EQ(t.read("a.php"), "<html>");
  EXPECT_EQ(t.read("sub/c.php"), "x");
  EXPECT_EQ(t.read("b.php"), "<p>clean</p>");
}
