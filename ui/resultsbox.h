// The results box (Text1): a plain text box whose context menu also offers the
// way back of the clean, with the actions' keyboard shortcuts shown.
#pragma once

#include <QList>
#include <QPlainTextEdit>

class QAction;
class QMenu;

namespace ui {

class ResultsBox : public QPlainTextEdit {
  Q_OBJECT
 public:
  using QPlainTextEdit::QPlainTextEdit;

  // Actions shown below the box's own editing commands, in this order.
  void setExtraActions(QList<QAction*> actions) { extraActions_ = std::move(actions); }
  // The context menu as it is shown: the editing commands, then the extra actions.
  QMenu* createContextMenu();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QList<QAction*> extraActions_;
};

}  // namespace ui
