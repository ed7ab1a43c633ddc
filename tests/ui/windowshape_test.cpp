// The windows on a desktop with a large default font, a window manager and a
// long results list: captions fit their buttons, no maximise button is offered,
// and a huge list drops down without measuring every row.
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QStyleOptionButton>
#include <QStyledItemDelegate>
#include <QTest>

#include <memory>

#include "recorders.h"
#include "ui/form1.h"
#include "ui/form2.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

QList<ui::WrapButton*> buttonsOf(Form1& form) {
  QList<ui::WrapButton*> out = {form.Command1, form.Command7, form.Command2, form.Command3,
                                form.Command4, form.Command6, form.Command5};
  form.Command3_Click();
  out += {form.form2()->Command1, form.form2()->Command2};
  return out;
}

QRect contentsOf(const ui::WrapButton* b) {
  QStyleOptionButton option;
  option.initFrom(b);
  option.features = QStyleOptionButton::None;
  return b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
}

QString withoutMarks(QString s) {
  return s.remove(u'&');
}

// How the button looks with `caption`.
QImage look(ui::WrapButton* b, const QString& caption) {
  const QString was = b->text();
  b->setText(caption);
  QImage image = b->grab().toImage();
  b->setText(was);
  return image;
}

// Counts the rows the list's view measures.
struct CountingDelegate : QStyledItemDelegate {
  using QStyledItemDelegate::QStyledItemDelegate;
  mutable int measured = 0;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    ++measured;
    return QStyledItemDelegate::sizeHint(option, index);
  }
};

}  // namespace

class WindowShapeTest : public QObject {
  Q_OBJECT

  RecordingDialogs dialogs;
  RecordingShell shell;
  QFont normal;

 private Q_SLOTS:
  void initTestCase() { normal = QApplication::font(); }
  void cleanup() { QApplication::setFont(normal); }

  // A 12-point desktop font: the title, label and box texts fit their places
  // as they do with the font the window was laid out for.
  void textsFitWithATwelvePointDesktopFont() {
    QFont twelve(u"DejaVu Sans"_s);
    twelve.setPointSizeF(12);
    QApplication::setFont(twelve);
    Form1 form(dialogs, shell);
    form.Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QFontMetrics label(form.Label1->font());
    QVERIFY2(label.horizontalAdvance(form.Label1->text()) <= form.Label1->width(),
             qPrintable(QString::number(label.horizontalAdvance(form.Label1->text()))));
    for (QGroupBox* frame : {form.Frame1, form.Frame2}) {
      // The title stands above the frame's first control.
      const QFontMetrics title(frame->font());
      const int top = frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).first()->y();
      QVERIFY2(title.height() <= top + 2, qPrintable(frame->title()));
    }
    for (QComboBox* box : {form.Combo1, form.Combo2})
      QVERIFY(QFontMetrics(box->font()).height() < box->height());
    QVERIFY(QFontMetrics(form.Text2->font()).height() < form.Text2->height());
  }

  void captionsFitWithLargeFonts_data() {
    QTest::addColumn<qreal>("points");
    QTest::newRow("default") << 0.0;
    QTest::newRow("13 pt") << 13.0;
    QTest::newRow("16 pt") << 16.0;
    QTest::newRow("24 pt") << 24.0;
  }
  void captionsFitWithLargeFonts() {
    QFETCH(qreal, points);
    if (points > 0) {
      QFont large = normal;
      large.setPointSizeF(points);
      QApplication::setFont(large);
    }
    Form1 form(dialogs, shell);
    form.Form_Load();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    for (ui::WrapButton* b : buttonsOf(form)) {
      const QString what = b->text();
      const ui::FittedCaption fitted = b->fittedCaption();
      const QRect area = contentsOf(b);
      const QFontMetricsF metrics(fitted.font);
      // The whole caption, nothing lost or added, the access key still marked.
      QCOMPARE(withoutMarks(fitted.lines.join(QString())).remove(u' '),
               withoutMarks(what).remove(u' '));
      QCOMPARE(fitted.lines.join(QString()).count(u'&'), what.count(u'&'));
      // Every line fits the button's inner area, and all lines together too.
      for (const QString& line : fitted.lines)
        QVERIFY2(metrics.horizontalAdvance(withoutMarks(line)) <= area.width(),
                 qPrintable(what + u": "_s + line));
      QVERIFY2(qreal(fitted.lines.size() - 1) * metrics.lineSpacing() + metrics.height() <=
                   area.height(),
               qPrintable(what + u": "_s + fitted.lines.join(u'|')));
      // The type is as large as it can be: one pixel more and it would not fit.
      QVERIFY(QFontInfo(fitted.font).pixelSize() <= QFontInfo(b->font()).pixelSize());
      // The underline of the access key is drawn.
      if (what.contains(u'&'))
        QVERIFY2(look(b, what) != look(b, withoutMarks(what)), qPrintable(what));
    }
    // Lines break between words only.
    const QStringList lines = form.Command3->fittedCaption().lines;
    const QStringList words = {u"打开"_s, u"木马"_s, u"所在"_s, u"位置"_s, u"（&A）"_s};
    for (const QString& line : lines) {
      QString rest = line;
      while (!rest.isEmpty()) {
        const auto word = std::find_if(words.begin(), words.end(),
                                       [&](const QString& w) { return rest.startsWith(w); });
        QVERIFY2(word != words.end(), qPrintable(lines.join(u'|')));
        rest.remove(0, word->size());
      }
    }
    for (const QString& line : form.Command4->fittedCaption().lines)
      QVERIFY2(!line.contains(u"（&H"_s) || line.contains(u"（&Help）"_s),
               qPrintable(form.Command4->fittedCaption().lines.join(u'|')));
  }

  // Whatever font the desktop gives, the access key gets a mark of its own: a
  // thin band across the key, below the middle of the caption, and nothing else
  // of the button changes.
  void accessKeyUnderlinedInEveryInstalledFont() {
    const QStringList families = QFontDatabase::families();
    QVERIFY(!families.isEmpty());
    ui::WrapButton button(u"扫描（&S）"_s);
    button.setFixedSize(120, 40);
    for (const QString& family : families) {
      for (int pixels : {12, 20}) {
        QFont font(family);
        font.setPixelSize(pixels);
        button.setFont(font);
        const QImage marked = look(&button, button.text());
        const QImage plain = look(&button, withoutMarks(button.text()));
        QRect changed;
        for (int y = 0; y < marked.height(); ++y)
          for (int x = 0; x < marked.width(); ++x)
            if (marked.pixel(x, y) != plain.pixel(x, y))
              changed |= QRect(x, y, 1, 1);
        const QString what = family + u" "_s + QString::number(pixels) + u" px"_s;
        QVERIFY2(!changed.isEmpty(), qPrintable(what + u": no underline"_s));
        QVERIFY2(changed.height() <= std::max(2, pixels / 6), qPrintable(what));
        QVERIFY2(changed.top() > marked.height() / 2, qPrintable(what));
        // About one character wide, "S" or its fallback.
        QVERIFY2(changed.width() >= 2 && changed.width() <= pixels, qPrintable(what));
      }
    }
  }

  void noMaximiseButton() {
    Form1 form(dialogs, shell);
    form.Form_Load();
    form.Command3_Click();
    for (QWidget* w : {static_cast<QWidget*>(&form), static_cast<QWidget*>(form.form2())}) {
      const Qt::WindowFlags flags = w->windowHandle()->flags();
      QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
      // Its own choice of buttons, which keeps minimise and close.
      QVERIFY(flags & Qt::CustomizeWindowHint);
      QVERIFY(flags & Qt::WindowMinimizeButtonHint);
      QVERIFY(flags & Qt::WindowCloseButtonHint);
      QVERIFY(flags & Qt::WindowTitleHint);
      QCOMPARE(w->minimumSize(), w->maximumSize());
    }
  }

  void aLongResultsListDropsDownWithoutMeasuringEveryRow() {
    Form1 form(dialogs, shell);
    form.Form_Load();
    for (int i = 0; i < 20000; ++i)
      form.appendResultItem(u"/srv/www/site/page"_s + QString::number(i) + u".php"_s);
    form.setResultBoxText(form.resultItem(0));
    QComboBox* list = form.form2()->Combo1;
    QCOMPARE(list->count(), 20000);
    QCOMPARE(list->itemText(19999), u"/srv/www/site/page19999.php"_s);
    QCOMPARE(form.resultItem(12345), u"/srv/www/site/page12345.php"_s);

    auto* counting = new CountingDelegate(list);
    list->view()->setItemDelegate(counting);
    form.Command3_Click();
    QVERIFY(QTest::qWaitForWindowExposed(form.form2()));
    list->showPopup();
    QTRY_VERIFY(list->view()->isVisible());
    QCoreApplication::processEvents();
    QVERIFY2(counting->measured < 200, qPrintable(QString::number(counting->measured)));
    // It shows the list from its start.
    QCOMPARE(list->view()->indexAt(QPoint(5, 5)).row(), 0);
    list->hidePopup();
    QCOMPARE(list->currentText(), u"/srv/www/site/page0.php"_s);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  WindowShapeTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "windowshape_test.moc"
