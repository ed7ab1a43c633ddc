#include "ui/shell.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>

#include <set>

#include "platform/fs.h"
#include "platform/pathcodec.h"

using namespace Qt::StringLiterals;

namespace platform {

QString fileUri(QStringView absolutePath) {
  return u"file://"_s + QString::fromLatin1(encodePath(absolutePath).toPercentEncoding("/"));
}

QString absolutePathOf(QStringView path) {
  if (path.startsWith(u'/'))
    return path.toString();
  QString dir = currentDirectory();
  if (!dir.endsWith(u'/'))
    dir += u'/';
  return dir + path.toString();
}

namespace {

// The folder that holds `absolutePath` ("/" for a file at the root).
QString folderOf(const QString& absolutePath) {
  const qsizetype slash = absolutePath.lastIndexOf(u'/');
  return slash <= 0 ? u"/"_s : absolutePath.left(slash);
}

// The programs started and not yet ended. They are never destroyed while they
// run, since destroying one would kill it: the user's browser outlives Tervane.
std::set<QProcess*>& running() {
  static std::set<QProcess*> processes;
  return processes;
}

// Reports a failure to `context` from the event loop, so that a message box it
// shows does not run inside the process's signal.
void report(const QPointer<QObject>& context, const Failure& failed) {
  if (context && failed)
    QMetaObject::invokeMethod(context.data(), failed, Qt::QueuedConnection);
}

// Starts xdg-open on `target` without waiting for it; it fails when xdg-open
// cannot be started or ends with a non-zero status (it found no program).
void xdgOpen(const QString& target, const QPointer<QObject>& context, const Failure& failed) {
  auto* process = new QProcess;
  running().insert(process);
  process->setProgram(u"xdg-open"_s);
  process->setArguments({target});
  // What it prints goes where Tervane's output goes; it reads nothing.
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  process->setStandardInputFile(QProcess::nullDevice());
  const auto done = [process] {
    running().erase(process);
    process->deleteLater();
  };
  QObject::connect(process, &QProcess::finished, process,
                   [context, failed, done](int code, QProcess::ExitStatus status) {
                     if (status != QProcess::NormalExit || code != 0)
                       report(context, failed);
                     done();
                   });
  QObject::connect(process, &QProcess::errorOccurred, process,
                   [context, failed, done](QProcess::ProcessError error) {
                     // A crash is reported by `finished`, which follows.
                     if (error != QProcess::FailedToStart)
                       return;
                     report(context, failed);
                     done();
                   });
  process->start();
}

class SystemShell final : public Shell {
 public:
  void showFileInManager(const QString& path, QObject* context, Failure failed) override {
    const QString absolute = absolutePathOf(path);
    const QPointer<QObject> receiver(context);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
      return openFolder(absolute, receiver, failed);
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.FileManager1"_s, u"/org/freedesktop/FileManager1"_s,
        u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    call << QStringList{fileUri(absolute)} << QString();
    // Asynchronous: the file manager may take its time to start, and the window
    // must not wait for it. When no file manager offers the interface, the folder
    // is opened instead.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [absolute, receiver, failed](QDBusPendingCallWatcher* w) {
                       if (w->isError())
                         openFolder(absolute, receiver, failed);
                       w->deleteLater();
                     });
  }

  void openUrl(const QString& url, QObject* context, Failure failed) override {
    xdgOpen(url, context, failed);
  }

 private:
  static void openFolder(const QString& absolute, const QPointer<QObject>& context,
                         const Failure& failed) {
    xdgOpen(fileUri(folderOf(absolute)), context, failed);
  }
};

}  // namespace

Shell& systemShell() {
  static SystemShell shell;
  return shell;
}

}  // namespace platform
