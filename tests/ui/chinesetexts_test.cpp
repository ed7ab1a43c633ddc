// Qt's own texts in the windows (message box buttons, the folder picker) are
// Chinese, like every other text the windows show.
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "recorders.h"
#include "ui/dialogs.h"
#include "ui/form1.h"
#include "ui/qttexts.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

// Chinese: Han characters, and no English word (an access key such as "(&C)"
// may stay).
bool isChinese(const QString& text) {
  static const QRegularExpression han(u"\\p{Han}"_s);
  static const QRegularExpression word(u"[A-Za-z]{2,}"_s);
  return text.contains(han) && !text.contains(word);
}

}  // namespace

class ChineseTextsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void messageBoxButton() {
    QStringList buttons;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      for (QAbstractButton* b : box->buttons())
        buttons.append(b->text());
      box->buttons().value(0)->click();
    });
    ui::systemDialogs().critical(nullptr, u"该目录不是有效路径"_s);
    QCOMPARE(buttons.size(), 1);
    QVERIFY2(isChinese(buttons.first()), qPrintable(buttons.first()));
  }

  void folderPicker() {
    RecordingShell shell;
    Form1 form(ui::systemDialogs(), shell);
    form.Form_Load();
    QStringList english, texts;
    QTimer::singleShot(0, this, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      const auto note = [&](const QString& t) {
        if (t.isEmpty())
          return;
        texts.append(t);
        if (!isChinese(t))
          english.append(t);
      };
      for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->isVisible())
          note(b->text());
      for (QLabel* l : dialog->findChildren<QLabel*>())
        if (l->isVisible())
          note(l->text());
      QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QTest::mouseClick(form.Command5, Qt::LeftButton);
    // "选择", "取消", "查看：", …
    QVERIFY2(texts.size() >= 3, qPrintable(texts.join(u" | "_s)));
    QVERIFY2(english.isEmpty(), qPrintable(english.join(u" | "_s)));
  }
};

int main(int argc, char** argv) {
  QTemporaryDir home;
  qputenv("HOME", QFile::encodeName(home.path()));
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + u"/.config"_s));
  // Whatever the user's language.
  qputenv("LANG", "C.UTF-8");
  qputenv("LANGUAGE", "en");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (!ui::loadChineseQtTexts(app)) {
    std::fprintf(stderr, "Qt's Chinese translation is not installed (qt6-translations-l10n)\n");
    return 1;
  }
  ChineseTextsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "chinesetexts_test.moc"
