#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>

#include <algorithm>

#include "engine/messages.h"
#include "text/textops.h"
#include "ui/backupsdialog.h"
#include "ui/dialogs.h"
#include "ui/form1.h"
#include "ui/form2.h"

using namespace Qt::StringLiterals;

// The window state: the boxes the scan, the clean and the restore read and
// write, and the messages they show.

namespace {

// The exact text of a box, with "\n" line ends. toPlainText() would turn
// no-break spaces into blanks, which would change the paths of the results log.
QString rawText(const QPlainTextEdit* box) {
  QString s = box->document()->toRawText();
  s.replace(QChar::ParagraphSeparator, u'\n');
  return s;
}

// The program's own text is no edit of the user's: Ctrl+Z must not take it
// back, so the box forgets its edits whenever the program writes.
class ProgramWrite {
 public:
  explicit ProgramWrite(QPlainTextEdit* box) : doc_(box->document()) {
    doc_->setUndoRedoEnabled(false);
  }
  ~ProgramWrite() { doc_->setUndoRedoEnabled(true); }
  ProgramWrite(const ProgramWrite&) = delete;
  ProgramWrite& operator=(const ProgramWrite&) = delete;

 private:
  QTextDocument* doc_;
};

}  // namespace

QString Form1::signatureText() const {
  return Text3->exactText();
}

QString Form1::locationText() const {
  return Combo1->currentText();
}

QString Form1::filterText() const {
  return Combo2->currentText();
}

QStringList Form1::drives() const {
  QStringList entries;
  for (int i = 0; i < Drive1->count(); ++i)
    entries.append(Drive1->itemText(i));
  return entries;
}

QString Form1::resultsText() const {
  showPendingLog();
  return text::toCrLf(rawText(Text1));
}

void Form1::setResultsText(const QString& text) {
  pendingLog_.clear();
  const ProgramWrite write(Text1);
  Text1->setPlainText(text::fromCrLf(text));
}

void Form1::appendResultsText(const QString& text) {
  pendingLog_ += text;
}

void Form1::showPendingLog() const {
  if (pendingLog_.isEmpty())
    return;
  // Appending at the end keeps a detection's cost independent of the log's size.
  const ProgramWrite write(Text1);
  QTextCursor end(Text1->document());
  end.movePosition(QTextCursor::End);
  end.insertText(text::fromCrLf(pendingLog_));
  pendingLog_.clear();
}

int Form1::scanThreads() const {
  return std::max(2, QThread::idealThreadCount());
}

void Form1::setCurrentFileText(const QString& text) {
  // Shown at the next yield: a file costs far less to visit than to paint.
  currentFile_ = text;
  currentFileShown_ = false;
}

void Form1::showCurrentFile() {
  if (currentFileShown_)
    return;
  Text2->setText(currentFile_);
  progressLabel->setText(progress_);
  // The path stops short of the count.
  const int reserved =
      progress_.isEmpty() ? 0 : Text2->fontMetrics().horizontalAdvance(progress_) + 8;
  Text2->setTextMargins(0, 0, reserved, 0);
  currentFileShown_ = true;
}

void Form1::appendResultItem(const QString& item) {
  ensureForm2()->Combo1->addItem(item);
}

QString Form1::resultItem(qsizetype index) const {
  if (!form2_ || index < 0 || index >= form2_->Combo1->count())
    return QString();
  return form2_->Combo1->itemText(int(index));
}

void Form1::setResultBoxText(const QString& text) {
  ensureForm2()->Combo1->setEditText(text);
}

void Form1::showMessage(const QString& text) {
  showPendingLog();
  // Messages break their lines with CR LF, which a label would show as a stray mark.
  dialogs_.critical(this, text::fromCrLf(text));
}

bool Form1::askYesNo(const QString& text) {
  showPendingLog();
  QWidget* over = backups_ && backups_->isVisible() ? static_cast<QWidget*>(backups_) : this;
  return dialogs_.question(over, text::fromCrLf(text));
}

void Form1::yieldToEvents() {
  // Handling the events costs far more than visiting an entry, so it happens at
  // most once a frame: the current file still shows and Stop is still seen at
  // once, but a scan of many small files is not spent repainting.
  if (yieldClock_.isValid() && yieldClock_.elapsed() < kYieldIntervalMs)
    return;
  yieldClock_.start();
  showCurrentFile();
  showPendingLog();
  QCoreApplication::processEvents();
}

void Form1::showCleaning(const QString& path) {
  setCurrentFileText(path);
  if (yieldClock_.isValid() && yieldClock_.elapsed() < kYieldIntervalMs)
    return;
  yieldClock_.start();
  showCurrentFile();
  showPendingLog();
  // Paint only: input waits in its queue until the clean is done, and no timer
  // or socket (a program that ended, a bus reply) runs a handler in between.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                  QEventLoop::ExcludeSocketNotifiers |
                                  QEventLoop::X11ExcludeTimers);
}

Form1::FailureChoice Form1::askFailure(const QString& text) {
  showPendingLog();
  const QStringList buttons = {msg::kSkip.toString(), msg::kSkipAll.toString(),
                               msg::kStop.toString()};
  switch (dialogs_.choose(this, text::fromCrLf(text), buttons, 2)) {
    case 0:
      return FailureChoice::Skip;
    case 1:
      return FailureChoice::SkipAll;
    default:
      return FailureChoice::Stop;
  }
}

void Form1::showProgress(qint64 done, qint64 total) {
  progress_ = total > 0 ? u"%1 / %2"_s.arg(done).arg(total) : QString::number(done);
  currentFileShown_ = false;
}

void Form1::showNote(const QString& text) {
  showPendingLog();
  dialogs_.warning(this, text::fromCrLf(text));
}
