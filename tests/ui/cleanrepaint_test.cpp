// A long clean keeps the window painted and shows the file being cleaned, but
// handles no input until it is done: clicks and a close request wait.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <qpa/qwindowsysteminterface.h>

#include <functional>
#include <memory>

#include "recorders.h"
#include "testsupport.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/signaturebox.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kFiles = 300;
const QByteArray kSignature = "<iframe src=http://bad.example/></iframe>";

// Runs `f` each time the event loop handles posted events, until it returns false.
void onEachEventHandling(QObject* context, std::function<bool()> f) {
  QMetaObject::invokeMethod(
      context,
      [context, f] {
        if (f())
          onEachEventHandling(context, f);
      },
      Qt::QueuedConnection);
}

// Notes what a line showed at each of its paint events during a clean.
struct PaintWatch : QObject {
  const Form1& form;
  QLineEdit* line;
  QStringList shown;
  explicit PaintWatch(const Form1& f) : form(f), line(f.Text2) { line->installEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == line && event->type() == QEvent::Paint && form.isCleaning())
      shown.append(line->text());
    return false;
  }
};

// A click that waits in the window system's queue, as a user's does.
void queueClick(QWidget* button) {
  QWindow* window = button->window()->windowHandle();
  const QPointF local = button->mapTo(button->window(), QPointF(button->rect().center()));
  const QPointF global = button->mapToGlobal(QPointF(button->rect().center()));
  QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
      window, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
  QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
      window, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
}

}  // namespace

class CleanRepaintTest : public QObject {
  Q_OBJECT

  std::unique_ptr<RecordingDialogs> dialogs;
  std::unique_ptr<RecordingShell> shell;
  std::unique_ptr<Form1> form;
  std::unique_ptr<TempTree> tree;
  QStringList paths;

 private Q_SLOTS:
  void init() {
    dialogs = std::make_unique<RecordingDialogs>();
    shell = std::make_unique<RecordingShell>();
    form = std::make_unique<Form1>(*dialogs, *shell);
    form->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    tree = std::make_unique<TempTree>();
    paths.clear();
    QString log;
    for (int i = 0; i < kFiles; ++i) {
      const QByteArray name = "f" + QByteArray::number(i) + ".htm";
      tree->write(name, "a" + kSignature + "b");
      paths.append(tree->path(name));
      log += paths.last() + u"\r\n"_s;
    }
    form->Text3->setExactText(QString::fromLatin1(kSignature));
    form->setResultsText(log);
  }
  void cleanup() {
    form.reset();
    tree.reset();
    QCOMPARE(::chdir("/"), 0);
  }

  void aLongCleanRepaintsAndShowsItsProgress() {
    PaintWatch text2(*form);
    int handled = 0;
    QObject chain;
    onEachEventHandling(&chain, [&] {
      if (!form->isCleaning())
        return handled == 0;
      ++handled;
      return true;
    });
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    const qint64 ms = clock.elapsed();

    QCOMPARE(tree->read("f0.htm"), QByteArray("ab"));
    QCOMPARE(tree->read("f299.htm"), QByteArray("ab"));
    // Text2 was painted during the clean with files of the log, in log order.
    QVERIFY2(text2.shown.size() >= 2, qPrintable(text2.shown.join(u", "_s)));
    QVERIFY(text2.shown.first() != text2.shown.last());
    qsizetype last = -1;
    for (const QString& shown : std::as_const(text2.shown)) {
      const qsizetype at = paths.indexOf(shown);
      QVERIFY2(at >= last && at >= 0, qPrintable(shown));
      last = at;
    }
    // At the end it shows the last file cleaned.
    QCOMPARE(form->Text2->text(), paths.last());
    // Throttled as the scan's yields are: at most once an interval, and once at the start.
    QVERIFY(handled >= 1);
    QVERIFY2(handled <= ms / Form1::kYieldIntervalMs + 2,
             qPrintable(u"%1 in %2 ms"_s.arg(handled).arg(ms)));
  }

  void noInputIsHandledDuringTheClean() {
    bool queued = false;
    bool ranInside = false;
    bool closedInside = false;
    int handled = 0;
    QObject chain;
    onEachEventHandling(&chain, [&] {
      if (!form->isCleaning())
        return !queued;
      ++handled;
      if (!queued) {
        // A click on Help, then the window manager asks the window to close.
        queueClick(form->Command4);
        QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            form->windowHandle());
        queued = true;
      } else {
        ranInside = ranInside || !shell->openedUrls.isEmpty();
        closedInside = closedInside || !form->isVisible();
      }
      return true;
    });
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QVERIFY(queued);
    QVERIFY2(handled >= 2, "the clean did not let the window paint");
    QVERIFY(!ranInside);
    QVERIFY(!closedInside);
    QCOMPARE(form->Text1->toPlainText().count(u"清楚成功"_s), kFiles);

    // Afterwards the input is handled: the click, then the close.
    QTRY_VERIFY(!form->isVisible());
    QCOMPARE(shell->openedUrls.size(), 1);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  CleanRepaintTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "cleanrepaint_test.moc"
