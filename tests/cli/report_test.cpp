// The command line's report, preview and report-driven clean, run in-process:
// scan --json read back with a JSON parser, clean --dry-run, clean --report, and
// files the scan may not read.
#include "cli/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>

#include <cstring>

#include "cli/common.h"
#include "platform/pathjson.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;

namespace {

struct Result {
  QByteArray out;
  QByteArray err;
  int status = -1;
};

QByteArray slurp(int fd) {
  QByteArray data;
  ::lseek(fd, 0, SEEK_SET);
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    data.append(buf, n);
  return data;
}

// Runs one command of tervane-cli in this process; the scan's current directory
// is put back afterwards.
Result run(const std::vector<QByteArray>& args) {
  QTemporaryFile outFile;
  QTemporaryFile errFile;
  if (!outFile.open() || !errFile.open())
    throw std::runtime_error("no temporary file");
  QStringList list{u"tervane-cli"_s};
  for (const QByteArray& a : args)
    list.append(platform::decodePath(a));
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd))
    throw std::runtime_error("no current directory");
  cli::Sink out(outFile.handle());
  cli::Sink err(errFile.handle());
  Result r;
  r.status = cli::run(list, out, err);
  if (::chdir(cwd) != 0)
    throw std::runtime_error("cannot go back");
  r.out = slurp(outFile.handle());
  r.err = slurp(errFile.handle());
  return r;
}

QList<QJsonObject> parseLines(const QByteArray& jsonLines) {
  QList<QJsonObject> objects;
  for (const QByteArray& line : jsonLines.split('\n')) {
    if (line.isEmpty())
      continue;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    EXPECT_TRUE(doc.isObject()) << line.toStdString();
    objects.append(doc.object());
  }
  return objects;
}

QByteArray readFile(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return "(cannot read)";
  const QByteArray data = slurp(fd);
  ::close(fd);
  return data;
}

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.constData(), &st), 0) << path.toStdString();
  return st;
}

const QByteArray kSig = "<iframe src=http://x.example/ width=0 height=0>";

class Report : public ::testing::Test {
 protected:
  QByteArray root() const { return t.rootBytes(); }
  std::vector<QByteArray> withSig(std::vector<QByteArray> args) const {
    args.insert(args.begin() + 1, {"--signature", kSig});
    return args;
  }
  // A file holding the report, outside the tree.
  QByteArray saved(const QByteArray& content) {
    const QByteArray path = aside.abs("report.jsonl");
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.constData(), std::size_t(content.size())), content.size());
    ::close(fd);
    return path;
  }
  TempTree t;
  TempTree aside;
};

}  // namespace

TEST_F(Report, ScanJsonGivesEachFoundFileItsOffsetsAndIdentity) {
  const QByteArray gbkName = "\xD6\xD0\xCE\xC4.php";  // GBK, not UTF-8
  t.write("a.php", "<p>" + kSig + "</p>\r\n<b>" + kSig + "</b>");
  t.write("sub/" + gbkName, "\xD6\xD0" + kSig);
  t.write("clean.php", "<p></p>");
  t.write("notes.txt", kSig);  // not in the filter
  for (const char* j : {"1", "3"}) {
    const Result r = run(withSig({"scan", "--json", "-j", j, root()}));
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_EQ(r.err, "");
    const QList<QJsonObject> objects = parseLines(r.out);
    ASSERT_EQ(objects.size(), 3) << r.out.toStdString();
    QList<QByteArray> paths;
    for (qsizetype i = 0; i < 2; ++i) {
      const QJsonObject& o = objects[i];
      EXPECT_EQ(o.value(u"type"_s), u"detection"_s);
      const std::optional<QByteArray> path = platform::takePath(o);
      ASSERT_TRUE(path);
      paths.append(*path);
      // Every offset points at the signature in the file's bytes.
      const QByteArray bytes = readFile(*path);
      const QJsonArray offsets = o.value(u"offsets"_s).toArray();
      const QJsonArray lengths = o.value(u"lengths"_s).toArray();
      EXPECT_EQ(o.value(u"occurrences"_s).toInteger(), offsets.size());
      ASSERT_EQ(offsets.size(), lengths.size());
      for (qsizetype k = 0; k < offsets.size(); ++k)
        EXPECT_EQ(bytes.mid(offsets[k].toInteger(), lengths[k].toInteger()), kSig);
      const struct stat st = statOf(*path);
      EXPECT_EQ(o.value(u"size"_s).toInteger(), st.st_size);
      EXPECT_EQ(o.value(u"device"_s).toInteger(), qint64(st.st_dev));
      EXPECT_EQ(o.value(u"inode"_s).toInteger(), qint64(st.st_ino));
      EXPECT_EQ(o.value(u"uid"_s).toInteger(), qint64(st.st_uid));
      EXPECT_EQ(o.value(u"mode"_s), u"0644"_s);
      EXPECT_EQ(o.value(u"mtime"_s), cli::isoTime(st.st_mtim));
      EXPECT_EQ(o.value(u"ctime"_s), cli::isoTime(st.st_ctim));
    }
    // In walk order; the name that is not UTF-8 comes back byte for byte.
    EXPECT_EQ(paths, (QList<QByteArray>{t.abs("a.php"), t.abs("sub/" + gbkName)}));
    EXPECT_EQ(objects[0].value(u"offsets"_s).toArray(), (QJsonArray{3, 3 + kSig.size() + 9}));
    EXPECT_TRUE(objects[1].contains(u"path_bytes"_s));
    const QJsonObject& summary = objects[2];
    EXPECT_EQ(summary.value(u"type"_s), u"summary"_s);
    EXPECT_EQ(summary.value(u"files_visited"_s).toInteger(), 4);
    EXPECT_EQ(summary.value(u"files_tested"_s).toInteger(), 3);
    EXPECT_EQ(summary.value(u"files_found"_s).toInteger(), 2);
    EXPECT_EQ(summary.value(u"files_unreadable"_s).toInteger(), 0);
    EXPECT_GE(summary.value(u"bytes_read"_s).toInteger(), 7);
    EXPECT_GE(summary.value(u"seconds"_s).toDouble(), 0.0);
  }
}

TEST_F(Report, DryRunChangesNoByteAndNoTime) {
  const QByteArray page = "<p>" + kSig + "</p>" + kSig;
  t.write("a.php", page);
  t.write("b.php", "<p></p>");
  // Access times older than the change: a plain read would move them forward.
  for (const char* f : {"a.php", "b.php"}) {
    const timespec times[2] = {{1000000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, t.abs(f).constData(), times, 0), 0);
  }
  const struct stat before = statOf(t.abs("a.php"));
  const QByteArray log = t.abs("a.php") + '\n' + t.abs("b.php") + '\n';
  const Result r = run(withSig({"clean", "--dry-run", saved(log)}));
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  const QByteArray first = QByteArray::number(3 + kSig.size() + 4);
  EXPECT_EQ(r.out, t.abs("a.php") + ": 2 to remove, bytes 3-" +
                       QByteArray::number(kSig.size() + 2) + " " + first + "-" +
                       QByteArray::number(first.toLongLong() + kSig.size() - 1) + "\n" +
                       t.abs("b.php") + ": unchanged\n");
  const struct stat after = statOf(t.abs("a.php"));
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  EXPECT_EQ(after.st_ino, before.st_ino);
  if (::geteuid() == 0 || before.st_uid == ::geteuid()) {  // O_NOATIME is the owner's
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
  }
  EXPECT_EQ(readFile(t.abs("a.php")), page);

  const Result j = run(withSig({"clean", "--dry-run", "--json", saved(log)}));
  const QList<QJsonObject> objects = parseLines(j.out);
  ASSERT_EQ(objects.size(), 3);
  EXPECT_EQ(objects[0].value(u"outcome"_s), u"would-clean"_s);
  EXPECT_EQ(objects[0].value(u"occurrences"_s).toInteger(), 2);
  EXPECT_EQ(objects[1].value(u"outcome"_s), u"unchanged"_s);
  EXPECT_EQ(objects[2].value(u"files_changing"_s).toInteger(), 1);
  EXPECT_EQ(readFile(t.abs("a.php")), page);
}

TEST_F(Report, CleanWithTheReportRefusesAFileSwappedSinceTheScan) {
  t.write("a.php", "<p>" + kSig + "</p>");
  t.write("b.php", "<b>" + kSig + "</b>");
  const Result scan = run(withSig({"scan", "--json", root()}));
  ASSERT_EQ(scan.status, 1);
  const QByteArray report = saved(scan.out);

  // Another infected file put in b.php's place: the clean must not touch it.
  const QByteArray swapped = "<i>" + kSig + "</i>";
  t.write("b2.php", swapped);
  ASSERT_EQ(::rename(t.abs("b2.php").constData(), t.abs("b.php").constData()), 0);
  const Result r = run(withSig({"clean", "--json", "--report", report}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(readFile(t.abs("a.php")), "<p></p>");
  EXPECT_EQ(readFile(t.abs("b.php")), swapped);
  const QList<QJsonObject> objects = parseLines(r.out);
  // The two files, then the summary.
  ASSERT_EQ(objects.size(), 3) << r.out.toStdString();
  EXPECT_EQ(objects[0].value(u"outcome"_s), u"cleaned"_s);
  EXPECT_EQ(objects[0].value(u"occurrences"_s).toInteger(), 1);
  EXPECT_EQ(objects[1].value(u"outcome"_s), u"failed"_s);
  EXPECT_EQ(objects[2].value(u"type"_s), u"summary"_s);
  EXPECT_EQ(objects[2].value(u"files_cleaned"_s).toInteger(), 1);
  EXPECT_EQ(objects[2].value(u"files_failed"_s).toInteger(), 1);
  EXPECT_NE(r.err, "");

  // The preview applies the same check.
  const Result dry = run(withSig({"clean", "--dry-run", "--report", report}));
  EXPECT_EQ(dry.status, 2);
  EXPECT_TRUE(dry.err.contains(t.abs("b.php"))) << dry.err.toStdString();

  // A report that is not one gives an error and changes nothing.
  const Result bad = run(withSig({"clean", "--report", saved("{\"type\":\"detection\"}\n")}));
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(readFile(t.abs("b.php")), swapped);
}

TEST_F(Report, UnreadableFilesAreNamedOnStandardErrorAndOutrankAFind) {
  t.write("a.php", kSig);
  t.write("b.php", kSig);
  t.chmod("a.php", 0);
  const int rc = runUnprivileged([&] {
    const Result plain = run(withSig({"scan", root()}));
    const Result json = run(withSig({"scan", "--json", root()}));
    const QList<QJsonObject> objects = parseLines(json.out);
    const bool ok =
        plain.status == 2 && plain.out == t.abs("b.php") + '\n' &&
        plain.err == "tervane-cli: " + t.abs("a.php") + ": " + std::strerror(EACCES) + "\n" &&
        json.status == 2 && objects.size() == 3 && objects[1].value(u"type"_s) == u"unreadable"_s &&
        platform::takePath(objects[1]) == t.abs("a.php") &&
        objects[2].value(u"files_unreadable"_s).toInteger() == 1;
    if (!ok) {
      std::fprintf(stderr, "%d %s|%s\n%s\n", plain.status, plain.out.constData(),
                   plain.err.constData(), json.out.constData());
    }
    return ok ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}
