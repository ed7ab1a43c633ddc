// The repair after a run cut short while a file was being written in place:
// the copy is written back only when it holds what the run recorded, a file
// that holds that already is left alone, and only the very file that was being
// rewritten is touched. Runs recorded before the in-place record carried its
// hash are still read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "clean/backupstore.h"
#include "clean/fileio.h"
#include "clean/journal.h"
#include "clean/rewrite.h"
#include "clean/storelayout.h"
#include "platform/fd.h"
#include "testsupport.h"

using namespace Qt::StringLiterals;
using What = clean::RecoveryNote::What;

namespace {

const QString kSig = u"<iframe src=x width=0>"_s;
const QByteArray kOriginal = "<p>before</p><iframe src=x width=0></p>\n";
const QByteArray kTemp = ".tervane-00112233aabbccdd";

class Recovery : public ::testing::Test {
 protected:
  Recovery() { t.write("www/a.htm", kOriginal); }
  ~Recovery() override {
    clean::Store s;
    if (s.open(false) == 0) {
      for (const QByteArray& run : s.runs())
        (void)clean::removeRun(s.fd(), run);
    }
  }

  // A run cut short while www/a.htm was being written in place: its copy and
  // records are on disk, and no outcome. Gives the copy's path.
  QByteArray cutShort(bool full) {
    clean::BackupRun run(clean::RunKind::Clean, full, kSig);
    const int n = run.next(t.abs("www/a.htm"));
    platform::UniqueFd fd(::open(t.abs("www/a.htm").constData(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    EXPECT_EQ(::fstat(fd.get(), &st), 0);
    clean::Options o;
    clean::Steps steps(o);
    EXPECT_EQ(run.before(n, fd.get(), st, kTemp, steps), 0);
    platform::UniqueFd copy;
    QByteArray copyPath;
    EXPECT_EQ(run.beforeInPlace(n, fd.get(), st, steps, copy, copyPath), 0);
    runName = run.name();
    return copyPath;
  }
  QByteArray manifestPath() const {
    return clean::backupStorePath() + '/' + runName + '/' + clean::kManifest;
  }
  // The run's manifest as a run written before the in-place record carried the
  // copy's hash left it.
  void dropInPlaceHash() const {
    QFile f(QString::fromLocal8Bit(manifestPath()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray out;
    for (const QByteArray& line : f.readAll().split('\n')) {
      if (line.isEmpty())
        continue;
      QJsonObject o = QJsonDocument::fromJson(line).object();
      if (o.value(u"type"_s) == u"in_place"_s)
        o.remove(u"sha256"_s);
      out += QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    f.close();
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(out), out.size());
  }
  // The run's manifest with device and inode as decimal text, as manifests
  // were written before they became numbers.
  void identitiesAsText() const {
    QFile f(QString::fromLocal8Bit(manifestPath()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray out;
    for (const QByteArray& line : f.readAll().split('\n')) {
      if (line.isEmpty())
        continue;
      QJsonObject o = QJsonDocument::fromJson(line).object();
      for (const QString& key : {u"dev"_s, u"ino"_s}) {
        if (o.contains(key))
          o.insert(key, QString::number(quint64(o.value(key).toInteger())));
      }
      out += QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    f.close();
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(out), out.size());
  }
  static void overwrite(const QByteArray& path, const QByteArray& content) {
    QFile f(QString::fromLocal8Bit(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(content), content.size());
  }
  static std::vector<What> kinds(const std::vector<clean::RecoveryNote>& notes) {
    std::vector<What> out;
    for (const auto& n : notes)
      out.push_back(n.what);
    return out;
  }

  TempTree t;
  QByteArray runName;
};

TEST_F(Recovery, TheInPlaceRecordCarriesTheHashOfTheCopy) {
  cutShort(false);
  QFile f(QString::fromLocal8Bit(manifestPath()));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  int found = 0;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    if (o.value(u"type"_s) != u"in_place"_s)
      continue;
    ++found;
    EXPECT_EQ(o.value(u"sha256"_s).toString().toLatin1(),
              QCryptographicHash::hash(kOriginal, QCryptographicHash::Sha256).toHex());
  }
  EXPECT_EQ(found, 1);
}

TEST_F(Recovery, AFileThatHoldsItsRecordedContentIsLeftAloneWhateverTheCopyHolds) {
  for (const bool full : {false, true}) {
    const QByteArray copy = cutShort(full);
    overwrite(copy, "a copy damaged since");
    const auto notes = clean::recoverInterrupted();
    EXPECT_EQ(t.read("www/a.htm"), kOriginal) << "full " << full;
    EXPECT_EQ(kinds(notes), std::vector<What>()) << "full " << full;
  }
}

TEST_F(Recovery, ACopyThatDoesNotMatchItsRecordIsNotWrittenBack) {
  for (const bool old : {false, true}) {
    t.write("www/a.htm", kOriginal);
    // A run with backups: before the in-place record had the hash, the file
    // record had it already.
    const QByteArray copy = cutShort(true);
    if (old)
      dropInPlaceHash();
    overwrite(copy, "a copy damaged since");
    t.write("www/a.htm", "<p>half writ");
    const auto notes = clean::recoverInterrupted();
    EXPECT_EQ(t.read("www/a.htm"), "<p>half writ") << "old " << old;
    ASSERT_EQ(kinds(notes), std::vector<What>{What::CopyDoesNotMatch}) << "old " << old;
    EXPECT_EQ(notes[0].copy, copy);
    const QString message = clean::recoveryMessage(notes);
    EXPECT_TRUE(message.contains(u"备份与记录的内容不符"_s)) << message.toStdString();
    // Said once: the run is dealt with, its copy kept.
    EXPECT_TRUE(clean::recoverInterrupted().empty());
    EXPECT_TRUE(QFile::exists(QString::fromLocal8Bit(copy)));
  }
}

TEST_F(Recovery, AHalfWrittenFileIsPutBackFromAMatchingCopy) {
  for (const bool full : {false, true}) {
    t.write("www/a.htm", kOriginal);
    cutShort(full);
    t.write("www/a.htm", "<p>half writ");
    const auto notes = clean::recoverInterrupted();
    EXPECT_EQ(t.read("www/a.htm"), kOriginal) << "full " << full;
    EXPECT_EQ(kinds(notes), std::vector<What>{What::RolledBack}) << "full " << full;
  }
}

// A run without backups, recorded before the in-place record carried the hash,
// has nothing to check its copy with: the copy is not written over the file,
// which stays as it is, and the message says where the copy is kept.
TEST_F(Recovery, AnUncheckableCopyOfAnOldRunIsNotWrittenBack) {
  const QByteArray copy = cutShort(false);
  dropInPlaceHash();
  t.write("www/a.htm", "<p>half writ");
  const auto notes = clean::recoverInterrupted();
  EXPECT_EQ(t.read("www/a.htm"), "<p>half writ");
  ASSERT_EQ(kinds(notes), std::vector<What>{What::CouldNotRollBack});
  EXPECT_EQ(notes[0].copy, copy);
  EXPECT_TRUE(QFile::exists(QString::fromLocal8Bit(copy)));

  // One that the rewrite had not changed yet needs nothing.
  t.write("www/a.htm", kOriginal);
  cutShort(false);
  dropInPlaceHash();
  EXPECT_TRUE(clean::recoverInterrupted().empty());
  EXPECT_EQ(t.read("www/a.htm"), kOriginal);
}

// Identities as text (manifests written before they became numbers) still
// name the file: it is rolled back, and another file is still refused.
TEST_F(Recovery, ARunWithIdentitiesAsTextIsStillRolledBack) {
  for (const bool replaced : {false, true}) {
    t.write("www/a.htm", kOriginal);
    cutShort(true);
    identitiesAsText();
    if (replaced) {
      t.write("www/b.htm", "someone's new page");
      ASSERT_EQ(::rename(t.abs("www/b.htm").constData(), t.abs("www/a.htm").constData()), 0);
    } else {
      t.write("www/a.htm", "<p>half writ");
    }
    const auto notes = clean::recoverInterrupted();
    EXPECT_EQ(t.read("www/a.htm"), replaced ? QByteArray("someone's new page") : kOriginal);
    EXPECT_EQ(kinds(notes),
              std::vector<What>{replaced ? What::CouldNotRollBack : What::RolledBack});
  }
}

TEST_F(Recovery, AnotherFileNowAtThePathIsNotWritten) {
  cutShort(true);
  // Replaced since by another file (made while the old one lived: another inode).
  t.write("www/b.htm", "someone's new page");
  ASSERT_EQ(::rename(t.abs("www/b.htm").constData(), t.abs("www/a.htm").constData()), 0);
  const auto notes = clean::recoverInterrupted();
  EXPECT_EQ(t.read("www/a.htm"), "someone's new page");
  ASSERT_EQ(kinds(notes), std::vector<What>{What::CouldNotRollBack});
  EXPECT_EQ(notes[0].error, ESTALE);
}

TEST_F(Recovery, ANewFileOfTheRunIsRemovedButOneOfAnotherOwnerUnderItsNameIsNot) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give a file to another user";
  for (const bool ours : {true, false}) {
    t.write("www/a.htm", kOriginal);
    cutShort(false);
    t.write("www/" + kTemp, "beside it");
    if (!ours) {
      ASSERT_EQ(::chown(t.abs("www/" + kTemp).constData(), 4242, 4242), 0);
    }
    const auto notes = clean::recoverInterrupted();
    EXPECT_EQ(::access(t.abs("www/" + kTemp).constData(), F_OK) == 0, !ours) << "ours " << ours;
    EXPECT_EQ(kinds(notes), ours ? std::vector<What>{What::TempRemoved} : std::vector<What>())
        << "ours " << ours;
  }
}

}  // namespace
