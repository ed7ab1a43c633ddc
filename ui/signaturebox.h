// The signature box: a multi-line text box that keeps every line end as it came.
// A typed Enter makes CR LF; pasted or dropped text keeps its own line ends, so a
// fragment copied from a file with LF line ends still matches that file.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QStringView>

namespace ui {

class SignatureBox : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit SignatureBox(QWidget* parent = nullptr);

  // The whole text, with its line ends as they were typed or pasted.
  QString exactText() const;
  // Replaces the whole text; its line ends are kept as they are.
  void setExactText(QStringView text);

 protected:
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;
  QMimeData* createMimeDataFromSelection() const override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QString exactText(int from, int to) const;
  void insertExact(QTextCursor& cursor, QStringView text);
};

}  // namespace ui
