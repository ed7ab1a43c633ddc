// The backup store cannot take a file's backup: it is full, read-only, or
// someone planted a link where the store or a run's folder goes. The file must
// be left exactly as it was, nothing may be written through the link, and the
// run stops with a message that names the file and says its backup could not
// be saved.
#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "clean/backupstore.h"
#include "hostile.h"
#include "plainwindowstate.h"
#include "window/cleaner.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kInfected =
    "<html><iframe src=http://x.example/ width=0 height=0></iframe></html>\r\n";
const QString kNotSaved = u"无法保存这个文件的备份"_s;

// Cleans a.asp then b.asp; reports what happened as one line for a parent.
QByteArray cleanTwo(const TempTree& t, const QByteArray& page) {
  PlainWindowState w;
  Cleaner c(w);
  w.Text3 = hostile::kSignature;
  w.Text1 = t.path("a.asp") + u"\r\n"_s + t.path("b.asp") + u"\r\n"_s;
  c.Command2_Click();
  QByteArray r = t.read("a.asp") == page ? "whole " : "changed ";
  r += t.read("b.asp") == page ? "whole " : "changed ";
  const bool told = w.messages.size() == 1 && w.messages[0].contains(kNotSaved) &&
                    w.messages[0].contains(u"文件："_s + t.path("a.asp"));
  r += told ? "told " : "untold ";
  r += w.cleaningLog().isEmpty() ? "nolog" : "log";
  return r + '\n' + w.messages.join(u'|').toUtf8();
}

// A child in a mount namespace of its own, so mounts go with it.
bool privateMounts() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

class StoreRefuses : public ::testing::Test {
 protected:
  StoreRefuses() {
    clean::BackupRun::nameForTests = nullptr;
    page = kInfected + QByteArray(200 * 1024, 'x');
    t.write("a.asp", page);
    t.write("b.asp", page);
  }
  ~StoreRefuses() override {
    clean::BackupRun::nameForTests = nullptr;
    hostile::removeDeep(privateDataHome.path() + "/tervane");
  }
  TempTree t;
  QByteArray page;
};

}  // namespace

TEST_F(StoreRefuses, WhenFull) {
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        if (!privateMounts() || ::mount("tervane-test", privateDataHome.path().constData(), "tmpfs",
                                        0, "size=64k") != 0)
          return 77;
        hostile::writeAll(out, cleanTwo(t, page));
        return 0;
      },
      60);
  if (r.exitCode == 77)
    GTEST_SKIP() << "no memory file system can be mounted here";
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.startsWith("whole whole told nolog\n")) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(u"磁盘空间不足"_s.toUtf8())) << r.out.toStdString();
}

TEST_F(StoreRefuses, WhenReadOnly) {
  // The store exists already; then its file system turns read-only.
  clean::Store s;
  ASSERT_EQ(s.open(true), 0);
  const QByteArray store = clean::backupStorePath();
  const hostile::ChildResult r = hostile::runChild(
      [&](int out) {
        if (!privateMounts() ||
            ::mount(store.constData(), store.constData(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, store.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                    nullptr) != 0)
          return 77;
        hostile::writeAll(out, cleanTwo(t, page));
        return 0;
      },
      60);
  if (r.exitCode == 77)
    GTEST_SKIP() << "no read-only mount can be made here";
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.startsWith("whole whole told nolog\n")) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(u"只读"_s.toUtf8())) << r.out.toStdString();
}

TEST_F(StoreRefuses, LinkWhereTheRunFolderGoes) {
  QTemporaryDir outside;
  clean::Store s;
  ASSERT_EQ(s.open(true), 0);
  const QByteArray name = "20991231T235959.999999Z-0badc0de";
  ASSERT_EQ(::symlinkat(outside.path().toUtf8().constData(), s.fd(), name.constData()), 0);
  clean::BackupRun::nameForTests = [name] { return name; };
  const QByteArray r = cleanTwo(t, page);
  EXPECT_TRUE(r.startsWith("whole whole told nolog\n")) << r.toStdString();
  EXPECT_TRUE(QDir(outside.path()).isEmpty());
}

TEST_F(StoreRefuses, LinkWhereTheStoreGoes) {
  QTemporaryDir outside;
  ASSERT_EQ(::mkdir((privateDataHome.path() + "/tervane").constData(), 0700), 0);
  ASSERT_EQ(::symlink(outside.path().toUtf8().constData(),
                      (privateDataHome.path() + "/tervane/backups").constData()),
            0);
  const QByteArray r = cleanTwo(t, page);
  EXPECT_TRUE(r.startsWith("whole whole told nolog\n")) << r.toStdString();
  EXPECT_TRUE(QDir(outside.path()).isEmpty());
}
