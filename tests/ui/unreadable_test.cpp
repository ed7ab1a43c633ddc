// The main window after a scan that could not read some files: the results are
// handed over as always, then one message gives their number and the first few
// paths. Runs as an unprivileged user, since permission bits do not bind root.
#include <grp.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QTest>

#include <memory>

#include "engine/messages.h"
#include "recorders.h"
#include "testsupport.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kInfected = "<html><IFRAME SRC=http://x.example/ width=0 height=0></html>";

}  // namespace

class UnreadableTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<RecordingDialogs> dialogs;
  std::unique_ptr<RecordingShell> shell;
  std::unique_ptr<Form1> form;

  void scan(const TempTree& t) {
    form->Combo1->setEditText(t.root());
    form->Combo2->setEditText(u"*.htm"_s);
    form->Text3->setPlainText(u"<iframe src=http://x.example/ width=0 height=0>"_s);
    QTest::mouseClick(form->Command1, Qt::LeftButton);
  }

 private Q_SLOTS:
  void init() {
    dialogs = std::make_unique<RecordingDialogs>();
    shell = std::make_unique<RecordingShell>();
    form = std::make_unique<Form1>(*dialogs, *shell);
    form->Form_Load();
  }
  void cleanup() {
    form.reset();
    QCOMPARE(::chdir("/"), 0);
  }

  void oneMessageWithTheCountAndTheFirstPaths() {
    TempTree t;
    t.write("found.htm", kInfected);
    for (int i = 0; i < 7; ++i) {
      const QByteArray name = "locked" + QByteArray::number(i) + ".htm";
      t.write(name, kInfected);
      t.chmod(name, 0);
    }
    scan(t);
    // The hand-off took place as always.
    QVERIFY(form->form2() != nullptr);
    QCOMPARE(form->form2()->Combo1->count(), 1);
    QCOMPARE(form->form2()->Combo1->itemText(0), t.path("found.htm"));
    QCOMPARE(form->Text1->toPlainText(), t.path("found.htm") + u"\n"_s);
    // One warning (a notice, not an error), naming five of the seven, and
    // saying that there are more.
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(dialogs->warnings.size(), 1);
    QStringList lines{msg::kUnreadable.toString().arg(7)};
    for (int i = 0; i < 5; ++i)
      lines.append(t.path("locked" + QByteArray::number(i) + ".htm"));
    lines.append(msg::kMore.toString());
    // (The window shows the message's CR LF breaks as plain breaks.)
    QCOMPARE(dialogs->warnings.front().text, lines.join(u"\n"_s));
    QCOMPARE(dialogs->warnings.front().parent.data(), form.get());
  }

  void noMessageWhenEverythingWasRead() {
    TempTree t;
    t.write("clean.htm", "<html></html>");
    scan(t);
    QCOMPARE(form->Text1->toPlainText(), msg::kNoMatch.toString());
    QVERIFY(dialogs->messages.isEmpty());
  }
};

int main(int argc, char** argv) {
  // Root reads whatever the permission bits say: drop to nobody first.
  if (::geteuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    return 99;
  }
  QApplication app(argc, argv);
  UnreadableTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "unreadable_test.moc"
