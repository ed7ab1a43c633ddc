// tervane-cli and hostile names and input: one line per found file, -0 for
// exact bytes, nothing raw on a terminal, and inputs refused in bounded time
// and memory.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QSet>
#include <QTemporaryDir>

#include <chrono>
#include <vector>

#include "clirun.h"
#include "platform/pathline.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

using clirun::Result;
using clirun::run;
using clirun::Tty;

// What a terminal would act on: C0 controls but the line feed, DEL, and C1
// controls (raw, or as UTF-8). The progress line's own "clear line" is allowed.
bool actsOnTerminal(QByteArray shown) {
  shown.replace("\r\x1b[K", "");
  shown.replace("\r\n", "\n");  // the terminal's own translation of line feeds
  for (qsizetype i = 0; i < shown.size(); ++i) {
    const auto b = uint8_t(shown[i]);
    if ((b < 0x20 && b != '\n') || b == 0x7F ||
        (b >= 0x80 && b <= 0x9F && i > 0 && uint8_t(shown[i - 1]) == 0xC2))
      return true;
  }
  return false;
}

const QByteArray kSig = "<iframe src=http://x.example/>";
const QByteArray kDirty = "a" + kSig + "b";

class NamesCli : public ::testing::Test {
 protected:
  QByteArray aside(const QByteArray& content) {
    const QByteArray name = QByteArray::number(++files_);
    outside.write(name, content);
    return outside.abs(name);
  }
  TempTree t;
  TempTree outside;
  int files_ = 0;
};

}  // namespace

TEST_F(NamesCli, LineBreaksInNamesStayInsideOneLine) {
  outside.write("victim/x.php", kDirty);
  const QByteArray inside = "q\n" + outside.abs("victim/x.php");
  t.write(inside, kDirty);
  t.write("q", kDirty);
  t.write("c.php\r", kDirty);
  t.write("c.php", "clean");
  const Result scan = run({"scan", "--signature", kSig, "-j2", t.rootBytes()});
  ASSERT_EQ(scan.status, 1) << scan.err.toStdString();
  EXPECT_EQ(scan.out.count('\n'), 2) << scan.out.toStdString();
  EXPECT_FALSE(scan.out.contains('\r'));

  const Result clean = run({"clean", "--signature", kSig}, scan.out);
  EXPECT_EQ(clean.status, 0) << clean.err.toStdString();
  EXPECT_EQ(clean.out.count("清楚成功"), 2);
  EXPECT_EQ(t.read(inside), "ab");
  EXPECT_EQ(t.read("c.php\r"), "ab");
  EXPECT_EQ(outside.read("victim/x.php"), kDirty);
  EXPECT_EQ(t.read("q"), kDirty);
  EXPECT_EQ(t.read("c.php"), "clean");
}

TEST_F(NamesCli, NullSeparatedRoundTrip) {
  const QByteArray names[] = {
      "a.php",        "q\nb.php",         "c.php\r",  "\"d.php",         "e\x1b[2J.php",
      "\xB2\xE2.php", "\xE6\xB5\x8B.php", "\xFF.php", "back\\slash.php",
  };
  for (const QByteArray& n : names)
    t.write("sub/" + n, kDirty);
  const Result scan = run({"scan", "--signature", kSig, "-0", t.rootBytes()});
  ASSERT_EQ(scan.status, 1) << scan.err.toStdString();
  QList<QByteArray> listed = scan.out.split('\0');
  ASSERT_EQ(listed.takeLast(), QByteArray());  // every path ends in a NUL
  QList<QByteArray> expected;
  for (const QByteArray& n : names)
    expected.append(t.abs("sub/" + n));
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);

  const Result clean = run({"clean", "--null", "--signature", kSig}, scan.out);
  EXPECT_EQ(clean.status, 0) << clean.err.toStdString();
  EXPECT_FALSE(actsOnTerminal(clean.out)) << clean.out.toStdString();
  for (const QByteArray& n : names)
    EXPECT_EQ(t.read("sub/" + n), "ab") << n.toStdString();

  // Raw bytes are not written to a terminal.
  const Result tty = run({"scan", "--signature", kSig, "-0", t.rootBytes()}, {}, Tty::OutAndErr);
  EXPECT_EQ(tty.status, 2);
  EXPECT_TRUE(tty.terminal.contains("terminal")) << tty.terminal.toStdString();
  EXPECT_FALSE(tty.terminal.contains(t.rootBytes()));
}

TEST_F(NamesCli, TerminalNeverGetsAControlCharacter) {
  const QByteArray evil =
      "e\x1b]0;owned\x07\x1b[2J\xC2\x9B"
      "31m.php";
  t.write(evil, kDirty);
  for (int i = 0; i < 50; ++i)
    t.write("f" + QByteArray::number(i) + "\x1b[1A.php", "x");
  // Scan output and progress line on one terminal.
  Result r = run({"scan", "--signature", kSig, t.rootBytes()}, {}, Tty::OutAndErr);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.terminal.contains(".php")) << r.terminal.toStdString();
  EXPECT_FALSE(actsOnTerminal(r.terminal)) << r.terminal.toStdString();
  // The clean's log and its message, from a log holding the raw name and a
  // missing file with another sequence in its name.
  const QByteArray log = t.abs(evil) + "\n" + t.abs("gone\x1b[5m") + "\n";
  r = run({"clean", "--signature", kSig, aside(log)}, {}, Tty::OutAndErr);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(t.read(evil), "ab");
  EXPECT_TRUE(r.terminal.contains("gone")) << r.terminal.toStdString();
  EXPECT_FALSE(actsOnTerminal(r.terminal)) << r.terminal.toStdString();
  // Usage errors and unreadable files named on the command line.
  for (const std::vector<QByteArray>& args : std::vector<std::vector<QByteArray>>{
           {"scan", "--signature", kSig, "--bogus\x1b[31m", t.rootBytes()},
           {"clean", "--signature", kSig, t.abs("none\x1b[31m")},
           {"scan", "--signature-file",
            t.abs("none\x9b"
                  "31m"),
            t.rootBytes()},
       }) {
    r = run(args, {}, Tty::OutAndErr);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.terminal.contains("none") || r.terminal.contains("bogus"));
    EXPECT_FALSE(actsOnTerminal(r.terminal)) << r.terminal.toStdString();
  }
}

TEST_F(NamesCli, SignatureFileMustBeWholeUtf8) {
  t.write("a.php", "x<iframe>y");
  t.write("b.php", "x<iframe>\xD6\xD0y");  // the whole signature: 中 in GBK
  // The last character cut off: refused, not shortened to "<iframe>".
  const QByteArray cut = aside("<iframe>\xE4\xB8");
  for (const std::vector<QByteArray>& args : std::vector<std::vector<QByteArray>>{
           {"scan", "--signature-file", cut, t.rootBytes()},
           {"clean", "--signature-file", cut},
       }) {
    const Result r = run(args, t.abs("a.php") + "\n");
    EXPECT_EQ(r.status, 2) << args[0].toStdString();
    EXPECT_EQ(r.out, "") << args[0].toStdString();
    EXPECT_TRUE(r.err.contains("cut off")) << r.err.toStdString();
  }
  EXPECT_EQ(t.read("a.php"), "x<iframe>y");
  const Result whole =
      run({"scan", "--signature-file", aside("<iframe>\xE4\xB8\xAD"), t.rootBytes()});
  EXPECT_EQ(whole.out, t.abs("b.php") + "\n");
  // A file of exactly the limit is a signature; one byte more is not.
  const QByteArray big(1024 * 1024, 'z');
  EXPECT_EQ(run({"scan", "--signature-file", aside(big), t.rootBytes()}).status, 0);
  const Result tooBig = run({"scan", "--signature-file", aside(big + "z"), t.rootBytes()});
  EXPECT_EQ(tooBig.status, 2);
  EXPECT_TRUE(tooBig.err.contains("1 MiB")) << tooBig.err.toStdString();
}

TEST_F(NamesCli, EndlessInputEndsInBoundedTimeAndMemory) {
  t.write("a.php", kDirty);
  const std::vector<std::vector<QByteArray>> cases = {
      {"scan", "--signature-file", "/dev/zero", t.rootBytes()},
      {"clean", "--signature", kSig, "/dev/zero"},
      {"clean", "--signature-file", "/dev/zero", aside(t.abs("a.php"))},
  };
  for (const auto& args : cases) {
    const Result r = run(args, {}, Tty::None, 30);
    EXPECT_EQ(r.status, 2) << args[1].toStdString();
    EXPECT_LT(r.maxRssKb, 100 * 1024) << args[1].toStdString();
    EXPECT_NE(r.err, "");
  }
  EXPECT_EQ(t.read("a.php"), kDirty);
  // A log line longer than the limit ends the clean there, with its number.
  const Result r = run({"clean", "--signature", kSig},
                       t.abs("a.php") + "\n" + QByteArray(5 * 1024 * 1024, 'x') + "\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("line 2")) << r.err.left(200).toStdString();
  EXPECT_EQ(t.read("a.php"), "ab");
}

// A name can hold a line that reads as the program's own, or a sequence that
// retitles the terminal: no command shows either, from the scan to the restore
// and the list of runs.
TEST_F(NamesCli, NoCommandLetsANameForgeALineOrReachTheTerminal) {
  const QByteArray forged = "tervane-cli: all files verified clean, nothing to do";
  const QByteArray folder = "x\n" + forged;
  const QByteArray titled = "e\x1b]0;owned\x07.php";
  t.write(folder + "/a.php", kDirty);
  t.write(titled, kDirty);
  auto forges = [&](const QByteArray& shown) {
    for (const QByteArray& line : QByteArray(shown).replace("\r\n", "\n").split('\n')) {
      if (line.startsWith(forged) || line.endsWith(forged))
        return true;
    }
    return false;
  };
  auto check = [&](const Result& r, const char* what) {
    const QByteArray all = r.out + r.err + r.terminal;
    EXPECT_FALSE(forges(all)) << what << ": " << all.toStdString();
    EXPECT_FALSE(actsOnTerminal(all)) << what << ": " << all.toStdString();
    EXPECT_FALSE(all.contains("\x1b]")) << what;
  };

  const Result scan = run({"scan", "--signature", kSig, t.rootBytes()});
  ASSERT_EQ(scan.status, 1) << scan.err.toStdString();
  EXPECT_EQ(scan.out.count('\n'), 2) << scan.out.toStdString();
  check(scan, "scan");
  check(run({"scan", "--signature", kSig, t.rootBytes()}, {}, Tty::OutAndErr), "scan on a tty");
  check(run({"clean", "--signature", kSig, "--dry-run"}, scan.out, Tty::OutAndErr), "dry run");

  const Result clean = run({"clean", "--signature", kSig}, scan.out, Tty::OutAndErr);
  EXPECT_EQ(clean.status, 0) << clean.terminal.toStdString();
  check(clean, "clean");
  EXPECT_EQ(t.read(folder + "/a.php"), "ab");
  EXPECT_EQ(t.read(titled), "ab");

  // Restore names each file by its one line, also on a terminal.
  const Result restore = run({"restore"}, {}, Tty::OutAndErr);
  EXPECT_EQ(restore.status, 0) << restore.terminal.toStdString();
  check(restore, "restore");
  EXPECT_TRUE(restore.terminal.contains(R"(e\x1B]0;owned\a.php")"))
      << restore.terminal.toStdString();
  EXPECT_TRUE(restore.terminal.contains(R"(/x\ntervane-cli: all files)"))
      << restore.terminal.toStdString();
  EXPECT_EQ(t.read(folder + "/a.php"), kDirty);
  EXPECT_EQ(t.read(titled), kDirty);

  // A second restore finds the files edited since the clean (they hold their
  // originals): still one line each.
  const Result again = run({"restore", "--json"}, {}, Tty::OutAndErr);
  check(again, "restore again");
  check(run({"backups"}, {}, Tty::OutAndErr), "backups");

  // A file the clean cannot find: the message names it by its line.
  const Result refused =
      run({"clean", "--signature", kSig},
          platform::lineOfBytes(t.abs(folder + "/gone.php")).toUtf8() + "\n", Tty::OutAndErr);
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(refused.terminal.contains(
      R"(/x\ntervane-cli: all files verified clean, nothing to do/gone.php")"))
      << refused.terminal.toStdString();
  check(refused, "refused clean");
}

// Names that differ only in characters that show as nothing print as different
// lines, and the clean reads each line back to the file it names, no other.
TEST_F(NamesCli, InvisibleCharactersNeverMakeTwoNamesPrintAlike) {
  const QByteArray marks[] = {
      "\xE2\x80\x8B", "\xEF\xBB\xBF",     "\xC2\xAD",
      "\xE2\x81\xA0", "\xF3\xA0\x81\x81", "\xE1\xA0\x8E",
      "\xE3\x85\xA4", "\xCD\x8F",         "",
  };
  for (const QByteArray& m : marks)
    t.write("index" + m + ".php", kDirty);
  const Result scan = run({"scan", "--signature", kSig, t.rootBytes()});
  ASSERT_EQ(scan.status, 1) << scan.err.toStdString();
  QList<QByteArray> lines = scan.out.split('\n');
  lines.removeLast();
  ASSERT_EQ(lines.size(), qsizetype(std::size(marks)));
  EXPECT_EQ(QSet<QByteArray>(lines.begin(), lines.end()).size(), lines.size())
      << scan.out.toStdString();
  EXPECT_TRUE(lines.contains(t.abs("index.php")));
  EXPECT_TRUE(scan.out.contains(R"(index\u{E0041}.php")")) << scan.out.toStdString();
  // One line at a time: only the file it names changes.
  for (const QByteArray& line : lines) {
    const Result clean = run({"clean", "--signature", kSig, "--no-backup"}, line + "\n");
    EXPECT_EQ(clean.status, 0) << line.toStdString() << clean.err.toStdString();
    EXPECT_TRUE(clean.out.startsWith(line + "\n")) << clean.out.toStdString();
    int cleaned = 0;
    for (const QByteArray& m : marks)
      cleaned += t.read("index" + m + ".php") == "ab" ? 1 : 0;
    EXPECT_EQ(cleaned, lines.indexOf(line) + 1) << line.toStdString();
  }
}
