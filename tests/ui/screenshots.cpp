// Takes the pictures of the README: the main window after a scan that found
// files, the results window, the question of a clean that meets a file it
// cannot clean, the message after the clean, the main window after it, and the
// backups dialog. Everything is done through the real buttons, on a small web site made
// in a temporary folder, with a backup store of its own. Run by
// tools/screenshots.sh on a virtual display; writes main-window.png,
// results-window.png, clean-failure.png, clean-done.png, main-window-cleaned.png
// and backups-dialog.png into argv[1].
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>

#include <cstdio>

#include "recorders.h"
#include "ui/backupsdialog.h"
#include "ui/dialogs.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/product.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

bool write(const QString& path, const QByteArray& content) {
  QDir().mkpath(path.left(path.lastIndexOf(u'/')));
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

bool save(QWidget* w, const QString& path) {
  QTest::qWait(300);  // let it paint
  return w->grab().save(path);
}

// The real dialogs, but a choice is shown without a modal loop of its own:
// taken as a picture, then answered as `answers` say.
class PictureDialogs final : public ui::Dialogs {
 public:
  struct Answer {
    QString picture;  // where the box's picture goes
    int button;
  };
  QList<Answer> answers;
  bool saved = true;

  void critical(QWidget* parent, const QString& text) override {
    ui::systemDialogs().critical(parent, text);
  }
  void warning(QWidget* parent, const QString& text) override {
    ui::systemDialogs().warning(parent, text);
  }
  int choose(QWidget* parent, const QString& text, const QStringList& buttons,
             int defaultButton) override {
    if (answers.isEmpty())
      return ui::systemDialogs().choose(parent, text, buttons, defaultButton);
    const Answer answer = answers.takeFirst();
    QList<QPushButton*> added;
    const std::unique_ptr<QMessageBox> box =
        ui::choiceBox(parent, text, buttons, defaultButton, added);
    box->show();
    saved = QTest::qWaitForWindowExposed(box.get()) && save(box.get(), answer.picture) && saved;
    box->close();
    return answer.button;
  }
  bool question(QWidget* parent, const QString& text) override {
    return ui::systemDialogs().question(parent, text);
  }
  QString existingDirectory(QWidget* parent, const QString& title, const QString& startDir,
                            bool directoriesOnly) override {
    return ui::systemDialogs().existingDirectory(parent, title, startDir, directoriesOnly);
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  // Absolute: the scan makes its location the current directory.
  const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();

  // The clean's backups go to a store of the demonstration's own.
  QTemporaryDir store;
  qputenv("XDG_DATA_HOME", QFile::encodeName(store.path()));

  // A site where the sample signature sits in some pages.
  QTemporaryDir dir(QDir::tempPath() + u"/demo-XXXXXX"_s);
  const QString site = dir.path() + u"/www"_s;
  const QByteArray frame = product::sampleSignature().toUtf8();
  const QByteArray page = "<html><body>\r\n<p>hello</p>\r\n</body></html>\r\n";
  bool ok = write(site + u"/index.asp"_s, page + frame) && write(site + u"/about.asp"_s, page) &&
            write(site + u"/bbs/forum.php"_s, frame + page) &&
            write(site + u"/bbs/post.php"_s, page) &&
            write(site + u"/js/common.js"_s, "var a = 1;\r\n" + frame) &&
            write(site + u"/news/2024/list.asp"_s, page + frame + page) &&
            write(site + u"/news/2024/readme.txt"_s, frame);
  if (!ok) {
    std::fprintf(stderr, "cannot write the site\n");
    return 1;
  }

  RecordingShell shell;  // nothing is launched
  PictureDialogs dialogs;
  Form1 form(dialogs, shell);
  form.Form_Load();
  if (!QTest::qWaitForWindowExposed(&form)) {
    std::fprintf(stderr, "the main window did not show\n");
    return 1;
  }
  form.Combo1->lineEdit()->selectAll();
  QTest::keyClicks(form.Combo1->lineEdit(), site);
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  if (!form.form2() || form.form2()->Combo1->count() != 4) {
    std::fprintf(stderr, "the scan did not find the four pages\n");
    return 1;
  }
  ok = save(&form, out + u"/main-window.png"_s);

  QTest::mouseClick(form.Command3, Qt::LeftButton);
  Form2* results = form.form2();
  if (!QTest::qWaitForWindowExposed(results)) {
    std::fprintf(stderr, "the results window did not show\n");
    return 1;
  }
  ok = ok && save(results, out + u"/results-window.png"_s);
  results->close();

  // A page deleted since the scan: the clean asks whether to go on, and is
  // told to skip it; then the message after the clean offers the way back.
  QFile::remove(site + u"/bbs/forum.php"_s);
  dialogs.answers = {{out + u"/clean-failure.png"_s, 0}, {out + u"/clean-done.png"_s, 1}};
  QTest::mouseClick(form.Command2, Qt::LeftButton);
  ok = ok && dialogs.answers.isEmpty() && dialogs.saved;
  form.Text1->moveCursor(QTextCursor::End);
  form.Text1->ensureCursorVisible();
  ok = ok && save(&form, out + u"/main-window-cleaned.png"_s);

  // A second site, cleaned in full: the backups dialog tells the runs apart.
  const QString shop = dir.path() + u"/shop"_s;
  ok = ok && write(shop + u"/cart.asp"_s, page + frame) && write(shop + u"/pay.asp"_s, frame);
  form.Combo1->lineEdit()->selectAll();
  QTest::keyClicks(form.Combo1->lineEdit(), shop);
  QTest::mouseClick(form.Command1, Qt::LeftButton);
  dialogs.answers = {{out + u"/clean-done-shop.png"_s, 1}};
  QTest::mouseClick(form.Command2, Qt::LeftButton);
  QFile::remove(out + u"/clean-done-shop.png"_s);

  form.manageBackups();
  QCoreApplication::processEvents();
  ui::BackupsDialog* backups = form.backupsDialog();
  if (!backups || !QTest::qWaitForWindowExposed(backups)) {
    std::fprintf(stderr, "the backups dialog did not show\n");
    return 1;
  }
  ok = ok && save(backups, out + u"/backups-dialog.png"_s);
  // Out of the tree before it goes; "/" is always there.
  (void)!::chdir("/");
  if (!ok)
    std::fprintf(stderr, "cannot save the pictures in %s\n", argv[1]);
  return ok ? 0 : 1;
}
