// The results window: shown, hidden, closed and fed by the scans of the main
// window.

#include <QPointer>

#include "engine/messages.h"
#include "windowtest.h"

class Form2Test : public QObject, protected WindowFixture {
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

  void resultsWindowShownHiddenAndShownAgain() {
    click(form->Command3);
    Form2* results = form->form2();
    QVERIFY(results != nullptr);
    QVERIFY(results->isVisible());
    QCOMPARE(results->Combo1->count(), 0);
    QCOMPARE(results->windowTitle(), u"打开文件夹"_s);
    QCOMPARE(results->size(), QSize(490, 51));
    QCOMPARE(results->Combo1->geometry(), QRect(8, 16, 337, 20));
    QCOMPARE(results->Command1->geometry(), QRect(360, 16, 65, 17));
    QCOMPARE(results->Command2->geometry(), QRect(432, 16, 49, 17));
    QCOMPARE(results->Command1->text(), u"打开（&Q）"_s);
    QCOMPARE(results->Command2->text(), u"返回"_s);
    QVERIFY(results->parentWidget() == nullptr);  // no owner window

    click(form->Command3);
    QCOMPARE(form->form2(), results);  // one window

    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    QCOMPARE(form->form2(), results);
    QCOMPARE(results->Combo1->count(), 3);
    results->Combo1->setEditText(u"edited by hand"_s);

    click(results->Command2);
    QVERIFY(!results->isVisible());
    click(form->Command3);
    QVERIFY(results->isVisible());
    QCOMPARE(results->Combo1->count(), 3);
    QCOMPARE(results->Combo1->currentText(), u"edited by hand"_s);
  }

  void openShowsTheBoxTextUnchanged() {
    click(form->Command3);
    Form2* results = form->form2();
    click(results->Command1);  // an empty list and text: passed on all the same
    results->Combo1->setEditText(u" /srv/my site/a b.htm "_s);
    click(results->Command1);
    QCOMPARE(shell->shownFiles, (QStringList{QString(), u" /srv/my site/a b.htm "_s}));
    QVERIFY(dialogs->messages.isEmpty());

    shell->starts = false;
    click(results->Command1);
    QCOMPARE(dialogs->messageTexts(),
             QStringList{Form2::fileManagerFailed(u" /srv/my site/a b.htm "_s)});
    QVERIFY(dialogs->messageTexts()[0].contains(u"： /srv/my site\n"_s));
    QCOMPARE(dialogs->messages.first().parent.data(), static_cast<QWidget*>(results));
  }

  void userClosesTheResultsWindow() {
    makeSite();
    prepareScan(tree->root() + u"/news"_s, u"*.htm"_s);
    click(form->Command1);
    click(form->Command3);
    QPointer<Form2> first = form->form2();
    first->close();
    QTRY_VERIFY(first.isNull());  // discarded with its list
    QVERIFY(form->form2() == nullptr);

    typeInto(form->Combo1, tree->root());
    typeInto(form->Combo2, u"*.css"_s);
    click(form->Command1);
    QCOMPARE(comboItems(form->form2()->Combo1), QStringList{at("style.css")});
  }

  void resultsWindowClosedDuringAScan() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    QPointer<Form2> closed;
    atNextYield([&] {
      click(form->Command3);
      closed = form->form2();
      closed->Combo1->addItem(u"from before"_s);
      closed->close();
    });
    click(form->Command1);
    QTest::qWait(50);  // let the closed window go
    QVERIFY(closed.isNull());
    // The hand-off made a new window for this scan's results.
    QVERIFY(form->form2() != nullptr);
    QCOMPARE(form->form2()->Combo1->count(), 3);
    QCOMPARE(form->form2()->Combo1->itemText(0), at("index.htm"));
  }

  void closingTheMainWindowDiscardsTheResultsWindow() {
    click(form->Command3);
    QPointer<Form2> results = form->form2();
    QVERIFY(results->isVisible());
    QVERIFY(form->close());
    QVERIFY(results.isNull());
    QVERIFY(!form->isVisible());
  }
};

int main(int argc, char** argv) {
  return runWindowTests<Form2Test>(argc, argv);
}

#include "form2_test.moc"
