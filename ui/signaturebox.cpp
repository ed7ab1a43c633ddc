#include "ui/signaturebox.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>

namespace ui {

namespace {

// The document knows one kind of line end, the block break, which stands for CR
// LF. Every other line end is kept as a line separator that carries the
// characters it stands for in this property.
constexpr int kLineEnd = QTextFormat::UserProperty + 1;

// Characters the document would turn into a block break.
bool breaksBlock(QChar c) {
  return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar(0xFDD0) ||
         c == QChar(0xFDD1);
}

}  // namespace

SignatureBox::SignatureBox(QWidget* parent) : QPlainTextEdit(parent) {}

QString SignatureBox::exactText() const {
  return exactText(0, document()->characterCount() - 1);
}

QString SignatureBox::exactText(int from, int to) const {
  QString out;
  for (QTextBlock block = document()->findBlock(from); block.isValid() && block.position() < to;
       block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      const int start = std::max(from, fragment.position());
      const int end = std::min(to, fragment.position() + fragment.length());
      if (start >= end)
        continue;
      const QString text = fragment.text().mid(start - fragment.position(), end - start);
      const QString lineEnd = fragment.charFormat().property(kLineEnd).toString();
      if (lineEnd.isEmpty()) {
        out += text;
        continue;
      }
      for (const QChar c : text)
        out += c == QChar::LineSeparator ? lineEnd : QString(c);
    }
    const int separator = block.position() + block.length() - 1;
    if (separator >= from && separator < to)
      out += u"\r\n";
  }
  return out;
}

void SignatureBox::setExactText(QStringView text) {
  const bool undo = document()->isUndoRedoEnabled();
  document()->setUndoRedoEnabled(false);
  setPlainText(QString());
  QTextCursor cursor(document());
  insertExact(cursor, text);
  document()->setUndoRedoEnabled(undo);
  moveCursor(QTextCursor::Start);
}

void SignatureBox::insertExact(QTextCursor& cursor, QStringView text) {
  QTextCharFormat plain = cursor.charFormat();
  plain.clearProperty(kLineEnd);
  cursor.beginEditBlock();
  qsizetype start = 0;
  const auto flush = [&](qsizetype end) {
    if (end > start)
      cursor.insertText(text.sliced(start, end - start).toString(), plain);
  };
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
      flush(i);
      cursor.insertBlock();
      start = ++i + 1;
    } else if (breaksBlock(c)) {
      flush(i);
      QTextCharFormat kept = plain;
      kept.setProperty(kLineEnd, QString(c));
      cursor.insertText(QString(QChar::LineSeparator), kept);
      start = i + 1;
    }
  }
  flush(text.size());
  cursor.endEditBlock();
}

bool SignatureBox::canInsertFromMimeData(const QMimeData* source) const {
  return source->hasText();
}

void SignatureBox::insertFromMimeData(const QMimeData* source) {
  if (!source->hasText())
    return;
  QTextCursor cursor = textCursor();
  insertExact(cursor, source->text());
  setTextCursor(cursor);
  ensureCursorVisible();
}

QMimeData* SignatureBox::createMimeDataFromSelection() const {
  // Copied out with the same line ends, so it can be pasted back unchanged.
  const QTextCursor cursor = textCursor();
  auto* mime = new QMimeData;
  mime->setText(exactText(cursor.selectionStart(), cursor.selectionEnd()));
  return mime;
}

void SignatureBox::keyPressEvent(QKeyEvent* event) {
  // Every line end typed is CR LF, Shift+Enter's too.
  if (!isReadOnly() && event->matches(QKeySequence::InsertLineSeparator)) {
    QTextCursor cursor = textCursor();
    cursor.insertBlock();
    setTextCursor(cursor);
    ensureCursorVisible();
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

}  // namespace ui
