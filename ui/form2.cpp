#include "ui/form2.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QStringListModel>

#include "engine/messages.h"
#include "platform/pathcodec.h"
#include "platform/pathline.h"
#include "text/textops.h"
#include "ui/dialogs.h"
#include "ui/namedcombobox.h"
#include "ui/shell.h"
#include "ui/twips.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

Form2::Form2(platform::Shell& shell, ui::Dialogs& dialogs) : shell_(shell), dialogs_(dialogs) {
  setWindowTitle(u"打开文件夹"_s);
  setFixedSize(ui::twipsToPixels(7350), ui::twipsToPixels(765));
  ui::holdFontToLayout(this);
  // A window of fixed size offers no maximise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  Combo1 = new ui::NamedComboBox(this);
  // The list only grows, over many scans, to hundreds of thousands of paths: a
  // plain list of texts, and rows of one height, so the list drops down at once
  // instead of measuring every row.
  Combo1->setModel(new QStringListModel(Combo1));
  if (auto* list = qobject_cast<QListView*>(Combo1->view()))
    list->setUniformItemSizes(true);
  Combo1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  Combo1->setEditable(true);
  Combo1->setInsertPolicy(QComboBox::NoInsert);
  Combo1->setCompleter(nullptr);
  ui::place(Combo1, 120, 240, 5055, 300);

  Command1 = new ui::WrapButton(u"打开（&Q）"_s, this);
  ui::place(Command1, 5400, 240, 975, 255);
  Command2 = new ui::WrapButton(u"返回"_s, this);
  ui::place(Command2, 6480, 240, 735, 255);

  // Names for a screen reader.
  Combo1->setAccessibleName(u"感染文件列表"_s);
  Combo1->lineEdit()->setAccessibleName(Combo1->accessibleName());
  Command1->setAccessibleName(u"打开"_s);
  Command2->setAccessibleName(u"返回"_s);

  setTabOrder(Combo1, Command1);
  setTabOrder(Command1, Command2);

  connect(Command1, &QPushButton::clicked, this, &Form2::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &Form2::Command2_Click);
}

void Form2::Command1_Click() {
  // The list shows each path as its line; the file manager needs the path. A
  // text that is no well-formed line is passed on as it stands.
  const QString text = Combo1->currentText();
  const std::optional<QByteArray> bytes = platform::bytesOfLine(text);
  const QString path = bytes ? platform::decodePath(*bytes) : text;
  shell_.showFileInManager(path, this,
                           [this, path] { dialogs_.critical(this, fileManagerFailed(path)); });
}

QString Form2::fileManagerFailed(const QString& path) {
  const qsizetype slash = path.lastIndexOf(u'/');
  const QString folder = slash > 0 ? path.left(slash) : slash == 0 ? u"/"_s : path;
  return msg::kFileManagerFailed.toString() + u'\n' +
         text::fromCrLf(msg::kFileManagerRemedy.toString().arg(folder));
}

void Form2::Command2_Click() {
  hide();
}

void Form2::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (event->isAccepted())
    Q_EMIT discarded();
}
