// The way back inside the main window: the summary line of a clean, "撤销上次清除"
// and "管理备份…" in the results box's context menu and on their shortcuts, and
// the backups dialog with Restore and Delete.

#include <sys/stat.h>

#include <QContextMenuEvent>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include "engine/messages.h"
#include "ui/backupsdialog.h"
#include "windowtest.h"

namespace {

// What a file is: its bytes, mode, owner and group.
struct FileState {
  QByteArray content;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  bool operator==(const FileState&) const = default;
};

FileState stateOf(const TempTree& tree, const QByteArray& rel) {
  struct stat st {};
  if (::stat(tree.abs(rel).constData(), &st) != 0)
    return {};
  return {tree.read(rel), st.st_mode, st.st_uid, st.st_gid};
}

char* toString(const FileState& s) {
  return qstrdup(QByteArray("mode " + QByteArray::number(s.mode, 8) + " uid " +
                            QByteArray::number(s.uid) + " gid " + QByteArray::number(s.gid) +
                            " content " + s.content.left(60))
                     .constData());
}

QAction* actionNamed(QMenu* menu, const QString& text) {
  for (QAction* a : menu->actions()) {
    if (a->text() == text)
      return a;
  }
  return nullptr;
}

}  // namespace

class WayBackTest : public QObject, protected WindowFixture {
  Q_OBJECT

  const QList<QByteArray> pages_ = {"index.htm", "news/list.htm", "news/old/archive.htm",
                                    "shop/cart.htm"};
  std::unique_ptr<QTemporaryDir> store_;

  // Pages with legitimate closing tags, of several modes and owners.
  QMap<QByteArray, FileState> makePages() {
    const QList<mode_t> modes = {0644, 0600, 0751, 0640};
    for (qsizetype i = 0; i < pages_.size(); ++i) {
      tree->write(pages_[i], "<html><body>\r\n<p>page " + QByteArray::number(i) + "</p>\r\n" +
                                 kSignature + "\r\n</body></html>\r\n");
      ::chmod(tree->abs(pages_[i]).constData(), modes[i]);
    }
    if (::geteuid() == 0) {
      // Owners other than the one running the window.
      (void)!::chown(tree->abs(pages_[1]).constData(), 65534, 65534);
      (void)!::chown(tree->abs(pages_[3]).constData(), 1234, 4321);
    }
    QMap<QByteArray, FileState> before;
    for (const QByteArray& p : pages_)
      before.insert(p, stateOf(*tree, p));
    return before;
  }

  // The pages typed into the box as a list, and a signature that every page
  // holds legitimately.
  void listPagesWithAWrongSignature() {
    QStringList list;
    for (const QByteArray& p : pages_)
      list.append(at(p));
    typeInto(form->Text1, list.join(u'\n') + u'\n');
    typeInto(form->Text3, u"</p>"_s);
  }

  // The results box's context menu, opened as a right click opens it.
  QMenu* openContextMenu() {
    QWidget* viewport = form->Text1->viewport();
    const QPoint at(20, 20);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
  }

  void chooseFromMenu(QMenu* menu, QAction* action) {
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    QTest::mouseMove(menu, menu->actionGeometry(action).center());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
  }

  // Ctrl+Alt+`key` in the results box; the action it triggers runs once the
  // key's handling is over.
  void pressShortcut(Qt::Key key) {
    QTest::keyClick(form->Text1, key, Qt::ControlModifier | Qt::AltModifier);
    QCoreApplication::processEvents();
  }

  QStringList storeRuns() const {
    return QDir(store_->path() + u"/tervane/backups"_s)
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  }

 private Q_SLOTS:
  void init() {
    openWindow();
    store_ = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", QFile::encodeName(store_->path()));
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  void cleanup() {
    closeWindow();
    QCOMPARE(::chdir("/"), 0);
  }

  // A list cleaned with a wrong signature (every page loses its legitimate
  // "</p>"), then undone from the context menu: every page is back as it was.
  void undoFromTheContextMenu() {
    const auto before = makePages();
    listPagesWithAWrongSignature();
    click(form->Command2);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    for (const QByteArray& p : pages_)
      QVERIFY(!tree->read(p).contains("</p>"));
    // The log's last line: how many, that the originals are kept, how to undo.
    const QStringList lines = plain(form->Text1).split(u'\n');
    QCOMPARE(lines.size(), 2 * pages_.size() + 2);
    QCOMPARE(lines[lines.size() - 2],
             u"—— 已清除 4 个文件，原件已备份，右键可撤销（Ctrl+Alt+Z）"_s);

    QMenu* menu = openContextMenu();
    QVERIFY(menu);
    // The box's own commands stay; the way back follows, with its shortcuts shown.
    QVERIFY(menu->actions().size() > 3);
    QAction* undo = actionNamed(menu, u"撤销上次清除"_s);
    QAction* manage = actionNamed(menu, u"管理备份…"_s);
    QVERIFY(undo && manage);
    QCOMPARE(undo->shortcut(), QKeySequence(u"Ctrl+Alt+Z"_s));
    QCOMPARE(manage->shortcut(), QKeySequence(u"Ctrl+Alt+B"_s));
    QVERIFY(undo->isShortcutVisibleInContextMenu() && undo->isEnabled());
    chooseFromMenu(menu, undo);
    QTRY_VERIFY(dialogs->questions.size() == 1);
    QVERIFY2(dialogs->questions[0].text.contains(u"4 个文件"_s),
             qPrintable(dialogs->questions[0].text));

    for (const QByteArray& p : pages_)
      QCOMPARE(stateOf(*tree, p), before.value(p));
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    // The restore log: each page and what became of it, then a summary line.
    const QString log = plain(form->Text1);
    QCOMPARE(log.count(u"  已恢复。"_s), 4);
    QVERIFY2(log.endsWith(u"—— 已恢复 4 个文件，0 个文件没有恢复。要再清除，请先重新扫描。\n"_s),
             qPrintable(log));
    // The current-file line showed the files as they were put back.
    QVERIFY(pages_.contains(form->Text2->text().mid(tree->root().size() + 1).toUtf8()));
    // The log is not a list: Clean does nothing with it.
    click(form->Command2);
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(plain(form->Text1), log);
    for (const QByteArray& p : pages_)
      QCOMPARE(stateOf(*tree, p), before.value(p));
  }

  // "撤销" in the message after a clean restores that clean, and the progress
  // line counts the files of the restore.
  void undoFromTheMessageAfterAClean() {
    const auto before = makePages();
    listPagesWithAWrongSignature();
    dialogs->choiceAnswers = {0};
    click(form->Command2);
    QCOMPARE(dialogs->choices.size(), 1);
    QVERIFY2(dialogs->choices[0].text.contains(u"已清除 4 个文件"_s),
             qPrintable(dialogs->choices[0].text));
    QCOMPARE(dialogs->questions.size(), 1);  // the restore asks first, as the menu's does
    for (const QByteArray& p : pages_)
      QCOMPARE(stateOf(*tree, p), before.value(p));
    QCOMPARE(form->progressLabel->text(), u"4 / 4"_s);
    // The run undone is not offered again.
    form->undoLastClean();
    QCOMPARE(dialogs->questions.size(), 1);
    QCOMPARE(dialogs->warnings.size(), 1);
    QCOMPARE(dialogs->warnings.front().text, msg::kAlreadyUndone.toString());
  }

  void undoAsksFirstAndNamesEditedFiles() {
    const auto before = makePages();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    click(form->Command2);
    // One page is edited after the clean.
    tree->write("shop/cart.htm", "edited by hand");

    // No at the first question: nothing changes.
    dialogs->answers = {false};
    pressShortcut(Qt::Key_Z);
    QCOMPARE(dialogs->questions.size(), 1);
    QVERIFY(!tree->read("index.htm").contains(kSignature));

    // Yes, then No for the edited page: it is named and left.
    dialogs->answers = {true, false};
    pressShortcut(Qt::Key_Z);
    QCOMPARE(dialogs->questions.size(), 3);
    QVERIFY2(dialogs->questions[2].text.contains(at("shop/cart.htm")),
             qPrintable(dialogs->questions[2].text));
    QCOMPARE(tree->read("shop/cart.htm"), QByteArray("edited by hand"));
    for (const QByteArray p : {"index.htm", "news/list.htm", "news/old/archive.htm"})
      QCOMPARE(stateOf(*tree, p), before.value(p));
    QVERIFY(plain(form->Text1).contains(u"—— 已恢复 3 个文件，1 个文件没有恢复。"_s));
    QVERIFY(plain(form->Text1).contains(at("shop/cart.htm") + u"\n  清除之后文件又被改动过"_s));

    // Again, Yes to both: the edited page gets its original too.
    dialogs->answers = {true, true};
    pressShortcut(Qt::Key_Z);
    for (const QByteArray& p : pages_)
      QCOMPARE(stateOf(*tree, p), before.value(p));
    QVERIFY(plain(form->Text1).contains(u"—— 已恢复 4 个文件，0 个文件没有恢复。"_s));
  }

  void undoWithNothingToUndo() {
    pressShortcut(Qt::Key_Z);
    QCOMPARE(dialogs->warnings.size(), 1);
    QCOMPARE(dialogs->warnings.front().text, msg::kNoBackups.toString());
    QVERIFY(dialogs->messages.isEmpty() && dialogs->questions.isEmpty());
  }

  void wayBackIsNotOfferedDuringAScan() {
    makePages();
    prepareScan(tree->root(), u"*.htm"_s);
    bool enabledDuring = true;
    atNextYield([&] {
      enabledDuring = form->undoCleanAction->isEnabled() || form->manageBackupsAction->isEnabled();
      // The shortcut does nothing either.
      pressShortcut(Qt::Key_B);
    });
    click(form->Command1);
    QVERIFY(!enabledDuring);
    QVERIFY(form->backupsDialog() == nullptr);
    QVERIFY(form->undoCleanAction->isEnabled() && form->manageBackupsAction->isEnabled());
  }

  void backupsDialogRestoresAndDeletes() {
    const auto before = makePages();
    // Two cleans: the first removes the signature, the second "</p>" as well.
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    click(form->Command2);
    const auto afterFirst = [&] {
      QMap<QByteArray, FileState> m;
      for (const QByteArray& p : pages_)
        m.insert(p, stateOf(*tree, p));
      return m;
    }();
    typeInto(form->Text3, u"</p>"_s);
    click(form->Command1);
    click(form->Command2);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    QCOMPARE(storeRuns().size(), 2);

    pressShortcut(Qt::Key_B);
    ui::BackupsDialog* dialog = form->backupsDialog();
    QVERIFY(dialog);
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QVERIFY(dialog->isModal());
    QCOMPARE(dialog->runList->topLevelItemCount(), 2);
    QCOMPARE(dialog->runs()[0].name, storeRuns()[1].toLatin1());  // newest first
    for (int row = 0; row < 2; ++row) {
      QTreeWidgetItem* item = dialog->runList->topLevelItem(row);
      QCOMPARE(item->text(1), tree->root());  // the folder that holds every page
      QCOMPARE(item->text(2), u"4"_s);
      QCOMPARE(item->text(4), u"完整"_s);
      QVERIFY(!item->text(0).isEmpty() && !item->text(3).isEmpty());
      // Its files, when the row is opened.
      dialog->runList->expandItem(item);
      QCOMPARE(item->childCount(), 4);
      QCOMPARE(item->child(1)->text(1), at(pages_[1]));
    }
    QVERIFY(dialog->totalLabel->text().startsWith(u"备份共占用 "_s));
    qint64 total = 0;
    for (const Restorer::Run& r : dialog->runs())
      total += r.bytes;
    QCOMPARE(dialog->totalLabel->text(), u"备份共占用 "_s + ui::shownSize(total));

    // Undone newest first, as the cleans were made: the newer run gives back
    // the pages of the first clean, then the older one those from before both.
    // (The older run alone is refused: the second clean replaced the files
    // it left, and a restore writes only to the file its clean left.)
    dialog->runList->setCurrentItem(dialog->runList->topLevelItem(0));
    click(dialog->restoreButton);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    for (const QByteArray& p : pages_)
      QCOMPARE(stateOf(*tree, p), afterFirst.value(p));
    // The run acted on stays chosen, and says it was restored.
    QCOMPARE(dialog->runList->currentItem(), dialog->runList->topLevelItem(0));
    QCOMPARE(dialog->runList->topLevelItem(0)->text(4), u"已恢复"_s);
    dialog->runList->setCurrentItem(dialog->runList->topLevelItem(1));
    click(dialog->restoreButton);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    for (const QByteArray& p : pages_)
      QCOMPARE(stateOf(*tree, p), before.value(p));

    // Delete, No: nothing goes; Yes: the run and its copies go.
    dialog->runList->setCurrentItem(dialog->runList->topLevelItem(0));
    dialogs->answers = {false};
    click(dialog->deleteButton);
    QCOMPARE(storeRuns().size(), 2);
    dialogs->answers = {true};
    click(dialog->deleteButton);
    QCOMPARE(storeRuns().size(), 1);
    QCOMPARE(dialog->runList->topLevelItemCount(), 1);
    QCOMPARE(dialog->runs()[0].name, storeRuns()[0].toLatin1());
    click(dialog->closeButton);
    QTRY_VERIFY(form->backupsDialog() == nullptr);
  }
};

int main(int argc, char** argv) {
  return runWindowTests<WayBackTest>(argc, argv);
}

#include "wayback_test.moc"
