// The desktop shell, for real: the FileManager1 call on a private session bus
// answered by a stand-in file manager, and xdg-open replaced by a script that
// records its arguments.
#include "ui/shell.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "privatebus.h"

using namespace Qt::StringLiterals;

namespace {

QTemporaryDir* workDir = nullptr;

QString work(const QString& name) {
  return workDir->filePath(name);
}

QStringList readLines(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    return {};
  QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
  lines.removeAll(QString());
  return lines;
}

}  // namespace

// Answers ShowItems as a file manager would, recording what it was asked.
class FakeFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
 public:
  QList<QStringList> shown;
  QStringList startupIds;
 public Q_SLOTS:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    shown.append(uris);
    startupIds.append(startupId);
  }
};

class ShellTest : public QObject {
  Q_OBJECT

  std::unique_ptr<FakeFileManager> fileManager;
  QDBusConnection fakeBus{u"unset"_s};

  void serveFileManager() {
    fileManager = std::make_unique<FakeFileManager>();
    fakeBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"file-manager"_s);
    QVERIFY(fakeBus.isConnected());
    QVERIFY(fakeBus.registerObject(u"/org/freedesktop/FileManager1"_s, fileManager.get(),
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(fakeBus.registerService(u"org.freedesktop.FileManager1"_s));
  }
  void stopFileManager() {
    fakeBus.unregisterService(u"org.freedesktop.FileManager1"_s);
    fakeBus.unregisterObject(u"/org/freedesktop/FileManager1"_s);
    QDBusConnection::disconnectFromBus(u"file-manager"_s);
    fileManager.reset();
  }

 private Q_SLOTS:
  void init() {
    QFile::remove(work(u"xdg-open.log"_s));
    QFile::remove(work(u"xdg-open.done"_s));
    QFile(work(u"release"_s)).open(QIODevice::WriteOnly);
  }

  void fileUrisCarryTheExactBytes() {
    QCOMPARE(platform::fileUri(u"/srv/www/index.htm"_s), u"file:///srv/www/index.htm"_s);
    QCOMPARE(platform::fileUri(u"/srv/my site/a#1?.htm"_s),
             u"file:///srv/my%20site/a%231%3F.htm"_s);
    QCOMPARE(platform::fileUri(u"/srv/网页/100%.htm"_s),
             u"file:///srv/%E7%BD%91%E9%A1%B5/100%25.htm"_s);
    // A name that is not UTF-8 (GBK bytes) keeps its bytes.
    QCOMPARE(platform::fileUri(platform::decodePath("/srv/\xcd\xf8.htm")),
             u"file:///srv/%CD%F8.htm"_s);
  }

  void relativePathsAreTakenAgainstTheCurrentDirectory() {
    QVERIFY(platform::setCurrentDirectory(workDir->path()));
    QCOMPARE(platform::absolutePathOf(u"a b.htm"_s), workDir->path() + u"/a b.htm"_s);
    QCOMPARE(platform::absolutePathOf(QString()), workDir->path() + u'/');
    QCOMPARE(platform::absolutePathOf(u"/x/y"_s), u"/x/y"_s);
  }

  void showsTheFileThroughTheFileManagerInterface() {
    serveFileManager();
    const QString path = platform::decodePath("/srv/my site/\xcd\xf8.htm");
    platform::systemShell().showFileInManager(path, this, {});
    QTRY_COMPARE(fileManager->shown.size(), 1);
    QCOMPARE(fileManager->shown.first(), QStringList{u"file:///srv/my%20site/%CD%F8.htm"_s});
    QCOMPARE(fileManager->startupIds.first(), QString());
    // The file manager answered: the folder is not opened as well.
    QTest::qWait(200);
    QCOMPARE(readLines(work(u"xdg-open.log"_s)), QStringList());
    stopFileManager();
  }

  void opensTheFolderWhenNoFileManagerAnswers() {
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
        u"org.freedesktop.FileManager1"_s));
    platform::systemShell().showFileInManager(u"/srv/my site/a.htm"_s, this, {});
    QTRY_COMPARE(readLines(work(u"xdg-open.log"_s)), QStringList{u"file:///srv/my%20site"_s});
    platform::systemShell().showFileInManager(u"/a.htm"_s, this, {});
    QTRY_COMPARE(readLines(work(u"xdg-open.log"_s)),
                 (QStringList{u"file:///srv/my%20site"_s, u"file:///"_s}));
  }

  void opensTheHelpPageWithoutWaiting() {
    QFile::remove(work(u"release"_s));
    // The stand-in browser runs until it is released: a call that waited for it
    // would find it finished.
    platform::systemShell().openUrl(u"http://forum.example.com/forumdisplay.php?fid=97"_s, this,
                                    {});
    QVERIFY(!QFile::exists(work(u"xdg-open.done"_s)));
    QFile(work(u"release"_s)).open(QIODevice::WriteOnly);
    QTRY_VERIFY(QFile::exists(work(u"xdg-open.done"_s)));
    QCOMPARE(readLines(work(u"xdg-open.log"_s)),
             QStringList{u"http://forum.example.com/forumdisplay.php?fid=97"_s});
  }

  void reportsWhenNoProgramCanBeStarted() {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(work(u"empty"_s)));
    bool failed = false;
    platform::systemShell().openUrl(u"http://forum.example.com/"_s, this, [&] { failed = true; });
    QTRY_VERIFY(failed);
    qputenv("PATH", path);
  }
};

int main(int argc, char** argv) {
  QTemporaryDir dir;
  workDir = &dir;
  QDir().mkpath(dir.filePath(u"bin"_s));
  QDir().mkpath(dir.filePath(u"empty"_s));

  // The stand-in for xdg-open: logs its argument, then waits to be released.
  const QString script = dir.filePath(u"bin/xdg-open"_s);
  {
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly))
      return 2;
    const QByteArray d = QFile::encodeName(dir.path());
    f.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + d + "/xdg-open.log'\n" +
            "i=0\nwhile [ ! -e '" + d + "/release' ] && [ $i -lt 200 ]; do sleep 0.05; " +
            "i=$((i+1)); done\n: > '" + d + "/xdg-open.done'\n");
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  qputenv("PATH", QFile::encodeName(dir.filePath(u"bin"_s)) + ':' + qgetenv("PATH"));

  // A private session bus that starts no services of its own.
  PrivateSessionBus bus;
  if (const int status = bus.start(dir.path(), true))
    return status;

  int result;
  {
    QCoreApplication app(argc, argv);
    ShellTest test;
    result = QTest::qExec(&test, argc, argv);
  }
  return result;
}

#include "shell_test.moc"
