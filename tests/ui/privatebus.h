// A private D-Bus session bus for tests of the desktop shell, so that no test
// reaches the user's own session or file manager.
#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include <cstdio>

class PrivateSessionBus {
 public:
  PrivateSessionBus() = default;
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
  ~PrivateSessionBus() {
    bus_.terminate();
    bus_.waitForFinished(5000);
  }

  // Starts a bus whose socket and configuration live in `dir`, and points
  // DBUS_SESSION_BUS_ADDRESS at it. With `eavesdrop`, a test may watch every
  // message. Gives 0, or the exit status for the test program: 77 (skipped,
  // saying why) when dbus-daemon is not installed and the machine need not have
  // every tool, or 1 or 2 when it must or when the bus does not start.
  int start(const QString& dir, bool eavesdrop) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
      const bool required = qEnvironmentVariableIntValue("TERVANE_REQUIRE_TOOLS") == 1;
      std::fprintf(stderr, "%s: dbus-daemon is not installed (Debian package dbus-daemon)\n",
                   required ? "FAIL" : "SKIP");
      return required ? 1 : 77;
    }
    const QString config = QDir(dir).filePath(QStringLiteral("bus.conf"));
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly))
      return 2;
    const QByteArray allow = eavesdrop ? "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                         "<allow eavesdrop=\"true\"/>"
                                       : "<allow send_destination=\"*\"/>";
    f.write(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>session</type><listen>unix:tmpdir=" +
        QFile::encodeName(dir) + "</listen><auth>EXTERNAL</auth><policy context=\"default\">" +
        allow + "<allow own=\"*\"/></policy></busconfig>\n");
    f.close();
    bus_.start(QStringLiteral("dbus-daemon"),
               {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                QStringLiteral("--print-address")});
    if (!bus_.waitForStarted(10000) || !bus_.waitForReadyRead(10000)) {
      std::fprintf(stderr, "dbus-daemon did not start\n");
      return 2;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus_.readLine().trimmed());
    return 0;
  }

 private:
  QProcess bus_;
};
