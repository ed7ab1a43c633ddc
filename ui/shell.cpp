#include "ui/shell.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QProcess>
#include <QStringList>

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

bool xdgOpen(const QString& target) {
  return QProcess::startDetached(u"xdg-open"_s, {target});
}

class SystemShell final : public Shell {
 public:
  bool showFileInManager(const QString& path) override {
    const QString absolute = absolutePathOf(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
      return openFolder(absolute);
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.FileManager1"_s, u"/org/freedesktop/FileManager1"_s,
        u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    call << QStringList{fileUri(absolute)} << QString();
    // Asynchronous: the file manager may take its time to start, and the window
    // must not wait for it. When no file manager offers the interface, the folder
    // is opened instead.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [absolute](QDBusPendingCallWatcher* w) {
                       if (w->isError())
                         openFolder(absolute);
                       w->deleteLater();
                     });
    return true;
  }

  bool openUrl(const QString& url) override { return xdgOpen(url); }

 private:
  static bool openFolder(const QString& absolute) { return xdgOpen(fileUri(folderOf(absolute))); }
};

}  // namespace

Shell& systemShell() {
  static SystemShell shell;
  return shell;
}

}  // namespace platform
