#include "ui/form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextCursor>

#include "engine/messages.h"
#include "platform/fs.h"
#include "text/textops.h"
#include "ui/backupsdialog.h"
#include "ui/dialogs.h"
#include "ui/form2.h"
#include "ui/module1.h"
#include "ui/namedcombobox.h"
#include "ui/product.h"
#include "ui/resultsbox.h"
#include "ui/shell.h"
#include "ui/twips.h"
#include "ui/wrapbutton.h"

using namespace Qt::StringLiterals;

namespace {

// The filter box's ready-made entries, in this order.
const QStringList kFilters = {
    u"*.Asp"_s,        u"*.Php"_s,    u"*.Txt"_s, u"*.Exe"_s, msg::kDefaultFilter.toString(),
    u"*.HTM|*.HTML"_s, u"全部文件"_s, u"*.*"_s,
};

QComboBox* editableCombo(QWidget* parent) {
  auto* box = new ui::NamedComboBox(parent);
  box->setEditable(true);
  // The list is the window's own: typing never adds to it, nor completes from it.
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setCompleter(nullptr);
  return box;
}

// The character code a key press produces, Ctrl+letter included (Ctrl+A is 1).
int keyAscii(const QKeyEvent* e) {
  if ((e->modifiers() & Qt::ControlModifier) && e->key() >= Qt::Key_A && e->key() <= Qt::Key_Z)
    return e->key() - Qt::Key_A + 1;
  const QString t = e->text();
  return t.isEmpty() ? 0 : t.at(0).unicode();
}

// A button's caption as a screen reader names it: without the access key's
// bracket, "扫描（&S）" -> "扫描" (the key itself is told as the shortcut).
QString captionWithoutAccessKey(const QString& caption) {
  static const QRegularExpression accessKey(u"\\s*（&[^）]*）\\s*$"_s);
  QString name = caption;
  name.remove(accessKey);
  return name.remove(u'&').trimmed();
}

}  // namespace

Form1::Form1(ui::Dialogs& dialogs, platform::Shell& shell) : dialogs_(dialogs), shell_(shell) {
  setWindowTitle(product::windowCaption());
  setWindowIcon(QIcon(u":/tervane/icon.png"_s));
  setFixedSize(ui::twipsToPixels(9450), ui::twipsToPixels(6570));
  ui::holdFontToLayout(this);
  // A window of fixed size offers no maximise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  createControls();
  addWayBackActions();
  nameForScreenReaders();
  orderAndConnect();
}

// The controls, each at its place in twips: long, but one short stanza per
// control, in the order they stand in the window.
void Form1::createControls() {
  Frame1 = new QGroupBox(u"网页木马特征码"_s, this);
  ui::place(Frame1, 120, 0, 6135, 1095);
  Text3 = new ui::SignatureBox(Frame1);
  ui::place(Text3, 240, 240, 5655, 735);
  Text3->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Text3->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Text3->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Text3->setTabChangesFocus(true);
  QFont song = Text3->font();
  // 宋体 where it is installed, else the nearest serif face that covers Chinese.
  song.setFamilies(
      {u"SimSun"_s, u"宋体"_s, u"AR PL UMing CN"_s, u"Noto Serif CJK SC"_s, u"serif"_s});
  song.setStyleHint(QFont::Serif);
  song.setPointSizeF(10.5);
  song.setWeight(QFont::Normal);
  Text3->setFont(song);
  Text3->setExactText(product::sampleSignature());
  Text3->installEventFilter(this);

  Frame2 = new QGroupBox(u"输入要扫描的路径"_s, this);
  ui::place(Frame2, 120, 1080, 6135, 855);
  Combo1 = editableCombo(Frame2);
  ui::place(Combo1, 120, 360, 4695, 300);
  Command5 = new ui::WrapButton(u"..."_s, Frame2);
  ui::place(Command5, 5040, 360, 855, 375);

  Image1 = new QLabel(this);
  ui::place(Image1, 6360, 0, 3090, 1080);
  Image1->setPixmap(QPixmap(u":/tervane/banner.jpg"_s));
  Image1->setScaledContents(true);

  Label1 = new QLabel(u"要扫描的文件类型："_s, this);
  ui::place(Label1, 7080, 1320, 1815, 255);
  Combo2 = editableCombo(this);
  ui::place(Combo2, 6840, 1680, 2055, 300);
  Combo2->addItems(kFilters);

  Text1 = new ui::ResultsBox(this);
  ui::place(Text1, 120, 2040, 6135, 4215);
  Text1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Text1->setTabChangesFocus(true);

  Command1 = new ui::WrapButton(u"扫描（&S）"_s, this);
  ui::place(Command1, 7080, 2400, 1575, 495);
  Command7 = new ui::WrapButton(u"停止扫描（&S）"_s, this);
  ui::place(Command7, 7080, 3120, 1575, 495);
  Command2 = new ui::WrapButton(u"清除网马（&C）"_s, this);
  ui::place(Command2, 7080, 3840, 1575, 495);
  Command3 = new ui::WrapButton(u"打开木马所在位置（&A）"_s, this);
  ui::place(Command3, 7080, 4560, 1575, 495);
  Command4 = new ui::WrapButton(product::helpCaption(), this);
  ui::place(Command4, 7080, 5280, 1575, 495);
  Command6 = new ui::WrapButton(u"退出（&T）"_s, this);
  ui::place(Command6, 7080, 6000, 1575, 495);

  Text2 = new QLineEdit(this);
  ui::place(Text2, 120, 6240, 6255, 255);
  Text2->setReadOnly(true);
  QPalette face = Text2->palette();
  face.setColor(QPalette::Base, face.color(QPalette::Button));
  Text2->setPalette(face);
  // How far the scan, clean or restore has come, at the line's right end.
  progressLabel = new QLabel(Text2);
  progressLabel->setGeometry(Text2->rect().adjusted(0, 0, -4, 0));
  progressLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  progressLabel->setAttribute(Qt::WA_TransparentForMouseEvents);

  Drive1 = new QComboBox(this);
  ui::place(Drive1, 4080, 3000, 1215, 300);
  Drive1->addItems(platform::driveList());
  Drive1->hide();
}

// The way back, in the results box's menu and as window shortcuts.
void Form1::addWayBackActions() {
  undoCleanAction = new QAction(msg::kUndoLastClean.toString(), this);
  undoCleanAction->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_Z));
  manageBackupsAction = new QAction(msg::kManageBackups.toString(), this);
  manageBackupsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_B));
  for (QAction* action : {undoCleanAction, manageBackupsAction}) {
    action->setShortcutContext(Qt::WindowShortcut);
    action->setShortcutVisibleInContextMenu(true);
    addAction(action);
  }
  Text1->setExtraActions({undoCleanAction, manageBackupsAction});
  // Queued: the menu that triggered one has finished with its click first, and
  // is not deleted under it while the restore repaints.
  connect(undoCleanAction, &QAction::triggered, this, &Form1::undoLastClean, Qt::QueuedConnection);
  connect(manageBackupsAction, &QAction::triggered, this, &Form1::manageBackups,
          Qt::QueuedConnection);
}

// Names for a screen reader, from the labels the controls stand beside.
void Form1::nameForScreenReaders() {
  Text3->setAccessibleName(Frame1->title());
  Combo1->setAccessibleName(Frame2->title());
  Command5->setAccessibleName(u"选择要扫描的文件夹"_s);
  Image1->setAccessibleName(product::windowCaption());
  Combo2->setAccessibleName(u"要扫描的文件类型"_s);
  // The text field inside each combo box answers to the same name.
  for (QComboBox* box : {Combo1, Combo2})
    box->lineEdit()->setAccessibleName(box->accessibleName());
  Text1->setAccessibleName(u"扫描结果和清除记录"_s);
  Text2->setAccessibleName(u"正在处理的文件"_s);
  progressLabel->setAccessibleName(u"进度"_s);
  Drive1->setAccessibleName(u"驱动器"_s);
  for (ui::WrapButton* button : {Command1, Command7, Command2, Command3, Command4, Command6})
    button->setAccessibleName(captionWithoutAccessKey(button->text()));
}

void Form1::orderAndConnect() {
  // The keyboard order of the controls that take the focus.
  const QWidget* const order[] = {Text1,    Command1, Text2,  Text3,    Command2, Command3,
                                  Command4, Command6, Combo1, Command5, Command7, Combo2};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i)
    setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));

  connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
  connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
  connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
  connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
  connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
}

Form1::~Form1() {
  delete form2_.data();
}

void Form1::Form_Load() {
  show();
  for (int i = 0; i < Drive1->count(); ++i)
    Combo1->addItem(Drive1->itemText(i));
  Combo1->addItem(msg::kAllDrives.toString());
  Combo1->setEditText(Combo1->itemText(0));
  Combo2->setEditText(msg::kDefaultFilter.toString());
  Text1->setFocus();
}

void Form1::Form_Unload(int& /*Cancel*/) {
  delete form2_.data();
  if (scanner_.isScanning()) {
    ScanFlag = false;
    ui::endProcess();
  }
}

void Form1::closeEvent(QCloseEvent* event) {
  // No handler runs inside a clean: the window closes when the clean is done.
  if (cleaning_) {
    closeAfterClean_ = true;
    event->ignore();
    return;
  }
  int Cancel = 0;
  Form_Unload(Cancel);
  event->setAccepted(Cancel == 0);
}

void Form1::Text3_KeyPress(int& KeyAscii) {
  if (KeyAscii != 1)
    return;
  QTextCursor all(Text3->document());
  all.movePosition(QTextCursor::Start);
  all.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  Text3->setTextCursor(all);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Text3 && event->type() == QEvent::KeyPress) {
    int code = keyAscii(static_cast<QKeyEvent*>(event));
    if (code != 0)
      Text3_KeyPress(code);
  }
  // The key always reaches the box as well.
  return QWidget::eventFilter(watched, event);
}

void Form1::Command1_Click() {
  const bool starts = !scanner_.isScanning();
  if (starts) {
    yieldClock_.invalidate();  // the first entry of a scan lets the window repaint
    undoCleanAction->setEnabled(false);
    manageBackupsAction->setEnabled(false);
  }
  scanner_.Command1_Click();
  if (starts) {
    undoCleanAction->setEnabled(true);
    manageBackupsAction->setEnabled(true);
  }
  showCurrentFile();
  showPendingLog();
}

void Form1::Command7_Click() {
  scanner_.Command7_Click();
}

void Form1::Command2_Click() {
  // A log this window wrote names no files to clean: its result lines are no paths.
  if (Cleaner::isLog(resultsText()))
    return;
  const bool nested = cleaning_;
  cleaning_ = true;
  yieldClock_.invalidate();  // the emptied log shows at once
  cleaner_.Command2_Click();
  const Cleaner::LastClean done = cleaner_.lastClean();
  if (done.ran)
    appendResultsText(cleanSummary(done));
  cleaning_ = nested;
  showCurrentFile();
  showPendingLog();
  // The summary, the last line, is where the user looks next.
  Text1->moveCursor(QTextCursor::End);
  Text1->ensureCursorVisible();
  if (done.ran && done.cleaned > 0 && !cleaning_ && offerUndo(done))
    restoreRun(cleaner_.lastRun());
  if (!cleaning_ && closeAfterClean_) {
    closeAfterClean_ = false;
    close();
  }
}

QString Form1::cleanSummary(const Cleaner::LastClean& done) const {
  const QString shortcut = undoCleanAction->shortcut().toString(QKeySequence::NativeText);
  QString summary = done.cleaned > 0 ? msg::kCleanSummary.toString().arg(done.cleaned).arg(shortcut)
                                     : msg::kCleanSummaryNone.toString();
  if (done.failed > 0 || done.notReached > 0)
    summary += msg::kCleanSummaryLeft.toString().arg(done.failed).arg(done.notReached);
  summary += text::kCrLf;
  return summary;
}

bool Form1::offerUndo(const Cleaner::LastClean& done) {
  QString text = msg::kCleanDone.toString().arg(done.cleaned);
  if (done.failed > 0 || done.notReached > 0)
    text += msg::kCleanSummaryLeft.toString().arg(done.failed).arg(done.notReached);
  const QStringList buttons = {msg::kUndo.toString(), msg::kOk.toString()};
  return dialogs_.choose(this, text, buttons, 1) == 0;
}

void Form1::Command3_Click() {
  Form2* results = ensureForm2();
  results->show();
  results->raise();
  results->activateWindow();
}

void Form1::Command4_Click() {
  shell_.openUrl(product::helpUrl(), this, [this] { showMessage(msg::kBrowserFailed.toString()); });
}

void Form1::Command5_Click() {
  QString FolderPath;
  const QString chosen = Module1::BrowseForFolder(dialogs_, this, FolderPath, u"请选择文件夹："_s,
                                                  Module1::BIF_RETURNONLYFSDIRS,
                                                  Scanner::locationFolder(Combo1->currentText()));
  // Cancel leaves the location the user had.
  if (!chosen.isEmpty())
    Combo1->setEditText(chosen);
}

void Form1::Command6_Click() {
  ui::endProcess();
}

void Form1::undoLastClean() {
  // This window's last clean, once; the latest of the store only when it made none.
  const QByteArray run = cleaner_.lastRun();
  if (!run.isEmpty() && (undoneRuns_.contains(run) || Restorer::wasRestored(run))) {
    showNote(msg::kAlreadyUndone.toString());
    return;
  }
  restoreRun(run);
}

void Form1::manageBackups() {
  if (isScanning() || cleaning_)
    return;
  if (!backups_) {
    backups_ = new ui::BackupsDialog(restorer_, dialogs_, this);
    backups_->setAttribute(Qt::WA_DeleteOnClose);
    connect(backups_, &ui::BackupsDialog::restoreRequested, this, &Form1::restoreRun);
  }
  // Modal for this window only, and without a loop of its own: the restore it
  // asks for runs in this window.
  backups_->open();
  backups_->raise();
}

ui::BackupsDialog* Form1::backupsDialog() const {
  return backups_.data();
}

void Form1::restoreRun(const QByteArray& run) {
  if (isScanning() || cleaning_)
    return;
  cleaning_ = true;
  yieldClock_.invalidate();  // the emptied log shows at once
  if (restorer_.restore(run) && restorer_.allBack() && !run.isEmpty())
    undoneRuns_.insert(run);
  cleaning_ = false;
  showCurrentFile();
  showPendingLog();
  if (closeAfterClean_) {
    closeAfterClean_ = false;
    close();
  }
}

Form2* Form1::form2() const {
  return form2_.data();
}

Form2* Form1::ensureForm2() {
  if (!form2_) {
    // A window of its own, with no owner; closing it discards it and its list.
    form2_ = new Form2(shell_, dialogs_);
    form2_->setAttribute(Qt::WA_DeleteOnClose);
    form2_->setWindowIcon(windowIcon());
    // A scan that ends before the closed window is deleted makes a new one.
    connect(form2_, &Form2::discarded, this, [this] { form2_ = nullptr; });
  }
  return form2_;
}
