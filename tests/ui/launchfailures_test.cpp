// A file manager or browser that cannot be started, or that fails, is reported
// with a message; the windows never wait for the program.
#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

#include "engine/messages.h"
#include "privatebus.h"
#include "recorders.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/shell.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

QTemporaryDir* workDir = nullptr;

QString work(const QString& name) {
  return workDir->filePath(name);
}

// The stand-in xdg-open ends with the status written in the file "status",
// after a pause of "pause" seconds; it logs each call.
void setOutcome(int status, const char* pause = "0") {
  QFile s(work(u"status"_s));
  QVERIFY(s.open(QIODevice::WriteOnly));
  s.write(QByteArray::number(status));
  QFile p(work(u"pause"_s));
  QVERIFY(p.open(QIODevice::WriteOnly));
  p.write(pause);
}

int calls() {
  QFile f(work(u"xdg-open.log"_s));
  return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

}  // namespace

class LaunchFailuresTest : public QObject {
  Q_OBJECT

  // Asks the real shell, counting the failures reported to a live context.
  struct Outcome {
    QObject context;
    int failures = 0;
    platform::Failure counter() {
      return [this] { ++failures; };
    }
  };

 private Q_SLOTS:
  void init() {
    QFile::remove(work(u"xdg-open.log"_s));
    // No file manager answers on the bus.
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
        u"org.freedesktop.FileManager1"_s));
  }

  void failingProgramsAreReported_data() {
    QTest::addColumn<bool>("fileManager");
    QTest::newRow("file manager") << true;
    QTest::newRow("browser") << false;
  }
  void failingProgramsAreReported() {
    QFETCH(bool, fileManager);
    const auto ask = [&](Outcome& o) {
      if (fileManager)
        platform::systemShell().showFileInManager(u"/srv/www/a.htm"_s, &o.context, o.counter());
      else
        platform::systemShell().openUrl(u"http://forum.example.com/"_s, &o.context, o.counter());
    };

    // xdg-open finds no program: it ends with a non-zero status.
    setOutcome(3);
    Outcome failed;
    ask(failed);
    QTRY_COMPARE(failed.failures, 1);
    QCOMPARE(calls(), 1);

    // It succeeds: nothing is reported.
    setOutcome(0);
    Outcome fine;
    ask(fine);
    QTRY_COMPARE(calls(), 2);
    QTest::qWait(300);
    QCOMPARE(fine.failures, 0);

    // No xdg-open at all (the file manager's is started once the bus has answered).
    struct NoPrograms {
      const QByteArray path = qgetenv("PATH");
      NoPrograms() { qputenv("PATH", QFile::encodeName(work(u"empty"_s))); }
      ~NoPrograms() { qputenv("PATH", path); }
    } noPrograms;
    Outcome missing;
    ask(missing);
    QTRY_COMPARE(missing.failures, 1);
    QCOMPARE(calls(), 2);
  }

  void theCallDoesNotWaitForTheProgram() {
    setOutcome(4, "1");
    Outcome slow;
    QElapsedTimer clock;
    clock.start();
    platform::systemShell().openUrl(u"http://forum.example.com/"_s, &slow.context, slow.counter());
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(slow.failures, 0);
    QTRY_COMPARE_WITH_TIMEOUT(slow.failures, 1, 10000);
  }

  void noReportToAContextThatIsGone() {
    setOutcome(5, "0.3");
    bool reported = false;
    {
      QObject gone;
      platform::systemShell().openUrl(u"http://x.example/"_s, &gone, [&] { reported = true; });
    }
    QTRY_COMPARE(calls(), 1);
    QTest::qWait(800);
    QVERIFY(!reported);
  }

  // The windows show their message when the program fails later.
  void theWindowsShowTheMessage() {
    RecordingDialogs dialogs;
    RecordingShell shell;
    Form1 form(dialogs, shell);
    form.Form_Load();
    QTest::mouseClick(form.Command4, Qt::LeftButton);
    QTest::mouseClick(form.Command3, Qt::LeftButton);
    Form2* results = form.form2();
    QTest::mouseClick(results->Command1, Qt::LeftButton);
    QCOMPARE(shell.pending.size(), 2);
    QVERIFY(dialogs.messages.isEmpty());  // nothing known yet

    shell.fail(1);
    const QString failed = Form2::fileManagerFailed(QString());
    QCOMPARE(dialogs.messageTexts(), QStringList{failed});
    QCOMPARE(dialogs.messages.last().parent.data(), static_cast<QWidget*>(results));
    shell.fail(0);
    QCOMPARE(dialogs.messageTexts(), (QStringList{failed, msg::kBrowserFailed.toString()}));
    QCOMPARE(dialogs.messages.last().parent.data(), static_cast<QWidget*>(&form));

    // A results window closed meanwhile is told nothing.
    QTest::mouseClick(results->Command1, Qt::LeftButton);
    results->close();
    QTRY_VERIFY(form.form2() == nullptr);
    QTest::qWait(10);  // its deletion
    shell.fail(2);
    QCOMPARE(dialogs.messages.size(), 2);
  }

  // The same through the real shell, with no file manager and no browser.
  void theRealShellThroughTheWindows() {
    setOutcome(3);
    RecordingDialogs dialogs;
    Form1 form(dialogs, platform::systemShell());
    form.Form_Load();
    QTest::mouseClick(form.Command4, Qt::LeftButton);
    QTRY_COMPARE(dialogs.messageTexts(), QStringList{msg::kBrowserFailed.toString()});
    QTest::mouseClick(form.Command3, Qt::LeftButton);
    form.form2()->Combo1->setEditText(u"/srv/www/a.htm"_s);
    QTest::mouseClick(form.form2()->Command1, Qt::LeftButton);
    QTRY_COMPARE(dialogs.messageTexts(),
                 (QStringList{msg::kBrowserFailed.toString(),
                              Form2::fileManagerFailed(u"/srv/www/a.htm"_s)}));
    // The message names the folder to open by hand.
    QVERIFY(dialogs.messageTexts().last().contains(u"文件所在的文件夹：/srv/www\n"_s));
  }
};

int main(int argc, char** argv) {
  QTemporaryDir dir;
  workDir = &dir;
  QDir().mkpath(dir.filePath(u"bin"_s));
  QDir().mkpath(dir.filePath(u"empty"_s));
  const QByteArray d = QFile::encodeName(dir.path());
  {
    QFile f(dir.filePath(u"bin/xdg-open"_s));
    if (!f.open(QIODevice::WriteOnly))
      return 2;
    f.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + d + "/xdg-open.log'\nsleep \"$(cat '" + d +
            "/pause')\"\nexit \"$(cat '" + d + "/status')\"\n");
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  qputenv("PATH", QFile::encodeName(dir.filePath(u"bin"_s)) + ':' + qgetenv("PATH"));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");

  // A private session bus on which no file manager answers.
  PrivateSessionBus bus;
  if (const int status = bus.start(dir.path(), false))
    return status;

  int result;
  {
    QApplication app(argc, argv);
    LaunchFailuresTest test;
    result = QTest::qExec(&test, argc, argv);
  }
  return result;
}

#include "launchfailures_test.moc"
