// Signature sets through tervane-cli, run in this process: the set file's
// faults named by file, line and field; hostile set files refused with bounded
// memory; a set scanned, dry-run, cleaned and restored byte for byte.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <thread>

#include "clean/backupstore.h"
#include "cli/common.h"
#include "engine/setcache.h"
#include "engine/signaturesetfile.h"
#include "inprocess.h"
#include "scan/filematch.h"
#include "scan/signaturesetmatch.h"
#include "testsupport.h"
#include "text/signatureset.h"

using namespace Qt::StringLiterals;

namespace {

using Ran = inprocess::CliRun;

Ran run(const QStringList& args) {
  return inprocess::runCli(args);
}

QList<QJsonObject> jsonLines(const QByteArray& out) {
  QList<QJsonObject> lines;
  for (const QByteArray& line : out.split('\n')) {
    if (!line.isEmpty())
      lines.append(QJsonDocument::fromJson(line).object());
  }
  return lines;
}

QString errorOf(const QByteArray& content, signatures::Limits limits = {}) {
  signatures::Builder b(limits);
  EXPECT_FALSE(b.addJsonLines(content, u"set.jsonl"_s)) << content.constData();
  return b.error();
}

}  // namespace

// The action goes with its member through the set's one text, to the clean.
TEST(SignatureSetFile, EachMembersActionTravelsWithTheSet) {
  signatures::Builder b;
  ASSERT_TRUE(
      b.addJsonLines("{\"name\":\"shell\",\"text\":\"@eval(\",\"action\":\"quarantine\"}\n"
                     "{\"name\":\"frame\",\"text\":\"<iframe\",\"action\":\"remove\"}\n"
                     "{\"name\":\"js\",\"text\":\"<script\"}\n",
                     u"set.jsonl"_s))
      << b.error().toStdString();
  const std::vector<text::SetMember> back = text::unpackSignatureSet(b.text());
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].name, u"shell"_s);
  EXPECT_EQ(back[0].action, text::MemberAction::Quarantine);
  EXPECT_EQ(back[1].action, text::MemberAction::Remove);
  EXPECT_EQ(back[2].action, text::MemberAction::Remove);
  EXPECT_TRUE(text::anyQuarantines(b.text()));
  // The mark is reserved: no name or text may forge it.
  EXPECT_TRUE(errorOf("{\"name\":\"\\ufdd2a\",\"text\":\"x\"}\n").contains(u"field \"name\""_s));
}

TEST(SignatureSetFile, FaultsNameTheFileTheLineAndTheField) {
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":\"x\"}\n{\"name\":\"a\",\"text\":\"y\"}\n"),
            u"set.jsonl:2: field \"name\" \"a\" is a duplicate (first at set.jsonl:1)"_s);
  EXPECT_EQ(errorOf("\n{\"name\":\"a\",\"text\":\"   \"}\n"),
            u"set.jsonl:2: field \"text\" is empty"_s);
  EXPECT_TRUE(
      errorOf("{\"name\":\"a\",\"text\":\"x\"\n").startsWith(u"set.jsonl:1: invalid JSON: "_s));
  EXPECT_EQ(errorOf("[1]\n"),
            u"set.jsonl:1: invalid JSON: each line is one object with \"name\" and \"text\""_s);
  EXPECT_TRUE(errorOf("{\"name\":\"a\",\"text\":\"x\xFF\"}\n")
                  .startsWith(u"set.jsonl:1: field \"text\": not valid UTF-8"_s));
  EXPECT_TRUE(errorOf("{\"name\":\"a\xC3\",\"text\":\"x\"}\n")
                  .startsWith(u"set.jsonl:1: field \"name\": not valid UTF-8"_s));
  EXPECT_EQ(
      errorOf("{\"name\":\"a\",\"text\":\"x\\ud800\"}\n"),
      u"set.jsonl:1: field \"text\" is not valid UTF-8 (it holds half of a surrogate pair)"_s);
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"txt\":\"x\"}\n"),
            u"set.jsonl:1: field \"txt\" is not one of name, text, action, comment"_s);
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":\"x\"}\n{\"name\":\"b\",\"text\":\"y\",\"action\":"
                    "\"Quarantine\"}\n"),
            u"set.jsonl:2: field \"action\" is \"Quarantine\", not \"remove\" or \"quarantine\""_s);
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":\"x\",\"action\":true}\n"),
            u"set.jsonl:1: field \"action\" is not a string"_s);
  EXPECT_EQ(errorOf("{\"text\":\"x\"}\n"), u"set.jsonl:1: field \"name\" is missing"_s);
  EXPECT_EQ(errorOf("{\"name\":\"a\"}\n"), u"set.jsonl:1: field \"text\" is missing"_s);
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":7}\n"),
            u"set.jsonl:1: field \"text\" is not a string"_s);
  EXPECT_EQ(
      errorOf("{\"name\":\"a\\n\",\"text\":\"x\"}\n"),
      u"set.jsonl:1: field \"name\" holds a control character or a character that is not text"_s);
  // C1 (a terminal's CSI), a bidirectional override, an invisible format
  // character: each could change what a terminal or report shows.
  for (const char* name : {"a\\u009b[2J", "a\\u202etxt", "a\\u200b", "\\u007f"})
    EXPECT_EQ(errorOf("{\"name\":\""_ba + name + "\",\"text\":\"x\"}\n"),
              u"set.jsonl:1: field \"name\" holds a control character or a character that is not "
              u"text"_s)
        << name;
  // Names that differ only in case or by an invisible character are one name.
  EXPECT_EQ(
      errorOf("{\"name\":\"Abc\",\"text\":\"x\"}\n{\"name\":\"aBC\\u034f\",\"text\":\"y\"}\n"),
      u"set.jsonl:2: field \"name\" \"aBC\u034F\" is a duplicate (first at set.jsonl:1)"_s);
  // A raw NUL inside a string is not JSON.
  EXPECT_EQ(errorOf(QByteArray("{\"name\":\"a\",\"text\":\"x\0y\"}\n", 26)),
            u"set.jsonl:1: field \"text\": invalid JSON: raw control character in a string at "
            u"byte 22"_s);
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":\"x\\ufdd1\"}\n"),
            u"set.jsonl:1: field \"text\" holds U+FDD0 or U+FDD1, which are not text"_s);
  signatures::Limits small;
  small.members = 2;
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":\"x\"}\n{\"name\":\"b\",\"text\":\"y\"}\n"
                    "{\"name\":\"c\",\"text\":\"z\"}\n",
                    small),
            u"set.jsonl:3: more than 2 signatures, the most a set may hold"_s);
  small.textChars = 4;
  EXPECT_EQ(errorOf("{\"name\":\"a\",\"text\":\"12345\"}\n", small),
            u"set.jsonl:1: field \"text\" is longer than 4 characters"_s);
}

TEST(SignatureSetFile, TextsAreTrimmedAndLowerCasedLineEndsKept) {
  signatures::Builder b;
  ASSERT_TRUE(
      b.addJsonLines("\xEF\xBB\xBF{\"name\":\"x\",\"text\":\"  <IFRAME\\r\\nA> \","
                     "\"comment\":\"wave 1\"}\r\n\r\n{\"name\":\"y\",\"text\":\"木马\"}",
                     u"f"_s))
      << b.error().toStdString();
  ASSERT_EQ(b.members().size(), 2u);
  EXPECT_EQ(b.members()[0].name, u"x"_s);
  EXPECT_EQ(b.members()[0].signature, u"<iframe\r\na>"_s);
  EXPECT_EQ(b.members()[1].signature, u"木马"_s);
  // Escapes read as JSON reads them, in keys too, whichever parser takes the line.
  signatures::Builder e;
  ASSERT_TRUE(
      e.addJsonLines("{\"na\\u006de\":\"\\u0041\\/b\",\"text\":\"\\ud83d\\ude00 "
                     "\\\"Q\\\"\\t\\\\\\u00C9\",\"action\":\"quarantine\"}",
                     u"f"_s))
      << e.error().toStdString();
  ASSERT_EQ(e.members().size(), 1u);
  EXPECT_EQ(e.members()[0].name, u"A/b"_s);
  EXPECT_EQ(e.members()[0].signature, u"\U0001F600 \"q\"\t\\\u00E9"_s);
  EXPECT_EQ(e.members()[0].action, text::MemberAction::Quarantine);
}

TEST(SignatureSetCli, AFailedSetSearchIsNeverNothingFound) {
  TempTree t;
  t.write("site/a.htm", "<iframe src=x>");
  t.write("set.jsonl",
          "{\"name\":\"frame\",\"text\":\"<iframe src=x>\"}\n"
          "{\"name\":\"eval\",\"text\":\"eval(base64_decode(\"}\n");
  for (const scan::SetSearchStep step : {scan::SetSearchStep::Scratch, scan::SetSearchStep::Scan}) {
    scan::failSetSearchAt(step);
    const Ran r = run({u"scan"_s, u"--filter"_s, u"*.htm"_s, u"--json"_s, u"--signatures"_s,
                       t.path("set.jsonl"), t.path("site")});
    scan::failSetSearchAt(std::nullopt);
    EXPECT_EQ(r.status, 2) << int(step);
    EXPECT_TRUE(r.err.contains(t.path("site/a.htm").toUtf8() + ": ")) << r.err.constData();
    bool named = false;
    for (const QJsonObject& o : jsonLines(r.out))
      named = named || (o.value(u"path"_s).toString() == t.path("site/a.htm") &&
                        o.contains(u"error"_s) && o.value(u"type"_s) != u"detection"_s);
    EXPECT_TRUE(named) << r.out.constData();
  }
  // Without the fault, the same scan finds it.
  const Ran found = run({u"scan"_s, u"--filter"_s, u"*.htm"_s, u"--signatures"_s,
                         t.path("set.jsonl"), t.path("site")});
  EXPECT_EQ(found.status, 1) << found.err.constData();
  EXPECT_TRUE(found.out.contains("a.htm"));
}

// The database of the members' forms of another length is compiled only when
// a file holds one (here the Kelvin sign, which lower-cases to "k"): a failed
// compile then names that file, exit 2, and a file that needs no such search
// is still found.
TEST(SignatureSetCli, ALateCompileFailureIsNeverNothingFound) {
  TempTree t;
  t.write("site/a.htm", "x\xE2\x84\xAAit");
  t.write("site/b.htm", "<p>zzq");
  t.write("set.jsonl",
          "{\"name\":\"kit\",\"text\":\"kit\"}\n"
          "{\"name\":\"zzq\",\"text\":\"zzq\"}\n");
  const QStringList args{u"scan"_s, u"--filter"_s,     u"*.htm"_s,          u"--json"_s,   u"-j"_s,
                         u"1"_s,    u"--signatures"_s, t.path("set.jsonl"), t.path("site")};
  scan::failSetSearchAt(scan::SetSearchStep::LateCompile);
  const Ran r = run(args);
  scan::failSetSearchAt(std::nullopt);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains(t.path("site/a.htm").toUtf8() + ": ")) << r.err.constData();
  bool named = false;
  bool foundB = false;
  for (const QJsonObject& o : jsonLines(r.out)) {
    const QString path = o.value(u"path"_s).toString();
    EXPECT_FALSE(path == t.path("site/a.htm") && o.value(u"type"_s) == u"detection"_s);
    named = named || (path == t.path("site/a.htm") && o.contains(u"error"_s));
    foundB = foundB || (path == t.path("site/b.htm") && o.value(u"type"_s) == u"detection"_s);
  }
  EXPECT_TRUE(named) << r.out.constData();
  EXPECT_TRUE(foundB) << r.out.constData();
}

// A set whose search cannot be built is refused by the scan, nothing listed,
// and every file of it is an error to any other caller: never a clean tree.
TEST(SignatureSetCli, ASetThatCannotBeBuiltIsRefused) {
  TempTree t;
  t.write("site/a.htm", "<iframe src=q>");
  t.write("set.jsonl",
          "{\"name\":\"frame\",\"text\":\"<iframe src=q>\"}\n"
          "{\"name\":\"other\",\"text\":\"qqq unbuilt\"}\n");
  scan::failSetSearchAt(scan::SetSearchStep::Build);
  const Ran r = run({u"scan"_s, u"--filter"_s, u"*.htm"_s, u"--json"_s, u"--no-cache"_s,
                     u"--signatures"_s, t.path("set.jsonl"), t.path("site")});
  const scan::SignatureMatcher m(
      text::packSignatureSet({{u"a"_s, u"<iframe src=q>"_s}, {u"b"_s, u"qqq unbuilt 2"_s}}));
  const scan::MatchResult direct = m.matchFile(t.path("site/a.htm").toUtf8());
  scan::failSetSearchAt(std::nullopt);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.contains("the signature set cannot be searched: made to fail"))
      << r.err.constData();
  EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
  EXPECT_EQ(direct, scan::MatchResult::Error);
}

TEST(SignatureSetCli, HostileSetFilesAreRefusedWithBoundedMemory) {
  TempTree t;
  t.write("site/a.htm", "x");
  // /dev/zero is read up to the limit and no further.
  Ran r = run({u"scan"_s, u"--signatures"_s, u"/dev/zero"_s, t.path("site")});
  EXPECT_EQ(r.status, cli::kError);
  EXPECT_TRUE(r.err.contains("/dev/zero: larger than 33554432 bytes")) << r.err.constData();
  // More members than a set may hold: refused at the first one too many.
  QByteArray many;
  for (int i = 0; i <= 100'000; ++i)
    many += "{\"name\":\"n" + QByteArray::number(i) + "\",\"text\":\"t" + QByteArray::number(i) +
            "\"}\n";
  t.write("many.jsonl", many);
  r = run({u"scan"_s, u"--signatures"_s, t.path("many.jsonl"), t.path("site")});
  EXPECT_EQ(r.status, cli::kError);
  EXPECT_TRUE(r.err.contains("many.jsonl:100001: more than 100000 signatures"))
      << r.err.constData();
  // A file larger than the limit, whatever it holds (sparse: nothing is written).
  t.write("big.jsonl", "");
  ASSERT_EQ(::truncate(t.abs("big.jsonl").constData(), 40 * 1024 * 1024), 0);
  r = run({u"scan"_s, u"--signatures"_s, t.path("big.jsonl"), t.path("site")});
  EXPECT_EQ(r.status, cli::kError);
  EXPECT_TRUE(r.err.contains("larger than 33554432 bytes")) << r.err.constData();
  // A FIFO is read like any stream (a shell's <(jq ...) is one).
  ASSERT_EQ(::mkfifo(t.abs("fifo").constData(), 0600), 0);
  std::thread writer([&] { t.write("fifo", "{\"name\":\"x\",\"text\":\"X\"}\n"); });
  r = run({u"scan"_s, u"--filter"_s, u".htm"_s, u"--signatures"_s, t.path("fifo"), t.path("site")});
  writer.join();
  EXPECT_EQ(r.status, cli::kFound) << r.err.constData();
}

class SignatureSetRun : public ::testing::Test {
 protected:
  ~SignatureSetRun() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& name : s.runs())
        (void)clean::removeRun(s.fd(), name);
    }
  }
  TempTree t;
};

void scannedDryRunCleanedAndRestored(const TempTree& t);

ino_t inodeOf(const QByteArray& path) {
  struct stat st;
  return ::lstat(path.constData(), &st) == 0 ? st.st_ino : 0;
}

// Every command but the first reads the set from the set cache: run twice, the
// first time from an empty cache (cold), the second with the set kept (warm).
TEST_F(SignatureSetRun, ScannedDryRunCleanedAndRestoredByteForByte) {
  QDir(QString::fromLocal8Bit(engine::SetCache::path())).removeRecursively();
  ino_t kept = 0;
  for (const bool warm : {false, true}) {
    SCOPED_TRACE(warm ? "warm" : "cold");
    scannedDryRunCleanedAndRestored(t);
    if (HasFatalFailure())
      return;
    // One entry, made by the first command of the cold round and never again.
    const QStringList entries = QDir(QString::fromLocal8Bit(engine::SetCache::path()))
                                    .entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(entries.size(), 1) << entries.join(u' ').toStdString();
    const ino_t now = inodeOf(engine::SetCache::path() + '/' + entries[0].toUtf8());
    EXPECT_TRUE(!warm || now == kept);
    kept = now;
  }
  // --no-cache neither reads nor keeps.
  QDir(QString::fromLocal8Bit(engine::SetCache::path())).removeRecursively();
  const Ran fresh = run({u"scan"_s, u"--no-cache"_s, u"--filter"_s, u".htm"_s, u"--signatures"_s,
                         t.path("set.jsonl"), t.path("site")});
  EXPECT_EQ(fresh.status, cli::kFound) << fresh.err.constData();
  EXPECT_FALSE(QDir(QString::fromLocal8Bit(engine::SetCache::path())).exists());
}

void scannedDryRunCleanedAndRestored(const TempTree& t) {
  // Overlapping members, one the prefix of another, a Chinese member, and a
  // file where that member lies only across a GBK character boundary.
  t.write("set.jsonl",
          "{\"name\":\"frame-long\",\"text\":\"<iframe src=x>\"}\n"
          "{\"name\":\"frame\",\"text\":\"<IFRAME\"}\n"
          "{\"name\":\"abc\",\"text\":\"abc\"}\n"
          "{\"name\":\"bcd\",\"text\":\"bcd\"}\n"
          "{\"name\":\"muma\",\"text\":\"木马\"}\n");
  const QByteArray a = "<p><iframe src=x> and <IFRAME y></p>\r\n";
  const QByteArray b = "xABCDx \xC4\xBE\xC2\xED\n";    // GBK: 木马
  const QByteArray trap = "\xB0\xC4\xBE\xC2\xED\xB0";  // 木马 straddles characters
  t.write("site/a.htm", a);
  t.write("site/b.htm", b);
  t.write("site/trap.htm", trap);
  const QStringList set{u"--signatures"_s, t.path("set.jsonl")};

  Ran scanned = run(QStringList{u"scan"_s, u"--filter"_s, u".htm"_s, u"--json"_s} + set +
                    QStringList{t.path("site")});
  ASSERT_EQ(scanned.status, cli::kFound) << scanned.err.constData();
  const QList<QJsonObject> report = jsonLines(scanned.out);
  ASSERT_EQ(report.size(), 3);  // two detections and the summary
  EXPECT_EQ(report[0].value(u"signatures"_s).toArray(), (QJsonArray{u"frame-long"_s, u"frame"_s}));
  EXPECT_EQ(report[1].value(u"signatures"_s).toArray(), (QJsonArray{u"abc"_s, u"muma"_s}));
  EXPECT_EQ(
      report[2].value(u"detections_by_signature"_s).toObject(),
      (QJsonObject{
          {u"frame-long"_s, 1}, {u"frame"_s, 1}, {u"abc"_s, 1}, {u"bcd"_s, 0}, {u"muma"_s, 1}}));

  // The plain log is one line per detection, as for one signature.
  const Ran plain =
      run(QStringList{u"scan"_s, u"--filter"_s, u".htm"_s} + set + QStringList{t.path("site")});
  EXPECT_EQ(plain.out, (t.path("site/a.htm") + u"\n"_s + t.path("site/b.htm") + u"\n"_s).toUtf8());
  t.write("log.txt", plain.out);

  const Ran dry =
      run(QStringList{u"clean"_s, u"--dry-run"_s} + set + QStringList{t.path("log.txt")});
  EXPECT_EQ(dry.status, cli::kOk) << dry.err.constData();
  EXPECT_TRUE(dry.out.contains("a.htm: 2 to remove, bytes 3-16 22-28 [frame-long, frame]"))
      << dry.out.constData();
  EXPECT_TRUE(dry.out.contains("b.htm: 2 to remove, bytes 1-3 7-10 [abc, muma]"))
      << dry.out.constData();
  EXPECT_EQ(t.read("site/a.htm"), a);

  const Ran cleaned = run(QStringList{u"clean"_s} + set + QStringList{t.path("log.txt")});
  ASSERT_EQ(cleaned.status, cli::kOk) << cleaned.err.constData();
  EXPECT_EQ(t.read("site/a.htm"), "<p> and  y></p>\r\n");
  EXPECT_EQ(t.read("site/b.htm"), "xDx \n");
  EXPECT_EQ(t.read("site/trap.htm"), trap);
  // A rescan with the same set finds nothing.
  EXPECT_EQ(
      run(QStringList{u"scan"_s, u"--filter"_s, u".htm"_s} + set + QStringList{t.path("site")})
          .status,
      cli::kOk);

  const Ran restored = run({u"restore"_s});
  ASSERT_EQ(restored.status, cli::kOk) << restored.err.constData();
  EXPECT_EQ(t.read("site/a.htm"), a);
  EXPECT_EQ(t.read("site/b.htm"), b);
}

// An incident's set through the command line: the dry run says which file goes
// and why, --json names the outcome, the log its line; --quarantine does it
// for one signature; neither goes without backups.
TEST_F(SignatureSetRun, AShellMemberQuarantinesThroughTheCommandLine) {
  t.write("set.jsonl",
          "{\"name\":\"frame\",\"text\":\"<iframe src=x>\"}\n"
          "{\"name\":\"shell\",\"text\":\"@eval($_POST[\",\"action\":\"quarantine\"}\n");
  const QByteArray shell = "<?php @eval($_POST['c']);?>";
  t.write("site/a.htm", "<p><iframe src=x></p>");
  t.write("site/up/c.php", shell);
  t.write("log.txt", (t.path("site/a.htm") + u"\n"_s + t.path("site/up/c.php") + u"\n"_s).toUtf8());
  const QStringList set{u"--signatures"_s, t.path("set.jsonl"), t.path("log.txt")};

  const Ran dry = run(QStringList{u"clean"_s, u"--dry-run"_s, u"--json"_s} + set);
  ASSERT_EQ(dry.status, cli::kOk) << dry.err.constData();
  const QList<QJsonObject> preview = jsonLines(dry.out);
  ASSERT_EQ(preview.size(), 3);
  EXPECT_EQ(preview[0].value(u"outcome"_s).toString(), u"would-clean"_s);
  EXPECT_EQ(preview[1].value(u"outcome"_s).toString(), u"would-quarantine"_s);
  EXPECT_EQ(preview[1].value(u"signature"_s).toString(), u"shell"_s);
  EXPECT_EQ(t.read("site/up/c.php"), shell);

  EXPECT_EQ(run(QStringList{u"clean"_s, u"--no-backup"_s} + set).status, cli::kError);
  EXPECT_EQ(t.read("site/up/c.php"), shell);

  const Ran cleaned = run(QStringList{u"clean"_s, u"--json"_s} + set);
  ASSERT_EQ(cleaned.status, cli::kOk) << cleaned.err.constData();
  const QList<QJsonObject> outcome = jsonLines(cleaned.out);
  ASSERT_EQ(outcome.size(), 3);
  EXPECT_EQ(outcome[0].value(u"outcome"_s).toString(), u"cleaned"_s);
  EXPECT_EQ(outcome[1].value(u"outcome"_s).toString(), u"quarantined"_s);
  EXPECT_EQ(outcome[2].value(u"files_quarantined"_s).toInt(), 1);
  EXPECT_NE(::access(t.abs("site/up/c.php").constData(), F_OK), 0);
  EXPECT_TRUE(run({u"backups"_s}).out.contains(" 1 quarantined "));
  ASSERT_EQ(run({u"restore"_s}).status, cli::kOk);
  EXPECT_EQ(t.read("site/up/c.php"), shell);

  // One signature, the whole file.
  t.write("one.txt", (t.path("site/up/c.php") + u"\n"_s).toUtf8());
  const Ran one =
      run({u"clean"_s, u"--quarantine"_s, u"--signature"_s, u"@EVAL("_s, t.path("one.txt")});
  ASSERT_EQ(one.status, cli::kOk) << one.err.constData();
  EXPECT_EQ(one.out, (t.path("site/up/c.php") + u"\n  已隔离！\n"_s).toUtf8());
  EXPECT_TRUE(one.err.contains("quarantined")) << one.err.constData();
  EXPECT_NE(::access(t.abs("site/up/c.php").constData(), F_OK), 0);
}

TEST_F(SignatureSetRun, RepeatedSignatureOptionsJoinOneSet) {
  t.write("site/a.htm", "one <b>");
  t.write("site/b.htm", "two <i>");
  t.write("site/c.htm", "three");
  t.write("sig.txt", "THREE");
  const Ran r =
      run({u"scan"_s, u"--filter"_s, u".htm"_s, u"--json"_s, u"--signature"_s, u"<b>"_s,
           u"--signature"_s, u"<I>"_s, u"--signature-file"_s, t.path("sig.txt"), t.path("site")});
  ASSERT_EQ(r.status, cli::kFound) << r.err.constData();
  const QList<QJsonObject> report = jsonLines(r.out);
  ASSERT_EQ(report.size(), 4);
  EXPECT_EQ(report[0].value(u"signatures"_s).toArray(), (QJsonArray{u"signature 1"_s}));
  EXPECT_EQ(report[1].value(u"signatures"_s).toArray(), (QJsonArray{u"signature 2"_s}));
  EXPECT_EQ(report[2].value(u"signatures"_s).toArray(), (QJsonArray{t.path("sig.txt")}));
  // The same text twice is one name twice: refused.
  const Ran twice = run({u"scan"_s, u"--signature-file"_s, t.path("sig.txt"), u"--signature-file"_s,
                         t.path("sig.txt"), t.path("site")});
  EXPECT_EQ(twice.status, cli::kError);
  EXPECT_TRUE(twice.err.contains("is a duplicate")) << twice.err.constData();
}

// A single signature that begins as a set's text is refused by name, not read
// as a set of other members (which found every file holding "c").
TEST_F(SignatureSetRun, ASignatureBeginningAsASetsTextIsRefused) {
  t.write("site/a.htm", "abc");
  t.write("sig.txt",
          "\xEF\xB7\x90\xEF\xB7\x91"
          "ab\xEF\xB7\x91"
          "c\xEF\xB7\x91");
  for (const QStringList& given : {QStringList{u"--signature"_s, u"\uFDD0\uFDD1ab\uFDD1c\uFDD1"_s},
                                   QStringList{u"--signature-file"_s, t.path("sig.txt")}}) {
    const Ran r =
        run(QStringList{u"scan"_s, u"--filter"_s, u".htm"_s} + given + QStringList{t.path("site")});
    EXPECT_EQ(r.status, cli::kError);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
    EXPECT_TRUE(r.err.contains("begins with U+FDD0 U+FDD1")) << r.err.constData();
  }
}
