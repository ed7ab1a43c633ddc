// Handlers that run inside a scan, at one of its yields: what the scan and the
// boxes hold afterwards.
#include <QTest>

#include "windowtest.h"

class ReentryTest : public QObject, protected WindowFixture {
  Q_OBJECT

  // Runs `f` once, at the first yield where `when` holds. Every handling of
  // events sleeps past the throttle's interval, so each yield handles events.
  void atFirstYieldWhere(QObject* chain, std::function<bool()> when, std::function<void()> f) {
    onEachEventHandling(chain, [this, when, f, done = false]() mutable {
      if (!form->isScanning())
        return !done;
      if (!done && when()) {
        done = true;
        f();
      }
      QTest::qSleep(int(Form1::kYieldIntervalMs) + 2);
      return true;
    });
  }

 private Q_SLOTS:
  void init() {
    openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  void cleanup() {
    closeWindow();
    QCOMPARE(::chdir("/"), 0);
  }

  void cleanClickedInTheMiddleOfAScan() {
    // The files hold the signature as the box gives it, so the clean removes it.
    const QByteArray infected = "x" + kSignature + "y";
    tree->write("a.htm", infected);
    tree->write("c.htm", infected);
    tree->write("sub/b.htm", infected);
    prepareScan(tree->root(), u"*.htm"_s);
    QObject chain;
    bool cleaned = false;
    atFirstYieldWhere(
        &chain, [&] { return plain(form->Text1).contains(at("a.htm")); },
        [&] {
          click(form->Command2);
          cleaned = true;
        });
    click(form->Command1);
    QVERIFY(cleaned);

    // Only the file logged before the click was cleaned; the walk appended the
    // rest behind the cleaning log and its summary line, and the hand-off took
    // every line.
    const QStringList lines = {at("a.htm"), u"  清楚成功！"_s,
                               u"—— 已清除 1 个文件，原件已备份，右键可撤销（Ctrl+Alt+Z）"_s,
                               at("c.htm"), at("sub/b.htm")};
    QCOMPARE(plain(form->Text1), lines.join(u'\n') + u'\n');
    QCOMPARE(tree->read("a.htm"), QByteArray("xy"));
    QCOMPARE(tree->read("c.htm"), infected);
    QCOMPARE(tree->read("sub/b.htm"), infected);
    QCOMPARE(comboItems(form->form2()->Combo1), lines);
    QVERIFY(dialogs->messages.isEmpty());

    // A second clean sees a cleaning log in the box and changes nothing: it does
    // not take the result lines for paths, nor clean the paths behind them.
    const QString log = plain(form->Text1);
    click(form->Command2);
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(plain(form->Text1), log);
    QCOMPARE(tree->read("a.htm"), QByteArray("xy"));
    QCOMPARE(tree->read("c.htm"), infected);
  }

  void boxesTypedIntoDuringAScanChangeOnlyTheNextScan() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    QObject chain;
    atFirstYieldWhere(
        &chain, [] { return true; },
        [&] {
          typeInto(form->Combo2, u"*.css"_s);
          typeInto(form->Combo1, tree->root() + u"/news"_s);
          typeInto(form->Text3, u"nothing like it"_s);
          click(form->Command1);  // refused: the walk goes on with its own listing
        });
    click(form->Command1);
    QCOMPARE(comboItems(form->form2()->Combo1),
             (QStringList{at("index.htm"), at("news/list.htm"), at("news/old/archive.htm")}));
    QCOMPARE(form->Combo2->currentText(), u"*.css"_s);
    QVERIFY(dialogs->messages.isEmpty());
  }
};

int main(int argc, char** argv) {
  return runWindowTests<ReentryTest>(argc, argv);
}

#include "reentry_test.moc"
