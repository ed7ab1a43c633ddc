#include "ui/resultsbox.h"

#include <QContextMenuEvent>
#include <QMenu>

namespace ui {

QMenu* ResultsBox::createContextMenu() {
  QMenu* menu = createStandardContextMenu();
  menu->addSeparator();
  menu->addActions(extraActions_);
  return menu;
}

void ResultsBox::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

}  // namespace ui
