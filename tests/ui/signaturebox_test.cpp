// The signature box keeps the line ends of what is pasted into it, so that a
// fragment copied from a file matches that file; a typed Enter makes CR LF.
#include "ui/signaturebox.h"

#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>

#include <memory>

#include "recorders.h"
#include "testsupport.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/product.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

QString withLf(const QString& crlf) {
  QString s = crlf;
  s.replace(u"\r\n"_s, u"\n"_s);
  return s;
}

QStringList found(const Form1& form) {
  QStringList out;
  if (form.form2())
    for (int i = 0; i < form.form2()->Combo1->count(); ++i)
      out.append(form.form2()->Combo1->itemText(i));
  return out;
}

}  // namespace

class SignatureBoxTest : public QObject {
  Q_OBJECT

  std::unique_ptr<RecordingDialogs> dialogs;
  std::unique_ptr<RecordingShell> shell;
  std::unique_ptr<Form1> form;
  std::unique_ptr<TempTree> tree;

  // Replaces the box's whole text with `text` through the clipboard, as a user
  // pastes it: Ctrl+A, Ctrl+V.
  void paste(const QString& text) {
    QApplication::clipboard()->setText(text);
    form->Text3->setFocus();
    QTest::keyClick(form->Text3, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(form->Text3, Qt::Key_V, Qt::ControlModifier);
  }
  // A fresh window's scan of the tree; the list of files found.
  QStringList scan() {
    form->Combo1->setEditText(tree->root());
    form->Combo2->setEditText(u"*.htm"_s);
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    return found(*form);
  }

 private Q_SLOTS:
  void init() {
    dialogs = std::make_unique<RecordingDialogs>();
    shell = std::make_unique<RecordingShell>();
    form = std::make_unique<Form1>(*dialogs, *shell);
    form->Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    tree = std::make_unique<TempTree>();
  }
  void cleanup() {
    form.reset();
    tree.reset();
    QCOMPARE(::chdir("/"), 0);
  }

  void pastedTextFindsEveryLineEndStyle() {
    const QString sample = product::sampleSignature();
    const QByteArray page = "<html>\n<body>\n";
    tree->write("lf.htm", page + withLf(sample).toUtf8() + "</body>\n");
    tree->write("crlf.htm", page + sample.toUtf8() + "</body>\r\n");

    // Copied from the LF file: its bare LFs stay, and as any line break
    // matches any, it finds both files.
    const QStringList both{tree->path("crlf.htm"), tree->path("lf.htm")};
    paste(withLf(sample));
    QCOMPARE(form->signatureText(), withLf(sample));
    QCOMPARE(scan(), both);

    // Copied from the CR LF file: its CR LFs stay, and it finds both as well.
    delete form->form2();
    paste(sample);
    QCOMPARE(form->signatureText(), sample);
    QCOMPARE(scan(), both);
    QVERIFY(dialogs->messages.isEmpty());
  }

  void typedLineEndsAreCrLf() {
    // The sample keeps its CR LF.
    QCOMPARE(form->signatureText(), product::sampleSignature());

    form->Text3->setFocus();
    QTest::keyClick(form->Text3, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(form->Text3, u"a"_s);
    QTest::keyClick(form->Text3, Qt::Key_Return);
    QTest::keyClicks(form->Text3, u"b"_s);
    QTest::keyClick(form->Text3, Qt::Key_Enter);  // the keypad's
    QTest::keyClicks(form->Text3, u"c"_s);
    QTest::keyClick(form->Text3, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(form->Text3, u"d"_s);
    QCOMPARE(form->signatureText(), u"a\r\nb\r\nc\r\nd"_s);

    // Typed behind a pasted LF, Enter is still CR LF.
    paste(u"x\ny"_s);
    QTest::keyClick(form->Text3, Qt::Key_Return);
    QTest::keyClicks(form->Text3, u"z"_s);
    QCOMPARE(form->signatureText(), u"x\ny\r\nz"_s);
  }

  void everyPastedCharacterIsKept() {
    // Bare CR, LF, CR LF, LF CR, and the characters a text box would take as line
    // ends (U+2028, U+2029), no-break space.
    const QString text = u"a\rb\nc\r\nd\n\re\u2028f\u2029g\u00a0h\n"_s;
    paste(text);
    QCOMPARE(form->signatureText(), text);
    // Each line end shows as one.
    QCOMPARE(form->Text3->document()->firstBlock().layout()->lineCount() > 1, true);

    // Copied out of the box, then pasted into it again: unchanged.
    QTest::keyClick(form->Text3, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(form->Text3, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), text);
    QTest::keyClick(form->Text3, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(form->Text3, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(form->signatureText(), text + text);

    // A part of it.
    QTextCursor part = form->Text3->textCursor();
    part.setPosition(1);
    part.setPosition(6, QTextCursor::KeepAnchor);  // "\rb\nc" and the CR LF
    form->Text3->setTextCursor(part);
    QTest::keyClick(form->Text3, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), u"\rb\nc\r\n"_s);

    // Undo and redo keep them too.
    QTest::keyClick(form->Text3, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(form->signatureText(), text);
    QTest::keyClick(form->Text3, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(form->signatureText(), text + text);
  }

  void droppedTextKeepsItsLineEnds() {
    form->Text3->setExactText(QString());
    QMimeData data;
    data.setText(u"p\nq"_s);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form->Text3->viewport(), &enter);
    QApplication::sendEvent(form->Text3->viewport(), &drop);
    QCOMPARE(form->signatureText(), u"p\nq"_s);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SignatureBoxTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "signaturebox_test.moc"
