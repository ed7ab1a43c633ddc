// File names in the main window and the results window: GBK names shown as
// text, names with line breaks kept on one line, and every line leading the
// clean and the file manager back to the exact bytes on disk.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "recorders.h"
#include "testsupport.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray kSignature = "<script src=http://evil.example/x.js></script>";
const QByteArray kDirty = "a" + kSignature + "b";

QStringList boxLines(const QPlainTextEdit* box) {
  QStringList l = box->toPlainText().split(u'\n');
  if (!l.isEmpty() && l.back().isEmpty())
    l.removeLast();
  return l;
}

QStringList comboItems(const QComboBox* box) {
  QStringList out;
  for (int i = 0; i < box->count(); ++i)
    out.append(box->itemText(i));
  return out;
}

}  // namespace

class NamesWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<RecordingDialogs> dialogs;
  std::unique_ptr<RecordingShell> shell;
  std::unique_ptr<Form1> form;
  std::unique_ptr<TempTree> tree;

  void newWindow() {
    form.reset();
    form = std::make_unique<Form1>(*dialogs, *shell);
    form->Form_Load();
  }
  void scan() {
    form->Combo1->setEditText(tree->root());
    form->Combo2->setEditText(u"*.php"_s);
    form->Text3->setPlainText(QString::fromLatin1(kSignature));
    QTest::mouseClick(form->Command1, Qt::LeftButton);
  }
  // The user pastes lines into the results box and cleans.
  void cleanLines(const QStringList& lines) {
    form->Text3->setPlainText(QString::fromLatin1(kSignature));
    form->Text1->setPlainText(lines.join(u'\n') + u'\n');
    QTest::mouseClick(form->Command2, Qt::LeftButton);
  }
  QString gbkLine() const { return u"\""_s + tree->root() + u"/\\g测试.php\""_s; }

 private Q_SLOTS:
  void init() {
    dialogs = std::make_unique<RecordingDialogs>();
    shell = std::make_unique<RecordingShell>();
    tree = std::make_unique<TempTree>();
    newWindow();
  }
  void cleanup() {
    form.reset();
    tree.reset();
    QCOMPARE(::chdir("/"), 0);
  }

  void gbkNameShownAsChineseTextAndCleanedByItsLine() {
    tree->write("\xB2\xE2\xCA\xD4.php", kDirty);  // 测试.php in GBK
    scan();
    QCOMPARE(boxLines(form->Text1), QStringList{gbkLine()});
    QCOMPARE(comboItems(form->form2()->Combo1), QStringList{gbkLine()});
    QCOMPARE(form->Text2->text(), gbkLine());
    // Cleaned through the scan's own line, then through the same line typed
    // into a new window that never scanned.
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    QCOMPARE(tree->read("\xB2\xE2\xCA\xD4.php"), QByteArray("ab"));
    tree->write("\xB2\xE2\xCA\xD4.php", kDirty);
    newWindow();
    cleanLines({gbkLine()});
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(tree->read("\xB2\xE2\xCA\xD4.php"), QByteArray("ab"));
  }

  void utf8AndGbkNamesWithTheSameTextStayDistinct() {
    const QByteArray utf8 = "\xE6\xB5\x8B\xE8\xAF\x95.php";
    const QByteArray gbk = "\xB2\xE2\xCA\xD4.php";
    tree->write(utf8, kDirty);
    tree->write(gbk, kDirty);
    scan();
    QStringList lines = boxLines(form->Text1);
    lines.sort();
    QCOMPARE(lines, (QStringList{gbkLine(), tree->root() + u"/测试.php"_s}));
    // Each line, pasted alone, cleans its own file only.
    newWindow();
    cleanLines({tree->root() + u"/测试.php"_s});
    QCOMPARE(tree->read(utf8), QByteArray("ab"));
    QCOMPARE(tree->read(gbk), kDirty);
    cleanLines({gbkLine()});
    QCOMPARE(tree->read(gbk), QByteArray("ab"));
    QVERIFY(dialogs->messages.isEmpty());
  }

  void lineBreaksInNamesKeepOneLinePerFile() {
    TempTree outside;
    outside.write("victim/x.php", kDirty);
    const QByteArray inside = "q\n" + outside.abs("victim/x.php");
    tree->write(inside, kDirty);
    tree->write("q", kDirty);
    tree->write("c.php\r", kDirty);
    tree->write("c.php", "clean");
    scan();
    const QStringList lines = boxLines(form->Text1);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(form->form2()->Combo1->count(), 2);
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join(u'|')));
    QCOMPARE(tree->read(inside), QByteArray("ab"));
    QCOMPARE(tree->read("c.php\r"), QByteArray("ab"));
    QCOMPARE(outside.read("victim/x.php"), kDirty);
    QCOMPARE(tree->read("q"), kDirty);
    QCOMPARE(tree->read("c.php"), QByteArray("clean"));
    // The results window hands the file manager the exact path.
    form->Command3_Click();
    for (int i = 0; i < 2; ++i) {
      form->form2()->Combo1->setCurrentIndex(i);
      QTest::mouseClick(form->form2()->Command1, Qt::LeftButton);
    }
    QStringList shown;
    for (const QString& p : shell->shownFiles)
      shown.append(QString::fromLatin1(platform::encodePath(p).toHex()));
    shown.sort();
    QStringList expected{QString::fromLatin1(tree->abs(inside).toHex()),
                         QString::fromLatin1(tree->abs("c.php\r").toHex())};
    expected.sort();
    QCOMPARE(shown, expected);
  }

  void everyCharacterALineMayHoldSurvivesTheBoxes() {
    // Whatever a plain line holds must come back from the results box and the
    // results list exactly: the boxes may not turn it into a line break or drop it.
    QString all;
    QStringList lines;
    for (char32_t c = 0x20; c <= 0x10FFFF; c += (c < 0x10000 ? 1 : 97)) {
      if ((c >= 0xD800 && c <= 0xDFFF) || platform::needsEscape(c))
        continue;
      if (c > 0xFFFF) {
        all += QChar(QChar::highSurrogate(c));
        all += QChar(QChar::lowSurrogate(c));
      } else {
        all += QChar(char16_t(c));
      }
      if (all.size() >= 200) {
        lines.append(u"/x"_s + all);
        all.clear();
      }
    }
    lines.append(u"/x"_s + all);
    const QString log = lines.join(u"\r\n"_s) + u"\r\n"_s;
    form->setResultsText(log);
    QVERIFY(form->resultsText() == log);
    for (const QString& line : lines)
      form->appendResultItem(line);
    QVERIFY(comboItems(form->form2()->Combo1) == lines);
  }
};

int main(int argc, char** argv) {
  QTemporaryDir home;
  qputenv("HOME", QFile::encodeName(home.path()));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + u"/.config"_s));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  NamesWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "names_window_test.moc"
