// The main window tells what it did: a clean never uses another signature than
// the scan that made the list, a stopped scan does not call the site clean, a
// log is not cleaned as a list, the folder picker keeps the location, no folder
// stays the working folder, and every control has a name for a screen reader.

#include <QAccessible>
#include <QGroupBox>
#include <QLabel>

#include "engine/messages.h"
#include "platform/fs.h"
#include "ui/module1.h"
#include "windowtest.h"

namespace {

// Every file of the site and its content.
QMap<QByteArray, QByteArray> contents(const TempTree& tree, const QList<QByteArray>& files) {
  QMap<QByteArray, QByteArray> out;
  for (const QByteArray& f : files)
    out.insert(f, tree.read(f));
  return out;
}

const QList<QByteArray> kSite = {"index.htm", "about.htm", "news/list.htm", "news/old/archive.htm",
                                 "style.css"};

QString accessibleName(QWidget* w) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  return a ? a->text(QAccessible::Name) : QString();
}

}  // namespace

class TruthTest : public QObject, protected WindowFixture {
  Q_OBJECT

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

  // --- Clean what was scanned -------------------------------------------

  void changedSignatureCleansNothing() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    const QString list = plain(form->Text1);
    QCOMPARE(list.count(u'\n'), 3);
    const auto before = contents(*tree, kSite);
    // The box is changed to prepare the next search; every page holds it.
    typeInto(form->Text3, u"</html>"_s);
    click(form->Command2);
    QCOMPARE(
        dialogs->messageTexts(),
        QStringList{u"特征码已改动，与这次扫描所用的不同。请用新的特征码重新扫描，然后再清除。"_s});
    QCOMPARE(contents(*tree, kSite), before);
    QCOMPARE(plain(form->Text1), list);  // the list stays, to scan again

    // A list the user trimmed is still the scan's.
    typeInto(form->Text1, at("index.htm") + u'\n');
    click(form->Command2);
    QCOMPARE(dialogs->messages.size(), 2);
    QCOMPARE(contents(*tree, kSite), before);

    // The scan's signature as typed differently (case, blanks around) is the same
    // signature: the clean goes on.
    typeInto(form->Text1, list);
    typeInto(form->Text3, u"  "_s + QString::fromLatin1(kSignature).toUpper() + u"  "_s);
    click(form->Command2);
    QCOMPARE(dialogs->messages.size(), 2);
    QCOMPARE(tree->read("index.htm"), QByteArray("<html>\r\n\r\n</html>"));
    QCOMPARE(tree->read("news/old/archive.htm"), QByteArray("<html>\r\n\r\n</html>"));
  }

  void typedListIsCleanedWithTheBoxText() {
    makeSite();
    tree->write("typed.txt", "keep <b>this</b> but not <i>that</i>");
    // A scan elsewhere, then a list of the user's own with another signature.
    prepareScan(tree->root() + u"/news"_s, u"*.htm"_s);
    click(form->Command1);
    typeInto(form->Text3, u"<i>that</i>"_s);
    typeInto(form->Text1, at("typed.txt") + u'\n');
    click(form->Command2);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    QCOMPARE(tree->read("typed.txt"), QByteArray("keep <b>this</b> but not "));
    QCOMPARE(tree->read("news/list.htm"), kInfected);
  }

  // --- A stopped scan says it stopped -----------------------------------

  void stoppedScanDoesNotCallTheSiteClean() {
    // Nothing infected in the root: the infected pages lie in folders that a
    // Stop at the first yield leaves unwalked.
    tree->write("about.htm", kClean);
    tree->write("news/list.htm", kInfected);
    prepareScan(tree->root(), u"*.htm"_s);
    atNextYield([&] { click(form->Command7); });
    click(form->Command1);
    QCOMPARE(plain(form->Text1),
             u"扫描已停止，停止前没有发现感染文件（没有扫描到的文件未经检查）。"_s);
    QVERIFY(plain(form->Text1) != msg::kNoMatch.toString());
    QVERIFY(form->form2() == nullptr);
    // The message is not a list: Clean does nothing with it.
    click(form->Command2);
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(tree->read("news/list.htm"), kInfected);

    // A scan that is not stopped finds it; one that finds nothing says so.
    click(form->Command1);
    QCOMPARE(plain(form->Text1), at("news/list.htm") + u'\n');
    typeInto(form->Combo2, u"*.txt"_s);
    click(form->Command1);
    QCOMPARE(plain(form->Text1), msg::kNoMatch.toString());
  }

  // --- A cleaning log is not cleaned again --------------------------------

  void cleaningLogIsNotCleanedAgain() {
    makeSite();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    click(form->Command2);
    const QString log = plain(form->Text1);
    QVERIFY(log.contains(u"  清楚成功！"_s));
    const auto after = contents(*tree, kSite);
    click(form->Command2);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    QCOMPARE(plain(form->Text1), log);
    QCOMPARE(contents(*tree, kSite), after);
    // Also when the user kept only part of it (pasted back).
    form->Text1->setPlainText(at("index.htm") + u"\n  清楚成功！\n"_s);
    click(form->Command2);
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(contents(*tree, kSite), after);
  }

  // --- The folder picker ------------------------------------------------

  void cancelKeepsTheLocation() {
    makeSite();
    const QString news = tree->root() + u"/news"_s;
    typeInto(form->Combo1, news);
    dialogs->folderAnswer.clear();
    click(form->Command5);
    QCOMPARE(form->Combo1->currentText(), news);
    QCOMPARE(dialogs->folderRequests.size(), 1);
    QCOMPARE(dialogs->folderRequests[0].startDir, news);  // opened where the box points
    // The next scan still scans it.
    typeInto(form->Combo2, u"*.htm"_s);
    typeInto(form->Text3, QString::fromLatin1(kSignature));
    click(form->Command1);
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(plain(form->Text1), at("news/list.htm") + u'\n' + at("news/old/archive.htm") + u'\n');

    // A drive entry opens at its root; "全盘扫描" and text that names no folder
    // open at the desktop.
    typeInto(form->Combo1, u"/:"_s);
    click(form->Command5);
    QCOMPARE(dialogs->folderRequests.last().startDir, u"/"_s);
    form->Combo1->setEditText(msg::kAllDrives.toString());
    click(form->Command5);
    QCOMPARE(dialogs->folderRequests.last().startDir, Module1::dialogStartFolder());
    QCOMPARE(form->Combo1->currentText(), msg::kAllDrives.toString());
  }

  // --- No working folder held -----------------------------------------------

  void scanHoldsNoWorkingFolder() {
    makeSite();
    QVERIFY(platform::setCurrentDirectory(tree->root() + u"/news"_s));
    const QString before = platform::currentDirectory();
    prepareScan(tree->root(), u"*.htm"_s);
    click(form->Command1);
    QCOMPARE(plain(form->Text1).count(u'\n'), 3);
    QCOMPARE(platform::currentDirectory(), before);
    // A relative location is still taken from the current folder, and the walk
    // logs full paths.
    typeInto(form->Combo1, u"old"_s);
    click(form->Command1);
    QCOMPARE(plain(form->Text1), at("news/old/archive.htm") + u'\n');
    QCOMPARE(platform::currentDirectory(), before);
    // A folder that cannot be entered still fails the test.
    tree->mkdir("shut");
    QCOMPARE(::chmod(tree->abs("shut").constData(), 0), 0);
    typeInto(form->Combo1, tree->root() + u"/shut"_s);
    click(form->Command1);
    if (::geteuid() != 0)
      QCOMPARE(dialogs->messageTexts(), QStringList{u"该目录不是有效路径"_s});
    QCOMPARE(platform::currentDirectory(), before);
    QCOMPARE(::chmod(tree->abs("shut").constData(), 0755), 0);
  }

  // --- Accessible names ------------------------------------------------------

  void everyControlHasAChineseName() {
    const QList<std::pair<QWidget*, QString>> expected = {
        {form->Text3, u"网页木马特征码"_s},
        {form->Combo1, u"输入要扫描的路径"_s},
        {form->Command5, u"选择要扫描的文件夹"_s},
        {form->Combo2, u"要扫描的文件类型"_s},
        {form->Text1, u"扫描结果和清除记录"_s},
        {form->Text2, u"正在处理的文件"_s},
        {form->Command1, u"扫描"_s},
        {form->Command7, u"停止扫描"_s},
        {form->Command2, u"清除网马"_s},
        {form->Command3, u"打开木马所在位置"_s},
        {form->Command6, u"退出"_s},
        {form->Frame1, u"网页木马特征码"_s},
        {form->Frame2, u"输入要扫描的路径"_s},
    };
    for (const auto& [widget, name] : expected)
      QCOMPARE(accessibleName(widget), name);
    // The location box is named by its label, not by its value.
    typeInto(form->Combo1, tree->root());
    QCOMPARE(accessibleName(form->Combo1), u"输入要扫描的路径"_s);
    // Every widget a user reaches has a name, with Chinese in it.
    const QList<QWidget*> all = form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly) +
                                form->Frame1->findChildren<QWidget*>() +
                                form->Frame2->findChildren<QWidget*>();
    for (QWidget* w : all) {
      if (!w->isVisible() || w->focusPolicy() == Qt::NoFocus)
        continue;
      const QString name = accessibleName(w);
      QVERIFY2(std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() >= 0x4e00; }),
               qPrintable(QString::fromLatin1(w->metaObject()->className()) + u" "_s + name));
    }
    QVERIFY(!accessibleName(form->Command4).contains(u'&'));
    QVERIFY(!accessibleName(form->Command4).isEmpty());
    // The results window too.
    form->Command3_Click();
    QCOMPARE(accessibleName(form->form2()->Combo1), u"感染文件列表"_s);
    QCOMPARE(accessibleName(form->form2()->Command1), u"打开"_s);
  }

 private:
  std::unique_ptr<QTemporaryDir> store_;
};

int main(int argc, char** argv) {
  return runWindowTests<TruthTest>(argc, argv);
}

#include "truth_test.moc"
