// The main window driven through its buttons and keys on the offscreen platform:
// its look, the scan, the clean and the small commands.

#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QScrollBar>
#include <QTextCursor>

#include "engine/messages.h"
#include "platform/fs.h"
#include "platform/pathcodec.h"
#include "ui/module1.h"
#include "ui/product.h"
#include "windowtest.h"

class Form1Test : public QObject, protected WindowFixture {
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

  // --- Right after load -----------------------------------------------

  void stateAfterLoad() {
    QVERIFY(form->isVisible());
    QCOMPARE(form->windowTitle(), product::windowCaption());
    QVERIFY(form->windowTitle().contains(u"Tervane"_s));
    QVERIFY(form->windowTitle().contains(u"http://forum.example.com"_s));

    QStringList expectedLocations;
    for (int i = 0; i < form->Drive1->count(); ++i)
      expectedLocations.append(form->Drive1->itemText(i));
    QCOMPARE(expectedLocations, platform::driveList());
    expectedLocations.append(u"全盘扫描"_s);
    QCOMPARE(comboItems(form->Combo1), expectedLocations);
    QCOMPARE(form->Combo1->currentText(), expectedLocations.first());

    QCOMPARE(comboItems(form->Combo2),
             (QStringList{u"*.Asp"_s, u"*.Php"_s, u"*.Txt"_s, u"*.Exe"_s, u"*.ASP|*.PHP|*.JS"_s,
                          u"*.HTM|*.HTML"_s, u"全部文件"_s, u"*.*"_s}));
    QCOMPARE(form->Combo2->currentText(), u"*.ASP|*.PHP|*.JS"_s);

    // The sample signature: two lines, each ended by CR LF, as the scan reads it.
    QCOMPARE(form->signatureText(),
             u"<iframe src=\"http://bad.example.net/index.php\" width=0 \r\n"
             u"height=0></iframe>\r\n"_s);
    QCOMPARE(plain(form->Text1), QString());
    QCOMPARE(form->Text2->text(), QString());
    QVERIFY(form->form2() == nullptr);
    QVERIFY(form->ScanFlag);
  }

  void captionsAndAccessKeys() {
    QCOMPARE(form->Frame1->title(), u"网页木马特征码"_s);
    QCOMPARE(form->Frame2->title(), u"输入要扫描的路径"_s);
    QCOMPARE(form->Label1->text(), u"要扫描的文件类型："_s);
    QCOMPARE(form->Command5->text(), u"..."_s);
    QCOMPARE(form->Command1->text(), u"扫描（&S）"_s);
    QCOMPARE(form->Command7->text(), u"停止扫描（&S）"_s);
    QCOMPARE(form->Command2->text(), u"清除网马（&C）"_s);
    QCOMPARE(form->Command3->text(), u"打开木马所在位置（&A）"_s);
    QCOMPARE(form->Command4->text(), u"求助专区   （&Help）"_s);
    QCOMPARE(form->Command6->text(), u"退出（&T）"_s);

    QApplication::setActiveWindow(form.get());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    // Alt+H is the help button's access key, Alt+A the results window's.
    // (A key press animates the click, which lands a moment later.)
    QTest::keyClick(form.get(), Qt::Key_H, Qt::AltModifier);
    QTRY_COMPARE(shell->openedUrls, QStringList{product::helpUrl()});
    QTest::keyClick(form.get(), Qt::Key_A, Qt::AltModifier);
    QTRY_VERIFY(form->form2() != nullptr);
    QVERIFY(form->form2()->isVisible());
  }

  void layoutInPixels() {
    // Twips / 15, relative to each control's container.
    struct Row {
      QWidget* w;
      QWidget* container;
      QRect px;
    };
    const Row rows[] = {
        {form->Frame1, form.get(), {8, 0, 409, 73}},
        {form->Text3, form->Frame1, {16, 16, 377, 49}},
        {form->Frame2, form.get(), {8, 72, 409, 57}},
        {form->Combo1, form->Frame2, {8, 24, 313, 20}},
        {form->Command5, form->Frame2, {336, 24, 57, 25}},
        {form->Image1, form.get(), {424, 0, 206, 72}},
        {form->Label1, form.get(), {472, 88, 121, 17}},
        {form->Combo2, form.get(), {456, 112, 137, 20}},
        {form->Text1, form.get(), {8, 136, 409, 281}},
        {form->Command1, form.get(), {472, 160, 105, 33}},
        {form->Command7, form.get(), {472, 208, 105, 33}},
        {form->Command2, form.get(), {472, 256, 105, 33}},
        {form->Command3, form.get(), {472, 304, 105, 33}},
        {form->Command4, form.get(), {472, 352, 105, 33}},
        {form->Command6, form.get(), {472, 400, 105, 33}},
        {form->Text2, form.get(), {8, 416, 417, 17}},
        {form->Drive1, form.get(), {272, 200, 81, 20}},
    };
    for (const Row& r : rows) {
      QCOMPARE(r.w->parentWidget(), r.container);
      QCOMPARE(r.w->geometry(), r.px);
    }
    // The window keeps its size: nothing is ever laid out again.
    QCOMPARE(form->size(), QSize(630, 438));
    QCOMPARE(form->minimumSize(), form->maximumSize());

    QVERIFY(!form->Drive1->isVisible());
    QCOMPARE(form->Image1->focusPolicy(), Qt::NoFocus);
  }

  void tabOrder() {
    QApplication::setActiveWindow(form.get());
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    form->Text1->setFocus();
    const QList<QWidget*> expected = {form->Command1, form->Text2,    form->Text3,
                                      form->Command2, form->Command3, form->Command4,
                                      form->Command6, form->Combo1,   form->Command5,
                                      form->Command7, form->Combo2,   form->Text1};
    for (QWidget* next : expected) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QWidget* now = QApplication::focusWidget();
      // An editable box's focus sits in its line edit.
      if (now && now->parentWidget() && qobject_cast<QComboBox*>(now->parentWidget()))
        now = now->parentWidget();
      QCOMPARE(now, next);
    }
  }

  void boxesLook() {
    QCOMPARE(form->Text1->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(form->Text1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form->Text1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(form->Text1->horizontalScrollBar()->isVisible());
    QVERIFY(form->Text1->verticalScrollBar()->isVisible());

    QCOMPARE(form->Text3->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(form->Text3->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    const QFont song = form->Text3->font();
    QCOMPARE(song.pointSizeF(), 10.5);
    QCOMPARE(song.weight(), QFont::Normal);
    QCOMPARE(song.families().first(), u"SimSun"_s);
    // The face actually used is a Song-style CJK one (the set-up installs one).
    const QString used = QFontInfo(song).family();
    QVERIFY2(song.families().contains(used) && used != u"serif"_s, qPrintable(used));
    QVERIFY(QFontMetrics(song).inFont(QChar(u'宋')));
    // Other controls keep the window's font.
    QCOMPARE(form->Text1->font(), form->font());

    QCOMPARE(form->Text2->palette().color(QPalette::Base), form->palette().color(QPalette::Button));

    const QPixmap banner = form->Image1->pixmap();
    QCOMPARE(banner.size(), QSize(254, 80));
    QVERIFY(form->Image1->hasScaledContents());
    QVERIFY(form->windowIcon().availableSizes().contains(QSize(48, 48)));
  }

  // --- Scan -----------------------------------------------------------

  void scanThroughTheButton() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);

    const QStringList found = {at("index.htm"), at("news/list.htm"), at("news/old/archive.htm")};
    QCOMPARE(plain(form->Text1), found.join(u'\n') + u'\n');
    QCOMPARE(form->resultsText(), found.join(u"\r\n"_s) + u"\r\n"_s);
    // The current-file line still shows the last file visited.
    QCOMPARE(form->Text2->text(), at("news/old/archive.htm"));

    Form2* results = form->form2();
    QVERIFY(results != nullptr);
    QVERIFY(!results->isVisible());  // the hand-off never shows it
    QCOMPARE(comboItems(results->Combo1), found);
    QCOMPARE(results->Combo1->currentText(), found.first());
    QVERIFY(dialogs->messages.isEmpty());
  }

  void twoScansAppendToTheList() {
    makeSite();
    prepareScan(tree->root() + u"/news"_s, u"*.htm"_s);
    click(form->Command1);
    QCOMPARE(comboItems(form->form2()->Combo1),
             (QStringList{at("news/list.htm"), at("news/old/archive.htm")}));

    typeInto(form->Combo1, tree->root());
    typeInto(form->Combo2, u"*.css"_s);
    click(form->Command1);
    QCOMPARE(plain(form->Text1), at("style.css") + u'\n');
    QCOMPARE(comboItems(form->form2()->Combo1),
             (QStringList{at("news/list.htm"), at("news/old/archive.htm"), at("style.css")}));
    QCOMPARE(form->form2()->Combo1->currentText(), at("news/list.htm"));
  }

  void scanThatFindsNothing() {
    makeSite();
    prepareScan(tree->root(), u"*.txt"_s);
    click(form->Command1);
    QCOMPARE(plain(form->Text1), u"没有与之相符合的感染文件..."_s);
    QVERIFY(form->form2() == nullptr);
  }

  void stopDuringTheScan() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    bool wasScanning = false;
    // The first yield comes right after the root's listing has started.
    atNextYield([&] {
      wasScanning = form->isScanning();
      click(form->Command7);
    });
    click(form->Command1);
    QVERIFY(wasScanning);
    QVERIFY(!form->ScanFlag);
    // The root's listing is finished, no subfolder is walked, the hand-off runs;
    // the box says the scan was stopped.
    QVERIFY2(plain(form->Text1).startsWith(at("index.htm") + u"\n—— 扫描已停止"_s),
             qPrintable(plain(form->Text1)));
    QVERIFY(plain(form->Text1).contains(u"发现 1 个感染文件"_s));
    QCOMPARE(comboItems(form->form2()->Combo1), QStringList{at("index.htm")});
    // The next Scan sets the flag again and walks everything.
    click(form->Command1);
    QVERIFY(form->ScanFlag);
    QCOMPARE(plain(form->Text1).count(u'\n'), 3);
  }

  void windowStaysLiveDuringTheScan() {
    for (int i = 0; i < 8; ++i)
      tree->write("f" + QByteArray::number(i) + ".htm", kClean);
    prepareScan(tree->root(), u"*.htm"_s);
    // Each handling of events sleeps past the throttle's interval, so the next
    // entry's yield handles events again: the window sees every file go by.
    QStringList seen;
    bool started = false;
    QObject chain;  // ends the chain with the test
    onEachEventHandling(&chain, [&] {
      if (!form->isScanning())
        return !started;
      started = true;
      seen.append(form->Text2->text());
      QTest::qSleep(int(Form1::kYieldIntervalMs) + 2);
      return true;
    });
    click(form->Command1);
    QVERIFY(started);
    QVERIFY2(seen.contains(at("f0.htm")), qPrintable(seen.join(u", "_s)));
    QVERIFY(seen.contains(at("f6.htm")));
  }

  void yieldsAreThrottled() {
    for (int d = 0; d < 20; ++d)
      for (int f = 0; f < 100; ++f)
        tree->write("d" + QByteArray::number(d) + "/f" + QByteArray::number(f) + ".htm", kClean);
    prepareScan(tree->root(), u"*.htm"_s);
    int handled = 0;
    QObject chain;
    onEachEventHandling(&chain, [&] {
      if (!form->isScanning())
        return handled == 0;
      ++handled;
      return true;
    });
    QElapsedTimer clock;
    clock.start();
    click(form->Command1);
    const qint64 ms = clock.elapsed();
    QVERIFY(handled >= 1);
    // 2,000 files and 2,040 yields, but events are handled at most once per
    // interval (and once at the start).
    QVERIFY2(handled <= ms / Form1::kYieldIntervalMs + 2,
             qPrintable(u"%1 in %2 ms"_s.arg(handled).arg(ms)));
    QCOMPARE(form->Text2->text(), at("d9/f99.htm"));  // d10..d19 sort before d2
  }

  void messagesOfTheScan() {
    typeInto(form->Combo1, tree->root());
    typeInto(form->Text3, u"   "_s);
    click(form->Command1);
    QCOMPARE(dialogs->messageTexts(), QStringList{u"请输入特征码..."_s});
    QCOMPARE(dialogs->messages.first().parent.data(), form.get());
    QVERIFY(form->form2() == nullptr);

    typeInto(form->Text3, QString::fromLatin1(kSignature));
    typeInto(form->Combo1, tree->root() + u"/missing"_s);
    click(form->Command1);
    QCOMPARE(dialogs->messageTexts(), (QStringList{u"请输入特征码..."_s, u"该目录不是有效路径"_s}));
    QCOMPARE(plain(form->Text1), QString());
  }

  // --- Clean ----------------------------------------------------------

  void cleanThroughTheButton() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    // The box holds the signature in lower case; index.htm holds it in capitals,
    // which the clean removes as the scan found it; list.htm gets it as typed.
    tree->write("news/list.htm", "a" + kSignature + "b");
    click(form->Command2);
    const QString ok = u"  清楚成功！"_s;
    // The log ends with one line that says how many were cleaned and how to undo.
    const QString summary = u"—— 已清除 3 个文件，原件已备份，右键可撤销（Ctrl+Alt+Z）"_s;
    QCOMPARE(plain(form->Text1), QStringList({at("index.htm"), ok, at("news/list.htm"), ok,
                                              at("news/old/archive.htm"), ok, summary, QString()})
                                     .join(u'\n'));
    QCOMPARE(tree->read("news/list.htm"), QByteArray("ab"));
    QCOMPARE(tree->read("index.htm"), QByteArray("<html>\r\n\r\n</html>"));  // any case
    QVERIFY(dialogs->messages.isEmpty());
    // The results window keeps the scan's list.
    QCOMPARE(form->form2()->Combo1->count(), 3);
  }

  void cleaningError() {
    tree->write("a.htm", "x" + kSignature);
    tree->mkdir("folder.htm");
    typeInto(form->Text3, QString::fromLatin1(kSignature));
    // The user types the log: a file, a folder (which cannot be rewritten), a file.
    typeInto(form->Text1, at("b.htm") + u'\n' + at("folder.htm") + u'\n' + at("a.htm") + u'\n');
    tree->write("b.htm", "b" + kSignature);
    click(form->Command2);  // "停止", the default
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(dialogs->choices.size(), 2);
    const RecordingDialogs::Choice failure = dialogs->choices.first();
    QCOMPARE(failure.buttons, (QStringList{u"跳过"_s, u"全部跳过"_s, u"停止"_s}));
    QCOMPARE(failure.defaultButton, 2);
    QVERIFY2(failure.text.contains(at("folder.htm")), qPrintable(failure.text));
    // Its lines break as a label breaks them, with no carriage return left to show.
    QVERIFY(failure.text.contains(u'\n'));
    QVERIFY(!failure.text.contains(u'\r'));
    // The file before it is cleaned; the folder and the file after it stay listed.
    QCOMPARE(tree->read("b.htm"), QByteArray("b"));
    QCOMPARE(tree->read("a.htm"), "x" + kSignature);
    const QStringList lines = plain(form->Text1).split(u'\n');
    QCOMPARE(lines.mid(0, 4), (QStringList{at("b.htm"), u"  清楚成功！"_s,
                                           msg::kNotCleanedHeader.toString(), at("folder.htm")}));
    QVERIFY(lines[4].startsWith(msg::kNotCleanedReason));
    QCOMPARE(lines[5], at("a.htm"));
    QVERIFY2(lines[6].contains(u"出错 1 个，没有处理 1 个"_s), qPrintable(lines[6]));
    // The message after the clean offers the way back, "确定" the default.
    QCOMPARE(dialogs->choices[1].buttons, (QStringList{u"撤销"_s, u"确定"_s}));
    QCOMPARE(dialogs->choices[1].defaultButton, 1);

    // Ctrl+Z takes back the user's own typing, never the program's text.
    const QString log = plain(form->Text1);
    form->Text1->setFocus();
    form->Text1->moveCursor(QTextCursor::End);
    QTest::keyClick(form->Text1, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(plain(form->Text1), log);
    QTest::keyClicks(form->Text1, u"x"_s);
    QTest::keyClick(form->Text1, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(plain(form->Text1), log);

    // The cause gone, the next Clean takes the two files left and only those.
    QVERIFY(QDir(at("folder.htm")).removeRecursively());
    tree->write("folder.htm", "f" + kSignature);
    click(form->Command2);
    QCOMPARE(plain(form->Text1).split(u'\n').mid(0, 4),
             (QStringList{at("folder.htm"), u"  清楚成功！"_s, at("a.htm"), u"  清楚成功！"_s}));
    QCOMPARE(tree->read("folder.htm"), QByteArray("f"));
    QCOMPARE(tree->read("a.htm"), QByteArray("x"));
    QCOMPARE(tree->read("b.htm"), QByteArray("b"));
  }

  void pathsThatAreNotPlainUtf8SurviveTheBoxes() {
    const QByteArray odd = "gb-\xcd\xf8\xd2\xb3.htm";  // GBK bytes: not UTF-8
    const QByteArray nbsp =
        "no\xc2\xa0"
        "break.htm";
    tree->write(odd, "1" + kSignature + "2");
    tree->write(nbsp, "3" + kSignature + "4");
    form->Combo1->setEditText(tree->root());
    typeInto(form->Combo2, u"*.htm"_s);
    typeInto(form->Text3, QString::fromLatin1(kSignature));
    click(form->Command1);
    // The GBK name shows as its text, marked and quoted; the no-break space stays.
    QCOMPARE(comboItems(form->form2()->Combo1),
             (QStringList{u"\""_s + tree->root() + u"/\\ggb-网页.htm\""_s, at(nbsp)}));
    click(form->Command2);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    QCOMPARE(tree->read(odd), QByteArray("12"));
    QCOMPARE(tree->read(nbsp), QByteArray("34"));
    // "打开（&Q）" hands the file manager the exact path.
    form->Command3_Click();
    click(form->form2()->Command1);
    QCOMPARE(shell->shownFiles, QStringList{at(odd)});
    QCOMPARE(platform::encodePath(shell->shownFiles.first()), tree->abs(odd));
  }

  // --- Small commands -------------------------------------------------

  void ctrlASelectsTheSignature() {
    form->Text3->setFocus();
    QTextCursor start = form->Text3->textCursor();
    start.setPosition(3);
    form->Text3->setTextCursor(start);
    QTest::keyClick(form->Text3, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(form->Text3->textCursor().selectionStart(), 0);
    QCOMPARE(form->Text3->textCursor().selectedText().size(),
             form->Text3->document()->characterCount() - 1);
    QVERIFY(form->Text3->textCursor().selectedText().startsWith(u"<iframe"_s));

    typeInto(form->Text3, QString());
    QTest::keyClick(form->Text3, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(form->Text3->textCursor().selectionStart(), 0);
    QCOMPARE(form->Text3->textCursor().selectionEnd(), 0);
    // Other keys reach the box as typed.
    QTest::keyClicks(form->Text3, u"abc"_s);
    QCOMPARE(plain(form->Text3), u"abc"_s);
  }

  void helpOpensTheForumPage() {
    click(form->Command4);
    QCOMPARE(shell->openedUrls, QStringList{u"http://forum.example.com/forumdisplay.php?fid=97"_s});
    QVERIFY(dialogs->messages.isEmpty());
    shell->starts = false;
    click(form->Command4);
    QCOMPARE(dialogs->messageTexts(), QStringList{msg::kBrowserFailed.toString()});
  }

  void folderPicker() {
    typeInto(form->Combo1, tree->root());
    const int items = form->Combo1->count();
    dialogs->folderAnswer = tree->root() + u"/site"_s;
    click(form->Command5);
    QCOMPARE(form->Combo1->currentText(), tree->root() + u"/site"_s);

    // Cancel: the box keeps the location it had, and its list stays.
    dialogs->folderAnswer.clear();
    click(form->Command5);
    QCOMPARE(form->Combo1->currentText(), tree->root() + u"/site"_s);
    QCOMPARE(form->Combo1->count(), items);

    QCOMPARE(dialogs->folderRequests.size(), 2);
    for (const auto& request : dialogs->folderRequests) {
      QCOMPARE(request.parent.data(), form.get());
      QCOMPARE(request.title, u"请选择文件夹："_s);
      QVERIFY(request.directoriesOnly);
    }
    // The picker opens at the folder the box names when it is one, else at the
    // desktop (or home): the first time the box named the tree, the second a
    // folder that does not exist.
    QCOMPARE(dialogs->folderRequests[0].startDir, tree->root());
    QCOMPARE(dialogs->folderRequests[1].startDir, Module1::dialogStartFolder());
  }

  // --- Ending ---------------------------------------------------------

  void exitAndCloseDuringAScanEndTheProcess_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("exit button") << u"exit"_s;
    QTest::newRow("close the window") << u"close"_s;
  }

  void exitAndCloseDuringAScanEndTheProcess() {
    QFETCH(QString, mode);
    makeSite();
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    probe.setProcessEnvironment(env);
    probe.start(QString::fromLocal8Bit(TERVANE_EXIT_PROBE), {mode, tree->root()});
    QVERIFY(probe.waitForFinished(60000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);
    // The process ended inside the scan: nothing after the click ran.
    QCOMPARE(out, u"in scan\n"_s);
  }
};

int main(int argc, char** argv) {
  return runWindowTests<Form1Test>(argc, argv);
}

#include "form1_test.moc"
