// The backup store a clean writes: where it is and who may enter it, what the
// manifest says about each file (read back with a real JSON parser), the copies,
// and the names of the runs.
#include "clean/backupstore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "clean/storelayout.h"
#include "plainwindowstate.h"
#include "platform/pathjson.h"
#include "testsupport.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

const QString kSig = u"<iframe src=x width=0>"_s;
const QByteArray kInfected = "<p>a<iframe src=x width=0>b</p>\r\n";
const QByteArray kCleaned = "<p>ab</p>\r\n";

QByteArray sha(const QByteArray& b) {
  return QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex();
}

struct stat statOf(const QByteArray& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.constData(), &st), 0) << path.constData();
  return st;
}

QByteArray readFile(const QByteArray& path) {
  QFile f(platform::decodePath(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Each test starts with an empty store and leaves one.
class BackupStore : public ::testing::Test {
 protected:
  BackupStore() {
    clean::BackupRun::nameForTests = nullptr;
    w.Text3 = kSig;
  }
  ~BackupStore() override {
    clean::BackupRun::nameForTests = nullptr;
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }
  std::vector<QByteArray> runs() {
    clean::Store s;
    return s.open(false) == 0 ? s.runs() : std::vector<QByteArray>{};
  }
  clean::RunManifest latest() {
    clean::Store s;
    EXPECT_EQ(s.open(false), 0);
    const auto names = s.runs();
    auto m = names.empty() ? std::nullopt : clean::readRun(s.fd(), names.back());
    EXPECT_TRUE(m);
    return m ? *m : clean::RunManifest{};
  }
  QByteArray copy(const clean::RunManifest& m, const clean::FileRecord& f) {
    return readFile(clean::backupStorePath() + '/' + m.name + '/' + f.copy);
  }
  void clean(const QList<QByteArray>& rels) {
    w.Text1.clear();
    for (const QByteArray& rel : rels)
      w.Text1 += platform::decodePath(rel.startsWith('/') ? rel : t.abs(rel)) + u"\r\n"_s;
    c.Command2_Click();
  }

  TempTree t;
  PlainWindowState w;
  Cleaner c{w};
};

TEST_F(BackupStore, LivesInThePrivateDataFolderClosedToOthers) {
  EXPECT_EQ(clean::backupStorePath(), privateDataHome.path() + "/tervane/backups");
  t.write("a.htm", kInfected);
  clean({"a.htm"});
  EXPECT_EQ(statOf(privateDataHome.path() + "/tervane").st_mode & 07777, 0700u);
  EXPECT_EQ(statOf(clean::backupStorePath()).st_mode & 07777, 0700u);
  const clean::RunManifest m = latest();
  EXPECT_EQ(statOf(clean::backupStorePath() + '/' + m.name).st_mode & 07777, 0700u);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(statOf(clean::backupStorePath() + '/' + m.name + '/' + m.files[0].copy).st_mode & 07777,
            0600u);
  // Without an absolute XDG_DATA_HOME the store is in the home folder.
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", "relative/data");
  qputenv("HOME_SAVED", qgetenv("HOME"));
  qputenv("HOME", "/home/someone");
  const QByteArray fallback = clean::backupStorePath();
  qputenv("HOME", qgetenv("HOME_SAVED"));
  qputenv("XDG_DATA_HOME", saved);
  EXPECT_EQ(fallback, "/home/someone/.local/share/tervane/backups");
}

TEST_F(BackupStore, ManifestRecordsEveryFileInListOrder) {
  t.write("www/a.htm", kInfected);
  t.write("www/clean.htm", "nothing to remove");
  t.write("www/caf\xE9.htm", kInfected);  // a name that is not UTF-8
  t.chmod("www/a.htm", 0640);
  const struct stat a = statOf(t.abs("www/a.htm"));
  const struct stat latin = statOf(t.abs("www/caf\xE9.htm"));
  clean({"www/a.htm", "www/clean.htm", "www/caf\xE9.htm", "www/gone.htm"});
  ASSERT_EQ(w.messages.size(), 1);  // the missing file ends the run

  const clean::RunManifest m = latest();
  EXPECT_EQ(m.kind, clean::RunKind::Clean);
  EXPECT_EQ(m.signature, kSig);
  EXPECT_TRUE(m.ended);
  ASSERT_EQ(m.files.size(), 4u);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(m.files[std::size_t(i)].n, i);

  const clean::FileRecord& fa = m.files[0];
  EXPECT_EQ(fa.path, t.abs("www/a.htm"));
  EXPECT_EQ(fa.dev, quint64(a.st_dev));
  EXPECT_EQ(fa.ino, quint64(a.st_ino));
  EXPECT_EQ(fa.size, qint64(kInfected.size()));
  EXPECT_EQ(fa.mode, uint(a.st_mode));
  EXPECT_EQ(fa.uid, uint(a.st_uid));
  EXPECT_EQ(fa.gid, uint(a.st_gid));
  EXPECT_EQ(fa.mtimeSec, qint64(a.st_mtim.tv_sec));
  EXPECT_EQ(fa.mtimeNsec, qint64(a.st_mtim.tv_nsec));
  EXPECT_EQ(fa.sha256, sha(kInfected));
  EXPECT_EQ(fa.sha256Cleaned, sha(kCleaned));
  EXPECT_EQ(fa.outcome, u"cleaned"_s);
  EXPECT_EQ(copy(m, fa), kInfected);
  // The file at the path now is the one the clean left.
  const struct stat after = statOf(t.abs("www/a.htm"));
  ASSERT_TRUE(fa.after);
  EXPECT_EQ(fa.after->inode, quint64(after.st_ino));

  EXPECT_EQ(m.files[1].outcome, u"unchanged"_s);
  EXPECT_EQ(m.files[1].sha256, m.files[1].sha256Cleaned);
  EXPECT_EQ(copy(m, m.files[1]), "nothing to remove");

  EXPECT_EQ(m.files[2].path, t.abs("www/caf\xE9.htm"));
  EXPECT_EQ(m.files[2].ino, quint64(latin.st_ino));
  EXPECT_EQ(copy(m, m.files[2]), kInfected);

  EXPECT_EQ(m.files[3].path, t.abs("www/gone.htm"));
  EXPECT_EQ(m.files[3].outcome, u"failed"_s);
  EXPECT_TRUE(m.files[3].reason.contains(u"文件不存在"_s)) << m.files[3].reason.toStdString();
  EXPECT_TRUE(m.files[3].copy.isEmpty());
}

TEST_F(BackupStore, ManifestIsJsonLinesWithExactPathBytes) {
  t.write("caf\xE9.htm", kInfected);
  const struct stat before = statOf(t.abs("caf\xE9.htm"));
  clean({"caf\xE9.htm"});
  const clean::RunManifest m = latest();
  QFile f(platform::decodePath(clean::backupStorePath() + '/' + m.name + '/' + clean::kManifest));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QStringList types;
  for (const QByteArray& line : f.readAll().split('\n')) {
    if (line.isEmpty())
      continue;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << line.constData();
    const QJsonObject o = doc.object();
    types.append(o.value(u"type").toString());
    if (o.value(u"type").toString() == u"file") {
      EXPECT_TRUE(o.contains(u"path_bytes"));
      EXPECT_EQ(platform::takePath(o), t.abs("caf\xE9.htm"));
      // Device and inode as numbers, as the reports write them, read back exactly.
      EXPECT_TRUE(o.value(u"ino").isDouble());
      EXPECT_EQ(o.value(u"ino").toInteger(), qint64(before.st_ino));
      EXPECT_EQ(o.value(u"dev").toInteger(), qint64(before.st_dev));
    }
  }
  EXPECT_EQ(types, (QStringList{u"run"_s, u"file"_s, u"outcome"_s, u"end"_s}));
}

TEST_F(BackupStore, EachRunHasItsOwnTimeOrderedFolder) {
  t.write("a.htm", kInfected);
  clean({"a.htm"});
  t.write("a.htm", kInfected);
  clean({"a.htm"});
  const auto names = runs();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_LT(names[0], names[1]);
  // "20261207T141617.123456Z-" and eight hex digits.
  EXPECT_EQ(names[0].size(), 32);
  EXPECT_EQ(names[0].mid(8, 1), "T");
  EXPECT_EQ(names[0].mid(22, 2), "Z-");
}

TEST_F(BackupStore, WithoutBackupsNothingIsKept) {
  t.write("a.htm", kInfected);
  t.write("b.htm", kInfected);
  ASSERT_EQ(::link(t.abs("b.htm").constData(), t.abs("b2.htm").constData()), 0);
  c.setKeepBackups(false);
  clean({"a.htm", "b.htm"});
  EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(u'\n').toStdString();
  EXPECT_EQ(t.read("a.htm"), kCleaned);
  EXPECT_EQ(t.read("b2.htm"), kCleaned);
  // The journal of the in-place rewrite of b went with the run.
  EXPECT_TRUE(runs().empty());
}

TEST_F(BackupStore, HardLinkedFileIsCopiedIntoTheStoreNotBesideIt) {
  t.write("a.htm", kInfected);
  ASSERT_EQ(::link(t.abs("a.htm").constData(), t.abs("b.htm").constData()), 0);
  clean::Options o;
  std::vector<QByteArray> seenInFolder;
  // While the file is written in place, its folder holds no copy.
  o.fault = [&](clean::Step s, const QByteArray&) {
    if (s == clean::Step::WriteInPlace && seenInFolder.empty())
      seenInFolder.push_back(
          QDir(t.root()).entryList(QDir::Files | QDir::Hidden).join(u' ').toUtf8());
    return 0;
  };
  c.options() = o;
  clean({"a.htm"});
  ASSERT_EQ(seenInFolder.size(), 1u);
  EXPECT_EQ(seenInFolder[0], "a.htm b.htm");
  const clean::RunManifest m = latest();
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_TRUE(m.files[0].inPlace);
  EXPECT_EQ(copy(m, m.files[0]), kInfected);
  EXPECT_EQ(t.read("b.htm"), kCleaned);
}

}  // namespace
