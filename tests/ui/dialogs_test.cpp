// The folder picker's start folder and answer, and the real folder dialog and
// message box the windows use outside tests.

#include "ui/dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "ui/module1.h"
#include "windowtest.h"

class DialogsTest : public QObject, protected WindowFixture {
  Q_OBJECT

 private Q_SLOTS:
  void init() {
    openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  void cleanup() {
    closeWindow();
    // A scan makes its location the current directory.
    QCOMPARE(::chdir("/"), 0);
  }

  void folderPickerStartsAtTheDesktopOrHome() {
    // HOME is a temporary folder (see main): first without a desktop, then with.
    const QString home = QDir::homePath();
    QDir(home + u"/Desktop"_s).removeRecursively();
    QCOMPARE(Module1::dialogStartFolder(), home);
    QVERIFY(QDir().mkpath(home + u"/Desktop"_s));
    QCOMPARE(Module1::dialogStartFolder(), home + u"/Desktop"_s);

    QString out = u"unchanged"_s;
    RecordingDialogs d;
    QCOMPARE(Module1::BrowseForFolder(d, nullptr, out, u"t"_s, Module1::BIF_RETURNONLYFSDIRS),
             QString());
    QCOMPARE(out, u"unchanged"_s);  // written only when a folder is chosen
    d.folderAnswer = u"/"_s;
    QCOMPARE(Module1::BrowseForFolder(d, nullptr, out, u"t"_s, 0), u"/"_s);
    QCOMPARE(out, u"/"_s);
    QVERIFY(!d.folderRequests.last().directoriesOnly);
  }

  void realFolderDialogCancelled() {
    Form1 real(ui::systemDialogs(), *shell);
    real.Form_Load();
    real.Combo1->setEditText(tree->root());
    QString title, start;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    bool dirsOnly = false;
    QTimer::singleShot(0, this, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      title = dialog->windowTitle();
      start = dialog->directory().absolutePath();
      mode = dialog->fileMode();
      dirsOnly = dialog->testOption(QFileDialog::ShowDirsOnly);
      QTest::keyClick(dialog, Qt::Key_Escape);
    });
    click(real.Command5);
    QCOMPARE(title, u"请选择文件夹："_s);
    // Opened at the folder the box names; cancelled, the box keeps it.
    QCOMPARE(start, tree->root());
    QCOMPARE(mode, QFileDialog::Directory);
    QVERIFY(dirsOnly);
    QCOMPARE(real.Combo1->currentText(), tree->root());
  }

  void realMessageBox() {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QAbstractButton*> buttons;
    QMessageBox::StandardButton okButton = QMessageBox::NoButton;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      buttons = box->buttons();
      okButton = box->standardButton(buttons.value(0));
      click(buttons.value(0));
    });
    ui::systemDialogs().critical(form.get(), u"该目录不是有效路径"_s);
    QCOMPARE(title, u"Tervane"_s);
    QCOMPARE(text, u"该目录不是有效路径"_s);
    QCOMPARE(icon, QMessageBox::Critical);
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(okButton, QMessageBox::Ok);
  }
};

int main(int argc, char** argv) {
  return runWindowTests<DialogsTest>(argc, argv);
}

#include "dialogs_test.moc"
